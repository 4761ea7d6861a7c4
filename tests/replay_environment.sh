#!/usr/bin/env bash
# retina-replay where the environment is hostile: a DISPLAY with no X server behind it and a
# Wayland session without X run headless after a one-line notice (exit 0, summary printed),
# where Qt alone would abort; standard output on a full device is a failure (non-zero exit, the
# cause on standard error), not a silent success.
set -u
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

# A display number with no X server: no socket for it in /tmp/.X11-unix.
n=55
while [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done

run_without_x() {  # DESCRIPTION ENV...
  local description=$1
  shift
  env -u DISPLAY -u WAYLAND_DISPLAY "$@" "$program" --frames 5 >"$work/out" 2>"$work/err"
  local status=$?
  if [ "$status" -ne 0 ]; then echo "$description: exit status $status, expected 0"; fail=1; fi
  if ! grep -q '^Summary: 5 frames' "$work/out"; then echo "$description: no summary"; fail=1; fi
  if [ "$(wc -l <"$work/err")" -ne 1 ] || ! grep -q '; running headless$' "$work/err"; then
    echo "$description: standard error is not the one notice:"; cat "$work/err"; fail=1
  fi
  echo "$description: exit status $status; $(cat "$work/err")"
}
run_without_x "DISPLAY=:$n without a server" DISPLAY=":$n"
run_without_x "WAYLAND_DISPLAY only" WAYLAND_DISPLAY=wayland-0 XDG_RUNTIME_DIR="$work"

if [ -w /dev/full ]; then
  "$program" --headless --frames 5 >/dev/full 2>"$work/err"
  status=$?
  echo "standard output on /dev/full: exit status $status; $(cat "$work/err")"
  if [ "$status" -ne 1 ] || ! grep -q 'cannot write standard output: No space left on device' "$work/err"; then
    echo "  expected exit status 1 and the cause"; fail=1
  fi
else
  echo "no writable /dev/full here: the full standard output case is not checked"
fi
exit $fail
