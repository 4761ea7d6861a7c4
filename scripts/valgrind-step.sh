#!/usr/bin/env bash
# Runs a command under Memcheck and judges the run:
#
#   bash scripts/valgrind-step.sh COMMAND [ARGS...]
#   bash scripts/valgrind-step.sh --classify LOG STATUS   # judge a saved log and exit status
#
# The verdict goes to standard error, so the command's standard output can be discarded on its
# own; Valgrind writes to a log file, apart from the command's standard error.
#   - "no errors", exit 0: the command exited 0 and Memcheck counted 0 errors.
#   - "skipped: ...", exit 0: Valgrind met an instruction it cannot translate inside a system
#     library and killed the command with SIGILL, and Memcheck counted 0 errors, leaks included.
#     Libraries pick code paths by CPU (libhwy executes RDTSCP on AVX-512 EPYC machines whose
#     /proc/cpuinfo flags do not list it), and Valgrind 3.19 cannot emulate all of them; that
#     says nothing about our code, but the run cannot go on under Valgrind on such a machine.
#   - anything else, exit 1: the reason and the whole log. An unrecognised instruction in our
#     own binary, or in a frame that only names a source file, is a failure: nothing proves it
#     belongs to a system library.
set -euo pipefail

# Directories whose libraries come from the system, not from our build tree.
system_library() {
  case "$1" in
    /usr/lib/* | /usr/lib64/* | /lib/* | /lib64/* | /usr/local/lib/*) return 0 ;;
    *) return 1 ;;
  esac
}

# report_failure LOG REASON
report_failure() {
  echo "valgrind: $2; the log follows" >&2
  cat "$1" >&2
}

# classify LOG STATUS
classify() {
  local log=$1 status=$2
  # A forked child writes its own summary into the same log; every summary must say 0.
  local zero_errors=false
  if grep -q 'ERROR SUMMARY: 0 errors ' "$log" && ! grep -q 'ERROR SUMMARY: [1-9]' "$log"; then
    zero_errors=true
  fi

  if [ "$status" -eq 0 ]; then
    if $zero_errors; then
      echo "no errors" >&2
      return 0
    fi
    report_failure "$log" "exit status 0 but the log does not show 0 errors"
    return 1
  fi

  # 132 = 128 + SIGILL. Memcheck still prints its error summary, leaks included, after the
  # SIGILL, so errors that came before it are not hidden by the skip.
  if [ "$status" -eq 132 ] && grep -q 'valgrind: Unrecognised instruction at address' "$log"; then
    # The first stack frame after the message is where the instruction is, e.g.
    #   ==1234==    at 0x6B0C1E5: hwy::platform::TimerResolution() (in /usr/lib/.../libhwy.so.1.0.3)
    local frame
    frame=$(awk '/valgrind: Unrecognised instruction at address/ { found = 1; next }
                 found && /^==[0-9]+==    at 0x/ { print; exit }' "$log")
    frame=${frame#*: }
    local function=$frame object=""
    if [[ $frame == *" (in /"*")" ]]; then
      function=${frame% (in *}
      object=${frame##* (in }
      object=${object%)}
    fi
    if [ -z "$object" ] || ! system_library "$object"; then
      report_failure "$log" "unrecognised instruction outside a system library, at ${frame:-an unknown place}"
      return 1
    fi
    if ! $zero_errors; then
      report_failure "$log" "unrecognised instruction in $object, but Memcheck also reported errors"
      return 1
    fi
    local bytes
    bytes=$(grep -m1 '^vex amd64->IR: unhandled instruction bytes:' "$log" || true)
    echo "skipped: Valgrind cannot emulate an instruction that $object uses on this CPU" \
      "($function${bytes:+; $bytes})" >&2
    return 0
  fi

  local signal=""
  [ "$status" -gt 128 ] && signal=" (SIG$(kill -l $((status - 128)) 2>/dev/null || echo "?"))"
  report_failure "$log" "exit status $status$signal"
  return 1
}

if [ "${1:-}" = "--classify" ]; then
  [ $# -eq 3 ] || { echo "usage: $0 --classify LOG STATUS" >&2; exit 2; }
  classify "$2" "$3"
  exit
fi
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# No -q: the log's ERROR SUMMARY line is what tells a clean run, and a SIGILL run without
# earlier errors, from the rest. --sigill-diagnostics=yes keeps the "Unrecognised instruction"
# message that tells an untranslatable instruction from a real trap.
# The command's standard error goes through fd 3; the shell's own stderr is /dev/null while it
# waits, which drops its "Illegal instruction" job notice for a command killed by a signal.
{
  valgrind --log-file="$log" --sigill-diagnostics=yes --leak-check=full \
    --show-leak-kinds=definite --errors-for-leak-kinds=definite --error-exitcode=1 "$@" 2>&3 3>&-
} 3>&2 2>/dev/null || status=$?
classify "$log" "$status"
