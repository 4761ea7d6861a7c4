#!/usr/bin/env bash
# Runs retina-replay with arguments it must refuse: each run ends with status 2, exactly one line
# on standard error and nothing on standard output, before any camera, window or file is used.
set -u
program=$1
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
fail=0
check() {
  DISPLAY= "$program" "$@" >"$out" 2>"$err"
  local status=$?
  if [ "$status" -ne 2 ]; then echo "$*: exit status $status, expected 2"; fail=1; fi
  if [ -s "$out" ]; then echo "$*: unexpected standard output:"; cat "$out"; fail=1; fi
  if [ "$(wc -l <"$err")" -ne 1 ] || ! grep -q '^retina-replay: ' "$err"; then
    echo "$*: standard error is not one 'retina-replay: ' line:"; cat -A "$err"; fail=1
  fi
}
check --no-such-option
check --frames 0
check --headless --video /nonexistent/clip.avi
exit $fail
