#!/usr/bin/env bash
# retina-replay in a real window on a virtual X server: the window appears, draws the retina,
# takes 'r' and quits on ESC with status 0, the console shows the program's lines in order
# followed by the summary, the recording holds every frame, and nothing reaches standard error.
# Then the window closed under the program (xdotool windowclose) ends a second run promptly
# with status 0 and a whole recording, though a snapshot frame was still far off. Last, the X
# server killed under a third run (an ssh -X session that drops): the window toolkit ends the
# program, but only after the run was finished as on ESC, recording and CSV in place and no
# temporary file left. --check-display answers yes there. Skips (77) only when Xvfb cannot start
# here.
# Usage: replay_window.sh RETINA_REPLAY VIDEO_FRAMES
set -u
program=$1 video_frames=$2
title='Retina Quillaventora C++'

work=$(mktemp -d)
xvfb_pid='' replay_pid=''
# retina-replay ends before its folder goes and before the X server it draws on: SIGTERM finishes
# the run, SIGKILL follows if it still runs 10 s later.
cleanup() {
  if [ -n "$replay_pid" ]; then
    kill "$replay_pid" 2>/dev/null
    for _ in $(seq 100); do
      kill -0 "$replay_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$replay_pid" 2>/dev/null
    wait "$replay_pid" 2>/dev/null
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  [ -s "$work/out" ] && { echo "--- retina-replay standard output:"; cat "$work/out"; }
  [ -s "$work/err" ] && { echo "--- retina-replay standard error:"; cat "$work/err"; }
  exit 1
}

for tool in xdotool import convert; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

# Xvfb picks a free display number itself and writes it to fd 3 once it accepts clients.
if ! command -v Xvfb >/dev/null; then
  echo "SKIP: Xvfb is not installed, so no X server can start here"
  exit 77
fi
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$work/display" ]; then
  echo "SKIP: Xvfb did not start:"
  cat "$work/xvfb.log"
  exit 77
fi
export DISPLAY=":$(head -n1 "$work/display")"
# Qt wants a private runtime directory and complains on standard error without one.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
"$program" --check-display >"$work/out" 2>"$work/err" && [ ! -s "$work/out" ] && [ ! -s "$work/err" ] ||
  fail "--check-display does not answer yes, silently, on the virtual X server"

# Far more frames than the test needs: the run must end by ESC, not by itself.
"$program" --frames 1000000 --out "$work/esc.avi" >"$work/out" 2>"$work/err" &
replay_pid=$!

find_window() {
  window=$(timeout 60 xdotool search --sync --onlyvisible --name "^${title//+/\\+}\$" | head -n1)
  [ -n "$window" ] || fail "no visible window '$title' within 60 s"
}
# Waits up to 10 s for the run to end and sets `status`.
wait_for_end() {
  for _ in $(seq 100); do
    kill -0 "$replay_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$replay_pid" 2>/dev/null && fail "retina-replay still runs 10 s after $1"
  wait "$replay_pid"
  status=$?
  replay_pid=''
}
# The recording holds as many frames, by its header and decoded, as the summary counts.
check_recording() {
  local frames contents
  frames=$(sed -nE 's/^Summary: ([0-9]+) frames.*/\1/p' "$work/out")
  contents=$("$video_frames" "$1")
  [ -n "$frames" ] && [ "$contents" = "$frames $frames" ] ||
    fail "$1 holds '$contents' (header, decoded) for a summary of '$frames' frames"
  echo "$(basename "$1"): $frames frames, header and decoded alike"
}
# Waits (at most 10 s) until the temporary recording of NAME.avi holds some frames.
wait_for_recording() {
  for _ in $(seq 100); do
    [ -n "$(find "$work" -maxdepth 1 -name ".$1.*.avi" -size +100k)" ] && break
    sleep 0.1
  done
}
find_window

