#!/usr/bin/env bash
# retina-replay where the environment is hostile: a DISPLAY with no X server behind it and a
# Wayland session without X run headless after a one-line notice (exit 0, summary printed),
# where Qt alone would abort, but --fast, which needs the window, is refused; standard output on
# a full device or closed is a failure (exit status 1, the cause on standard error), not a
# silent success, --version and --help included; an output that is the file behind standard
# output (a link to /dev/stdout, standard output appended to a log) is refused and the log kept;
# an input (the parameter file, the fovea path, the clip) that is standard output's or standard
# error's file is refused before it is read;
# FFmpeg's own lines about a damaged clip stay off standard error; run as another user, a target
# in a sticky directory that neither belongs to is refused before the run. --check-display says
# why no window can open, with status 1.
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

env -u WAYLAND_DISPLAY DISPLAY=":$n" "$program" --check-display >"$work/out" 2>"$work/err"
status=$?
echo "--check-display at DISPLAY=:$n: exit status $status; $(cat "$work/err")"
if [ "$status" -ne 1 ] || [ -s "$work/out" ] ||
  [ "$(cat "$work/err")" != "retina-replay: no X server answers at DISPLAY ':$n'" ]; then
  echo "  expected exit status 1 and the one line"; fail=1
fi

env -u DISPLAY -u WAYLAND_DISPLAY "$program" --fast --frames 5 >"$work/out" 2>"$work/err"
status=$?
echo "--fast without a display: exit status $status; $(cat "$work/err")"
if [ "$status" -ne 2 ] || ! grep -q '^retina-replay: --fast unpaces a window' "$work/err"; then
  echo "  expected exit status 2 and why"; fail=1
fi

# Standard output that cannot be written: ARGS, then how standard output is redirected.
unwritable() {
  local description=$1 cause=$2
  shift 2
  "$@" 2>"$work/err"
  local status=$?
  echo "$description: exit status $status; $(cat "$work/err")"
  if [ "$status" -ne 1 ] || ! grep -q "cannot write standard output: $cause" "$work/err"; then
    echo "  expected exit status 1 and the cause"; fail=1
  fi
}
if [ -w /dev/full ]; then
  unwritable "standard output on /dev/full" "No space left on device" \
    eval '"$program" --headless --frames 5 >/dev/full'
  unwritable "--version on /dev/full" "No space left on device" eval '"$program" --version >/dev/full'
else
  echo "no writable /dev/full here: the full standard output cases are not checked"
fi
unwritable "--help with standard output closed" "Bad file descriptor" eval '"$program" --help >&-'

echo "the log standard output is appended to" >"$work/log.txt"
ln -s /dev/stdout "$work/so.csv"
"$program" --headless --frames 5 --stats "$work/so.csv" >>"$work/log.txt" 2>"$work/err"
status=$?
echo "--stats through a link to /dev/stdout, appended to a log: exit status $status; $(cat "$work/err")"
if [ "$status" -ne 2 ] || [ "$(cat "$work/log.txt")" != "the log standard output is appended to" ]; then
  echo "  expected exit status 2 and the log as it was"; fail=1
fi

# An input that is the file behind standard output or standard error is refused before it is
# read: the parameter file that '>' has just emptied (it would read as all defaults and be
# replaced by them), a fovea path a log is appended to, a clip standard error goes to.
printf '[konio]\ndecay = 0.5\n' >"$work/my.toml"
printf 'frame,cx,cy\n1,10,10\n' >"$work/path.csv"
"$program" --headless --frames 3 --size 64x48 --out "$work/clip.avi" >/dev/null
for case in "--config:$work/my.toml:--print-config:>" "--fovea-path:$work/path.csv:--frames 3:>>" \
  "--video:$work/clip.avi:--frames 3:2>>"; do
  IFS=: read -r option file more redirect <<<"$case"
  # shellcheck disable=SC2086
  eval '"$program" --headless $option "$file" $more '"$redirect"' "$file"' 2>>"$work/err" \
    >>"$work/out"
  status=$?
  stream=output
  [ "$redirect" = "2>>" ] && stream=error
  echo "$option its own standard $stream's file ($redirect): exit status $status"
  if [ "$status" -ne 2 ] || ! grep -q "it is the file standard $stream writes to" "$work/err" "$file"; then
    echo "  expected exit status 2 and the cause"; fail=1
  fi
  if [ "$option" = "--config" ] && [ -s "$file" ]; then echo "  the parameter file was written"; fail=1; fi
  : >"$work/err"
done

clip=/usr/share/doc/opencv-doc/examples/data/vtest.avi
if [ -r "$clip" ]; then
  head -c 2000000 "$clip" >"$work/cut.avi"
  "$program" --headless --video "$work/cut.avi" >"$work/out" 2>"$work/err"
  status=$?
  echo "a clip cut short: exit status $status; $(cat "$work/err")"
  if [ "$status" -ne 0 ] || [ "$(wc -l <"$work/err")" -ne 1 ] ||
    ! grep -q '^retina-replay: warning: the input ended early: frame [0-9]* of [0-9]* does not decode' "$work/err"; then
    echo "  expected exit status 0 and the one warning on standard error"; fail=1
  fi
else
  echo "no $clip (Debian's opencv-doc): the damaged clip case is not checked"
fi

if [ "$(id -u)" -eq 0 ] && command -v setpriv >/dev/null; then
  chmod 755 "$work"
  mkdir -m 1777 "$work/sticky"
  echo "root's file, writable by all" >"$work/sticky/theirs.csv"
  chmod 666 "$work/sticky/theirs.csv"
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$program" --headless --frames 5 --stats "$work/sticky/theirs.csv" >"$work/out" 2>"$work/err"
  status=$?
  echo "as nobody, a root's file in a sticky directory: exit status $status; $(cat "$work/err")"
  if [ "$status" -ne 2 ] || ! grep -q 'its directory is sticky' "$work/err"; then
    echo "  expected a refusal before the run, exit status 2"; fail=1
  fi
else
  echo "not root, or no setpriv: the sticky directory case is not checked"
fi
exit $fail
