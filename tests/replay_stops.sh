#!/usr/bin/env bash
# Real stop signals. SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM and a SIGSEGV sent by
# another process during a headless recording: the run ends as on ESC, with exit status 128 + the
# signal's number, the summary on standard output, and a recording that decodes to as many frames
# as its header says (and as the summary counts), with no temporary file left beside it (in the
# program's folder .retina-partial there). A second run on the output of a running one is
# refused, whichever kind of temporary it keeps. A file size limit fails the output that reaches
# it, with the cause. SIGINT and SIGTERM while a FIFO input waits for its writer end the program
# at once; while its writer holds it open without sending, they end the run promptly with the
# frames drawn, outputs finished. SIGINT while a large layout is built (its progress line on a
# terminal) ends the run before its first frame, nothing written. A second SIGINT while the
# export is still being written, which a line on standard error counts down, abandons it: exit
# status 130 at once, the old file as it was, no temporary file, the finished CSV in place.
# Usage: replay_stops.sh RETINA_REPLAY VIDEO_FRAMES
set -u
program=$1 video_frames=$2
work=$(mktemp -d)
pid='' hog=''
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; [ -n "$hog" ] && kill "$hog" 2>/dev/null; rm -rf "$work"' EXIT
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
# Every signal that ends a process by default ends the run so, a fault's signal sent by another
# process too (SIGSEGV).
for case in INT:130 TERM:143 QUIT:131 USR1:138 USR2:140 ALRM:142 SEGV:139; do
  signal=${case%%:*} expected=${case##*:}
  rm -rf "$work"/*.avi "$work"/.retina-partial
  env --default-signal=INT,QUIT "$program" --headless --frames 1000000 --size 320x240 \
    --out "$work/run.avi" >"$work/out" 2>"$work/err" &
  pid=$!
  # Wait (at most 60 s) until the temporary recording holds some frames: the signal must come
  # in the middle of the recording, not before the first frame.
  for _ in $(seq 600); do
    temp=$(find "$work"/.retina-partial -name run.avi -size +20k 2>/dev/null | head -n1)
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
  if [ -e "$work/.retina-partial" ]; then echo "  a temporary file was left behind"; fail=1; fi
done

# Two runs on one output at once: the second is refused before its run (exit status 2, the
# cause), and the first goes on to its end. The first run's lock on its folder in .retina-partial
# is all that tells the second it is alive (a killed run's folder is cleared): for a CSV that
# folder holds only an empty mark (the data is in a file without a name), for a recording the
# temporary itself.
for case in --stats:both.csv --out:both.avi; do
  option=${case%%:*} target=${case##*:}
  rm -rf "$work/$target" "$work"/.retina-partial
  env --default-signal=INT "$program" --headless --frames 1000000 --size 320x240 \
    "$option" "$work/$target" >"$work/out" 2>"$work/err" &
  pid=$!
  mark=''
  for _ in $(seq 600); do  # at most 60 s for the first run's mark in the program's folder
    mark=$(find "$work"/.retina-partial -name "$target" 2>/dev/null | head -n1)
    [ -n "$mark" ] && break
    sleep 0.1
  done
  "$program" --headless --frames 5 "$option" "$work/$target" >"$work/out2" 2>"$work/err2"
  second=$?
  kill -s INT "$pid"
  wait_for "$pid" 100
  echo "$option: a second run on the output of a running one: exit status $second; $(cat "$work/err2")"
  if [ -z "$mark" ]; then echo "  the first run's temporary is not in .retina-partial"; fail=1; fi
  if [ "$second" -ne 2 ] || ! grep -q "cannot write '$work/$target': another run is writing it now" "$work/err2"; then
    echo "  expected exit status 2 and the cause"; fail=1
  fi
  if [ "$status" -ne 130 ] || ! grep -q "^    $work/$target: written$" "$work/out"; then
    echo "  the first run did not end with its output in place (exit status $status)"; fail=1
  fi
done
if [ "$(head -c 7 "$work/both.csv")" != "# tool:" ]; then echo "  the CSV is not the first run's"; fail=1; fi

# A file size limit (ulimit -f, here 200 KiB) fails the output that reaches it, with the cause and
# the summary, rather than SIGXFSZ killing the run: exit status 1, nothing left behind.
for target in run.avi run.csv; do
  rm -f "$work/$target"
  option=--out
  [ "$target" = run.csv ] && option=--stats
  (ulimit -f 200 && exec "$program" --headless --frames 3000 --size 640x480 "$option" \
    "$work/$target" >"$work/out" 2>"$work/err")
  status=$?
  echo "$option past ulimit -f 200: exit status $status; $(cat "$work/err")"
  if [ "$status" -ne 1 ] || ! grep -q "cannot write '$work/$target': File too large" "$work/err" ||
    ! grep -q '^Summary: ' "$work/out"; then
    echo "  expected exit status 1, the cause and the summary"; fail=1
  fi
  if [ -e "$work/$target" ] || [ -e "$work/.retina-partial" ]; then
    echo "  a file was left behind"; fail=1
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

# A FIFO whose writer sends part of a clip and then holds it open, as a stream that stalls: the
# stop is obeyed while the run waits for the next frame, with the summary of the frames drawn,
# status 128 + the signal and each output finished with them.
"$program" --headless --frames 60 --size 320x240 --out "$work/clip.avi" >/dev/null
for case in INT:130 TERM:143; do
  signal=${case%%:*} expected=${case##*:}
  rm -rf "$work"/stall.* "$work"/.retina-partial
  env --default-signal=INT "$program" --headless --video "$work/fifo.avi" \
    --out "$work/stall.avi" --stats "$work/stall.csv" >"$work/out" 2>"$work/err" &
  pid=$!
  exec 3>"$work/fifo.avi"
  head -c 150000 "$work/clip.avi" >&3  # some four frames of 60
  # Wait (at most 30 s) until a thread of it waits to read the FIFO (all that was sent is in, its
  # frames drawn); where the kernel does not show what a process waits in, two seconds.
  for _ in $(seq 300); do
    grep -qsE 'pipe_(read|wait)' /proc/"$pid"/task/*/wchan && break
    if [ ! -r /proc/"$pid"/wchan ]; then sleep 2; break; fi
    sleep 0.1
  done
  kill -s "$signal" "$pid"
  wait_for "$pid" 100
  exec 3>&-
  frames=$(sed -nE 's/^Summary: ([0-9]+) frames.*/\1/p' "$work/out")
  contents=$("$video_frames" "$work/stall.avi" 2>/dev/null)
  rows=$(grep -c '^[0-9]' "$work/stall.csv" 2>/dev/null)
  echo "SIG$signal while a FIFO's writer holds it without sending: exit status $status, summary of ${frames:-no} frames, recording '$contents', $rows CSV rows"
  if [ "$status" -ne "$expected" ]; then echo "  expected exit status $expected"; fail=1; fi
  if [ -z "$frames" ] || [ "$frames" -eq 0 ] || [ "$contents" != "$frames $frames" ] || [ "$rows" != "$frames" ]; then
    echo "  the outputs do not hold the summary's frames"; fail=1
  fi
  if [ -e "$work/.retina-partial" ]; then echo "  a temporary file was left behind"; fail=1; fi
done

# A large layout (31.7 million sensors) takes seconds to build. On a terminal (script's here) a
# line says how far it is; a stop once it shows ends the run there, before its first frame:
# status 130, the summary, no output written and nothing left behind.
printf '[retina]\nspiral_points = 4500000\ndiameter = 200000\n' >"$work/large.toml"
rm -rf "$work"/.retina-partial "$work/pid"
script -qfec "echo \$\$ >'$work/pid'; exec env --default-signal=INT '$program' --headless \
  --frames 5 --config '$work/large.toml' --out '$work/large.avi' --stats '$work/large.csv'" \
  "$work/tty" >/dev/null 2>&1 &
pid=$!
for _ in $(seq 600); do  # at most 60 s for the line
  [ -s "$work/pid" ] && grep -qs "building the retina's layout" "$work/tty" && break
  sleep 0.1
done
line=$(grep -c "building the retina's layout" "$work/tty")
[ -s "$work/pid" ] && kill -s INT "$(cat "$work/pid")"
wait_for "$pid" 300
echo "SIGINT while a large layout is built: exit status $status; $(tr '\r' '\n' <"$work/tty" | grep -m1 '^Summary')"
if [ "$line" -eq 0 ]; then echo "  no line said how far the layout was"; fail=1; fi
if [ "$status" -ne 130 ] || ! grep -q '^Summary: 0 frames' "$work/tty"; then
  echo "  expected exit status 130 and the summary of 0 frames"; fail=1
fi
if [ -e "$work/large.avi" ] || [ -e "$work/large.csv" ] || [ -e "$work/.retina-partial" ]; then
  echo "  a file was left behind"; fail=1
fi

# The export writer runs at the idle scheduling class: on one core (the first this shell may
# use), beside a busy loop of ordinary class, it gets next to no time, so the frames in flight
# (Hdf5Export::kFramesInFlight, always full there) take seconds to write after the stop. Once the
# line that counts them appears, the run is frozen, signalled again and woken: the second signal
# is handled while the export is unfinished, however fast this machine is.
echo "an older export" >"$work/keep.h5"
echo "an older CSV" >"$work/keep.csv"
cpu=$(taskset -pc $$ | sed -E 's/.*: *([0-9]+).*/\1/')
env --default-signal=INT taskset -c "$cpu" "$program" --headless --frames 1000000 \
  --export "$work/keep.h5" --export-gains --stats "$work/keep.csv" >"$work/out" 2>"$work/err" &
pid=$!
# Wait (at most 60 s) for the export's temporary file, made before the first frame, then (at most
# 60 s) for the program to have run 1 s of CPU time: frames drawn, their export rows in flight.
# Where /proc does not show it, 3 s.
for _ in $(seq 600); do
  [ -n "$(find "$work"/.retina-partial -name keep.h5 2>/dev/null | head -n1)" ] && break
  sleep 0.1
done
cpu_ticks() { awk '{ print $14 + $15 }' /proc/"$pid"/stat 2>/dev/null; }
if [ -z "$(cpu_ticks)" ]; then
  sleep 3
else
  for _ in $(seq 600); do
    ticks=$(cpu_ticks)
    if [ -z "$ticks" ] || [ "$ticks" -ge "$(getconf CLK_TCK)" ]; then break; fi
    sleep 0.1
  done
fi
taskset -c "$cpu" bash -c 'while :; do :; done' &
hog=$!
kill -s INT "$pid"
# The frame loop first waits for the writer to free a frame (at most 30 s).
for _ in $(seq 600); do
  grep -q 'frames left to write' "$work/err" && break
  sleep 0.05
done
if grep -q "^retina-replay: finishing '$work/keep.h5': [0-9]* frames left to write" "$work/err"; then
  kill -s STOP "$pid"
  kill -s INT "$pid"
  # The process ends only once every thread, the idle-class writer too, has run to its exit.
  kill "$hog"
  kill -s CONT "$pid"
  # Not a measure of "at once" on a loaded machine. That the old export is still there says that
  # the second signal ended the writing.
  wait_for "$pid" 100
  echo "a second SIGINT while the export is written: exit status $status; $(tail -n1 "$work/err")"
  if [ "$status" -ne 130 ]; then echo "  expected exit status 130"; fail=1; fi
  if [ "$(cat "$work/keep.h5")" != "an older export" ]; then echo "  the old export changed"; fail=1; fi
  if [ "$(grep -v '^#' "$work/keep.csv" | head -c 6)" != "frame," ]; then echo "  the finished CSV is not in place"; fail=1; fi
else
  kill "$hog"
  wait_for "$pid" 100
  echo "no line counted the frames left to write the export after the stop:"; cat "$work/err"; fail=1
fi
kill "$hog" 2>/dev/null
wait "$hog" 2>/dev/null
hog=''
if [ -e "$work/.retina-partial" ]; then echo "  a temporary file was left behind"; fail=1; fi
exit $fail