# The window is up before its first picture; poll the middle of the window (the canvas, away from
# any toolbar) until it shows more than a flat colour.
colours=0
for _ in $(seq 100); do
  if import -window "$window" "$work/shot.png" 2>/dev/null; then
    colours=$(convert "$work/shot.png" -gravity center -crop 400x300+0+0 +repage \
      -format '%k' info:)
    [ "$colours" -ge 16 ] && break
  fi
  kill -0 "$replay_pid" 2>/dev/null || fail "retina-replay ended before ESC"
  sleep 0.2
done
[ "$colours" -ge 16 ] || fail "the window's middle shows only $colours colours: nothing drawn"
echo "window $window: $colours colours in the middle 400x300 of a $(identify -format '%wx%h' "$work/shot.png") screenshot"

xdotool key --window "$window" r 2>/dev/null
sleep 0.5
kill -0 "$replay_pid" 2>/dev/null || fail "retina-replay ended on 'r'"
xdotool key --window "$window" Escape 2>/dev/null
wait_for_end ESC
[ "$status" -eq 0 ] || fail "exit status $status after ESC, expected 0"

# The program's three lines first, then (after any latency lines) the summary.
expected=$'Generati 30202 senzori.\nDemo C++ cu camera si model neuronal (Konio + TRN)\nTaste: \'r\' - reseteaza centrul, ESC - iesire'
[ "$(head -n3 "$work/out")" = "$expected" ] || fail "the first three console lines differ"
summary=$(grep -n '^Summary: [0-9]* frames, model on its worker thread (live)$' "$work/out" | cut -d: -f1)
[ -n "$summary" ] || fail "no summary line"
if tail -n +4 "$work/out" | head -n $((summary - 4)) | grep -qv -e '^\[Latency\] Frame processing: [0-9]* ms$' -e '^$'; then
  fail "unexpected lines between the key help and the summary"
fi
echo "console lines in order; $(sed -n "${summary}p" "$work/out")"
# Nothing on standard error: no toolkit warning and, in a sanitizer build, no report.
[ -s "$work/err" ] && fail "unexpected standard error"
check_recording "$work/esc.avi"

# The window closed under the program: the run ends as on ESC, recording kept; the snapshot
# frame it never reached is reported, and costs nothing else.
"$program" --frames 1000000 --out "$work/closed.avi" --snapshot "900000:$work/far.png" \
  >"$work/out" 2>"$work/err" &
replay_pid=$!
find_window
wait_for_recording closed
xdotool windowclose "$window" 2>/dev/null
wait_for_end "its window was closed"
[ "$status" -eq 0 ] || fail "exit status $status after the window was closed, expected 0"
grep -q "snapshot frame 900000 was not reached" "$work/err" || fail "the missed snapshot is not reported"
[ -e "$work/far.png" ] && fail "a snapshot was written for a frame never reached"
check_recording "$work/closed.avi"

"$program" --frames 1000000 --out "$work/lost.avi" --stats "$work/lost.csv" \
  >"$work/out" 2>"$work/err" &
replay_pid=$!
find_window
wait_for_recording lost
kill "$xvfb_pid"
wait "$xvfb_pid" 2>/dev/null
xvfb_pid=''
wait_for_end "its X server was killed"
[ "$status" -eq 0 ] || fail "exit status $status after the X server was killed, expected 0"
grep -q "^retina-replay: the window toolkit is ending the program" "$work/err" ||
  fail "no line says why the run ended"
check_recording "$work/lost.avi"
frames=$(sed -nE 's/^Summary: ([0-9]+) frames.*/\1/p' "$work/out")
[ "$(grep -cv '^#' "$work/lost.csv")" -eq $((frames + 1)) ] || fail "lost.csv does not hold $frames frames"
[ -z "$(find "$work" -maxdepth 1 -name '.lost.*')" ] || fail "a temporary file was left behind"
echo "X server killed: exit status 0, $(grep -cv '^#' "$work/lost.csv") lines in lost.csv (comments aside)"
exit 0
