#!/usr/bin/env bash
# Soak: the live session (worker thread) on the synthetic 640x480 scene for 10000 frames. From the
# replay summary, resident memory after the last frame must be within 5 MiB of that after frame
# 100, and the event queue must never have held more than 20000 events.
# Usage: soak_replay.sh RETINA_REPLAY [FRAMES]
set -u
replay=$1
frames=${2:-10000}
out=$(mktemp)
trap 'rm -f "$out"' EXIT

start=$SECONDS
"$replay" --headless --size 640x480 --frames "$frames" >"$out" 2>&1
status=$?
seconds=$((SECONDS - start))
if [ "$status" -ne 0 ]; then
  echo "retina-replay exited with status $status"; tail -n 20 "$out"; exit 1
fi

# "Summary: N frames, ...", "... queue peak N events",
# "  resident memory (MiB): after frame 100 X, after the last frame Y, peak Z"
ran=$(sed -nE 's/^Summary: ([0-9]+) frames.*/\1/p' "$out")
peak=$(sed -nE 's/.*queue peak ([0-9]+) events.*/\1/p' "$out")
after100=$(sed -nE 's/.*resident memory \(MiB\): after frame 100 ([0-9.]+), .*/\1/p' "$out")
last=$(sed -nE 's/.*resident memory \(MiB\): .*after the last frame ([0-9.]+),.*/\1/p' "$out")
if [ -z "$ran" ] || [ -z "$peak" ] || [ -z "$after100" ] || [ -z "$last" ]; then
  echo "summary lines not found in the output:"; tail -n 20 "$out"; exit 1
fi

echo "soak: $ran frames in ${seconds} s; resident memory after frame 100 $after100 MiB," \
  "after frame $ran $last MiB; queue peak $peak events"
fail=0
if [ "$ran" -ne "$frames" ]; then echo "ran $ran frames, expected $frames"; fail=1; fi
if ! awk -v a="$after100" -v b="$last" 'BEGIN { d = b - a; if (d < 0) d = -d; exit !(d <= 5) }'
then
  echo "resident memory moved by more than 5 MiB between frame 100 and the last frame"; fail=1
fi
if [ "$peak" -gt 20000 ]; then echo "queue peak above its bound of 20000 events"; fail=1; fi
exit $fail
