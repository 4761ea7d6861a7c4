#!/usr/bin/env bash
# Runs retina-replay with arguments it must refuse: each run ends with status 2, exactly one line
# on standard error and nothing on standard output, before any camera, window or file is used.
# --help and --version answer (status 0, standard output only) whatever else the line holds.
set -u
program=$1
out=$(mktemp) err=$(mktemp) text=$(mktemp --suffix=.avi)
trap 'rm -f "$out" "$err" "$text"' EXIT
echo "not a video" >"$text"
fail=0
check() {  # ARGS...; with `cause` set, the line must hold it
  DISPLAY= "$program" "$@" >"$out" 2>"$err"
  local status=$?
  if [ "$status" -ne 2 ]; then echo "$*: exit status $status, expected 2"; fail=1; fi
  if [ -s "$out" ]; then echo "$*: unexpected standard output:"; cat "$out"; fail=1; fi
  if [ "$(wc -l <"$err")" -ne 1 ] || ! grep -q '^retina-replay: ' "$err"; then
    echo "$*: standard error is not one 'retina-replay: ' line:"; cat -A "$err"; fail=1
  fi
  if [ -n "${cause:-}" ] && ! grep -qF "$cause" "$err"; then
    echo "$*: the line does not say '$cause':"; cat "$err"; fail=1
  fi
}
check --no-such-option
check --frames 0
check --frames 5 --frames 6
check --size 64x64 --video clip.avi
check --fast --headless
check --headless --video /nonexistent/clip.avi
# FFmpeg, GStreamer and libpng each complain in their own words while they try such a file.
check --headless --video "$text"
check --headless --image "$text"
check --headless --image /nonexistent/photo.png --out /nonexistent/run.avi
# A name that does not exist is tried as a pipeline too, and then said to be missing.
cause='No such file or directory' check --headless --video /nonexistent/missing!.avi

answers() {  # PATTERN ARGS...: status 0, the first line of standard output matches, no stderr
  local pattern=$1
  shift
  DISPLAY= "$program" "$@" >"$out" 2>"$err"
  local status=$?
  if [ "$status" -ne 0 ] || ! head -n1 "$out" | grep -Eq "$pattern" || [ -s "$err" ]; then
    echo "$*: exit status $status, expected 0 with '$pattern' first:"; cat "$out" "$err"; fail=1
  fi
}
answers '^Usage: retina-replay ' --frames 0 --no-such-option --help
answers '^retina-replay [0-9]+\.[0-9]+\.[0-9]+$' --version --frames
exit $fail
