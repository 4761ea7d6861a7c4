#!/usr/bin/env bash
# What --export costs, measured: runs retina-replay headless PAIRS times without and with
# `--export` (alternating, so that both see the same machine load) and prints the medians over
# the runs of the summary's figures: the iteration without read, the emission (the push log is
# filled there), the export row (the frame loop's own share), the displaced share, the worker
# batches per frame, and the wall time (the export's includes writing what is still queued).
#   bash scripts/export-cost.sh BINARY PAIRS [retina-replay options...]
#   bash scripts/export-cost.sh build/dev/apps/replay/retina-replay 7 --deterministic --frames 300
set -euo pipefail
binary=$1
pairs=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {  # run LABEL [extra options...]: appends one line of figures to $work/LABEL
  local label=$1
  shift
  local start end
  start=$(date +%s%N)
  "$binary" --headless "$@" >"$work/out" 2>&1
  end=$(date +%s%N)
  awk -v wall="$(((end - start) / 1000000))" '
    /^  emission/ { emission = $2 }
    /iteration without read/ { iteration = $4 }
    /^  export / { exported = $2 }
    /displaced by the queue bound/ { gsub(/[(]/, "", $7); displaced = $7 }
    /worker batches per frame/ { batches = $5 }
    END { printf "%s %s %s %s %s %s\n", iteration, emission, (exported == "" ? "-" : exported),
          displaced, batches, wall }' "$work/out" >>"$work/$label"
}

for _ in $(seq "$pairs"); do
  run without "$@"
  run with "$@" --export "$work/run.h5"
done

median() {  # median COLUMN FILE
  cut -d' ' -f"$1" "$2" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
printf 'medians of %s runs each: %s\n' "$pairs" "$*"
printf '%-16s %12s %12s %12s %12s %10s %10s\n' "" "iteration ms" "emission ms" "export ms" \
  "displaced %" "batches" "wall ms"
for label in without with; do
  printf '%-16s %12s %12s %12s %12s %10s %10s\n' "$label --export" "$(median 1 "$work/$label")" \
    "$(median 2 "$work/$label")" "$(median 3 "$work/$label")" "$(median 4 "$work/$label")" \
    "$(median 5 "$work/$label")" "$(median 6 "$work/$label")"
done
