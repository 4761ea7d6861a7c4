#!/usr/bin/env bash
# Runs the program where no camera can be opened and checks its whole output and exit status.
set -u
program=$1
if compgen -G "/dev/video*" >/dev/null; then
  echo "SKIP: this machine has a video device; the check needs a machine without a camera"
  exit 77
fi
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
DISPLAY= "$program" >"$out" 2>"$err"
status=$?
fail=0
if [ "$status" -ne 255 ]; then echo "exit status $status, expected 255"; fail=1; fi
if [ -s "$out" ]; then echo "unexpected standard output:"; cat "$out"; fail=1; fi
if [ "$(cat "$err")" != "Eroare: nu s-a putut deschide camera." ] || [ "$(wc -l <"$err")" -ne 1 ]; then
  echo "standard error differs from the one error line:"; cat -A "$err"; fail=1
fi
exit $fail
