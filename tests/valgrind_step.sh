#!/usr/bin/env bash
# Checks scripts/valgrind-step.sh's verdicts on Valgrind 3.19 logs written by hand in its format
# (tests/valgrind/), then, where Valgrind is installed, that a real run keeps the command's
# standard output apart from the verdict and passes on its exit status.
set -u
here=$(cd "$(dirname "$0")" && pwd)
step=$here/../scripts/valgrind-step.sh
logs=$here/valgrind
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
fail=0

hwy_skip='skipped: Valgrind cannot emulate an instruction that /usr/lib/x86_64-linux-gnu/libhwy.so.1.0.3 uses on this CPU (hwy::platform::TimerResolution(); vex amd64->IR: unhandled instruction bytes: 0xF 0x1 0xF9 0x89 0xD0 0x48 0xC1 0xE2 0x20 0x48)'

# log | exit status of the run | expected exit | expected first line of the verdict (a glob)
cases="
clean.log                            | 0   | 0 | no errors
sigill-libhwy.log                    | 132 | 0 | $hwy_skip
sigill-libhwy.log                    | 1   | 1 | valgrind: exit status 1; the log follows
clean.log                            | 1   | 1 | valgrind: exit status 1; the log follows
invalid-read.log                     | 1   | 1 | valgrind: exit status 1; the log follows
invalid-read.log                     | 0   | 1 | valgrind: exit status 0 but the log does not show 0 errors;*
definite-leak.log                    | 1   | 1 | valgrind: exit status 1; the log follows
sigill-own-binary.log                | 132 | 1 | valgrind: unrecognised instruction outside a system library, at renderRetina(*) (in /work/main/build/test/app/retina-replay);*
sigill-own-source-line.log           | 132 | 1 | valgrind: unrecognised instruction outside a system library, at renderRetina(*) (render.cpp:94);*
sigill-libhwy-after-invalid-read.log | 132 | 1 | valgrind: unrecognised instruction in /lib/x86_64-linux-gnu/libhwy.so.1.0.3, but Memcheck also reported errors;*
trap-in-library.log                  | 132 | 1 | valgrind: exit status 132 (SIGILL); the log follows
"
trim() { local s=${1#"${1%%[![:space:]]*}"}; printf '%s' "${s%"${s##*[![:space:]]}"}"; }

while IFS='|' read -r log status want_exit want_line; do
  [ -n "$(trim "$log")" ] || continue
  log=$(trim "$log") status=$(trim "$status") want_exit=$(trim "$want_exit") want_line=$(trim "$want_line")
  bash "$step" --classify "$logs/$log" "$status" >"$out" 2>"$err"
  got_exit=$?
  got_line=$(head -n1 "$err")
  what="$log with exit status $status"
  if [ "$got_exit" -ne "$want_exit" ]; then echo "$what: exit $got_exit, expected $want_exit"; fail=1; fi
  # shellcheck disable=SC2053  # want_line is a glob on purpose
  if [[ $got_line != $want_line ]]; then
    printf '%s: verdict\n  %s\nexpected\n  %s\n' "$what" "$got_line" "$want_line"; fail=1
  fi
  if [ -s "$out" ]; then echo "$what: unexpected standard output:"; cat "$out"; fail=1; fi
  if [ "$want_exit" -eq 0 ]; then
    if [ "$(wc -l <"$err")" -ne 1 ]; then echo "$what: more than the verdict line:"; cat "$err"; fail=1; fi
  elif ! tail -n +2 "$err" | cmp -s - "$logs/$log"; then
    echo "$what: the verdict is not followed by the whole log"; fail=1
  fi
done <<<"$cases"

if command -v valgrind >/dev/null; then
  # command | expected standard output | expected exit | a line expected on standard error
  for run in "echo ready|ready|0|no errors" "false||1|valgrind: exit status 1; the log follows"; do
    IFS='|' read -r command want_out want_exit want_line <<<"$run"
    # shellcheck disable=SC2086  # the command is split into words on purpose
    bash "$step" $command >"$out" 2>"$err"
    got_exit=$?
    if [ "$got_exit" -ne "$want_exit" ]; then echo "run '$command': exit $got_exit, expected $want_exit"; fail=1; fi
    if [ "$(cat "$out")" != "$want_out" ]; then echo "run '$command': standard output:"; cat "$out"; fail=1; fi
    if ! grep -qxF "$want_line" "$err"; then echo "run '$command': no '$want_line' in:"; cat "$err"; fail=1; fi
  done
else
  echo "valgrind is not installed: the real runs are left out"
fi
exit $fail
