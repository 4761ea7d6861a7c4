#!/usr/bin/env bash
# retina-replay in a real window on a virtual X server: the window appears, draws the retina,
# takes 'r' and quits on ESC with status 0, the console shows the program's lines in order
# followed by the summary, and nothing reaches standard error. Skips (77) only when Xvfb cannot
# start here.
set -u
program=$1
title='Retina Quillaventora C++'

work=$(mktemp -d)
xvfb_pid='' replay_pid=''
cleanup() {
  [ -n "$replay_pid" ] && kill "$replay_pid" 2>/dev/null
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

# Far more frames than the test needs: the run must end by ESC, not by itself.
"$program" --frames 1000000 >"$work/out" 2>"$work/err" &
replay_pid=$!

window=$(timeout 60 xdotool search --sync --onlyvisible --name "^${title//+/\\+}\$" | head -n1)
[ -n "$window" ] || fail "no visible window '$title' within 60 s"

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
for _ in $(seq 300); do
  kill -0 "$replay_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$replay_pid" 2>/dev/null && fail "retina-replay still runs 30 s after ESC"
wait "$replay_pid"
status=$?
replay_pid=''
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
exit 0
