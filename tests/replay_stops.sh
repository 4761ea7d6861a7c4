#!/usr/bin/env bash
# Real SIGINT and SIGTERM during a headless recording: the run ends as on ESC, with exit status
# 130 or 143, the summary on standard output, and a recording that decodes to as many frames as
# its header says (and as the summary counts), with no temporary file left beside it.
# Usage: replay_stops.sh RETINA_REPLAY VIDEO_FRAMES
set -u
program=$1 video_frames=$2
work=$(mktemp -d)
pid=''
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail=0

for case in INT:130 TERM:143; do
  signal=${case%%:*} expected=${case##*:}
  rm -f "$work"/*.avi "$work"/.*.avi
  "$program" --headless --frames 1000000 --size 320x240 --out "$work/run.avi" \
    >"$work/out" 2>"$work/err" &
  pid=$!
  # Wait (at most 60 s) until the temporary recording holds some frames: the signal must come
  # in the middle of the recording, not before the first frame.
  for _ in $(seq 600); do
    temp=$(find "$work" -maxdepth 1 -name '.run.*.avi' -size +20k | head -n1)
    [ -n "$temp" ] && break
    sleep 0.1
  done
  kill -s "$signal" "$pid"
  wait "$pid"
  status=$? pid=''
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
exit $fail
