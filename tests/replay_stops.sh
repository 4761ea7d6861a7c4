#!/usr/bin/env bash
# Real stop signals. SIGINT, SIGTERM and SIGQUIT during a headless recording: the run ends as on
# ESC, with exit status 130, 143 or 131, the summary on standard output, and a recording that
# decodes to as many frames as its header says (and as the summary counts), with no temporary
# file left beside it. SIGINT and SIGTERM while a FIFO input waits for its writer end the program
# at once. A second SIGINT while the export is still being written, which a line on standard
# error counts down, abandons it: exit status 130 at once, the old file as it was, no temporary
# file, the finished CSV in place.
# Usage: replay_stops.sh RETINA_REPLAY VIDEO_FRAMES
set -u
program=$1 video_frames=$2
work=$(mktemp -d)
pid=''
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail=0
ulimit -c 0  # SIGQUIT's default action dumps core

# Waits (at most `2`*0.1 s) for process `1` to end; sets `status`, or kills it and fails.
wait_for() {
  for _ in $(seq "$2"); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$1" 2>/dev/null; then
    kill -9 "$1"
    echo "  still running $(($2 / 10)) s later: killed"
    fail=1
  fi
  wait "$1"
  status=$? pid=''
}

# A shell starts background commands with SIGINT and SIGQUIT ignored; give them their defaults,
# as a terminal's foreground job has them.
for case in INT:130 TERM:143 QUIT:131; do
  signal=${case%%:*} expected=${case##*:}
  rm -f "$work"/*.avi "$work"/.*.avi
  env --default-signal=INT,QUIT "$program" --headless --frames 1000000 --size 320x240 \
    --out "$work/run.avi" >"$work/out" 2>"$work/err" &
  pid=$!
  # Wait (at most 60 s) until the temporary recording holds some frames: the signal must come
  # in the middle of the recording, not before the first frame.
  for _ in $(seq 600); do
    temp=$(find "$work" -maxdepth 1 -name '.run.*.avi' -size +20k | head -n1)
    [ -n "$temp" ] && break
    sleep 0.1
  done
  kill -s "$signal" "$pid"
  wait_for "$pid" 100
  frames=$(sed -nE 's/^Summary: ([0-9]+) frames.*/\1/p' "$work/out")
  contents=$("$video_frames" "$work/run.avi" 2>/dev/null)
  echo "SIG$signal: exit status $status, summary of ${frames:-no} frames, recording holds '$contents' (header, decoded)"
  if [ "$status" -ne "$expected" ]; then echo "  expected exit status $expected"; fail=1; fi
  if [ -z "$frames" ] || [ "$contents" != "$frames $frames" ]; then
    echo "  the recording does not hold the summary's frames, header and decoded alike"; fail=1
  fi
  if [ -s "$work/err" ]; then echo "  unexpected standard error:"; cat "$work/err"; fail=1; fi
  if [ "$(find "$work" -maxdepth 1 -name '.*.avi' | wc -l)" -ne 0 ]; then
    echo "  a temporary file was left behind"; fail=1
  fi
done

# A FIFO with no writer: opening it waits, as `cat` would, until a stop signal.
mkfifo "$work/fifo.avi"
for case in INT:130 TERM:143; do
  signal=${case%%:*} expected=${case##*:}
  env --default-signal=INT "$program" --headless --video "$work/fifo.avi" \
    >"$work/out" 2>"$work/err" &
  pid=$!
  # Wait (at most 10 s) until a thread of it waits in the open itself (the kernel's
  # wait_for_partner), so that the signal comes there and not during start-up; where the kernel
  # does not show what a process waits in, half a second.
  for _ in $(seq 100); do
    grep -qs wait_for_partner /proc/"$pid"/task/*/wchan && break
    if [ ! -r /proc/"$pid"/wchan ]; then sleep 0.5; break; fi
    sleep 0.1
  done
  kill -s "$signal" "$pid"
  wait_for "$pid" 50
  echo "SIG$signal while a FIFO input waits for its writer: exit status $status"
  if [ "$status" -ne "$expected" ]; then echo "  expected exit status $expected"; fail=1; fi
done

# The export writer runs at the idle scheduling class: on one core (the first this shell may
# use) it gets no time while the frame loop runs, so frames pile up (up to 512 MiB) and take some
# 1.5 s to write after the stop. Once the line that counts them appears, the run is frozen,
# signalled again and woken: the second signal is handled while the export is unfinished,
# however fast this machine is.
echo "an older export" >"$work/keep.h5"
echo "an older CSV" >"$work/keep.csv"
cpu=$(taskset -pc $$ | sed -E 's/.*: *([0-9]+).*/\1/')
env --default-signal=INT taskset -c "$cpu" "$program" --headless --frames 1000000 \
  --export "$work/keep.h5" --export-gains --stats "$work/keep.csv" >"$work/out" 2>"$work/err" &
pid=$!
# Wait (at most 60 s) for the export's temporary file, made before the first frame; then (at most
# 30 s) until the program's resident memory has grown by 384 MiB, three quarters of the queue's
# bound: frames enough to keep the writer busy well past the half second after which the line
# appears. Where /proc does not show the memory, 3 s.
for _ in $(seq 600); do
  [ -n "$(find "$work" -maxdepth 1 -name '.keep.*.h5' | head -n1)" ] && break
  sleep 0.1
done
resident_kib() { awk '/^VmRSS:/ { print $2 }' /proc/"$pid"/status 2>/dev/null; }
start_kib=$(resident_kib)
if [ -z "$start_kib" ]; then
  sleep 3
else
  for _ in $(seq 300); do
    now_kib=$(resident_kib)
    if [ -z "$now_kib" ] || [ $((now_kib - start_kib)) -ge $((384 * 1024)) ]; then break; fi
    sleep 0.1
  done
fi
kill -s INT "$pid"
for _ in $(seq 100); do
  grep -q 'frames left to write' "$work/err" && break
  sleep 0.05
done
if grep -q "^retina-replay: finishing '$work/keep.h5': [0-9]* frames left to write" "$work/err"; then
  kill -s STOP "$pid"
  kill -s INT "$pid"
  kill -s CONT "$pid"
  # Not a measure of "at once": a loaded machine takes a while to tear down 512 MiB. That the old
  # export is still there says that the second signal ended the writing.
  wait_for "$pid" 100
  echo "a second SIGINT while the export is written: exit status $status; $(tail -n1 "$work/err")"
  if [ "$status" -ne 130 ]; then echo "  expected exit status 130"; fail=1; fi
  if [ "$(cat "$work/keep.h5")" != "an older export" ]; then echo "  the old export changed"; fail=1; fi
  if [ "$(grep -v '^#' "$work/keep.csv" | head -c 6)" != "frame," ]; then echo "  the finished CSV is not in place"; fail=1; fi
else
  wait_for "$pid" 100
  echo "no line counted the frames left to write the export after the stop:"; cat "$work/err"; fail=1
fi
if [ "$(find "$work" -maxdepth 1 -name '.keep.*' | wc -l)" -ne 0 ]; then
  echo "  a temporary file was left behind"; fail=1
fi
exit $fail
