#!/usr/bin/env bash
# The README's Python example on a short export, as `cmake --install` installs it: it loads the
# run, says how many frames and events it found (the export's own counts), and writes a PNG
# figure. Skips (77) only when Debian's python3-h5py, python3-numpy or python3-matplotlib is
# missing; scripts/test.sh installs them.
# Usage: export_example.sh RETINA_REPLAY CMAKE BUILD_DIR
set -u
program=$1
cmake=$2
build=$3
python=/usr/bin/python3

if ! "$python" -c 'import h5py, numpy, matplotlib' 2>/dev/null; then
  echo "skipped: $python cannot import h5py, numpy and matplotlib" \
    "(apt-get install python3-h5py python3-numpy python3-matplotlib)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

"$cmake" --install "$build" --component doc --prefix "$work/prefix" >"$work/install.out" 2>&1 ||
  { cat "$work/install.out"; fail "cmake --install failed"; }
example=$(find "$work/prefix" -name plot_export.py -perm -u+x 2>/dev/null | head -n1)
[ -n "$example" ] || { cat "$work/install.out"; fail "cmake --install installs no plot_export.py"; }
echo "installed as ${example#"$work/prefix/"}"

"$program" --headless --deterministic --frames 12 --size 320x180 --export "$work/run.h5" \
  --export-gains >"$work/replay.out" 2>&1 || { cat "$work/replay.out"; fail "retina-replay failed"; }
events=$(sed -n 's/.*events pushed per frame: .*, total \([0-9]*\)$/\1/p' "$work/replay.out")
[ -n "$events" ] || fail "no event total in the summary"

"$python" "$example" "$work/run.h5" "$work/figure.png" >"$work/example.out" 2>&1 ||
  { cat "$work/example.out"; fail "the example failed"; }
grep -q "^$work/figure.png: 12 frames, $events events," "$work/example.out" ||
  { cat "$work/example.out"; fail "the example did not report 12 frames and $events events"; }
[ "$(head -c 8 "$work/figure.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
  fail "figure.png is not a PNG file"
[ "$(stat -c %s "$work/figure.png")" -gt 20000 ] || fail "figure.png is too small to hold the plots"

# Without --export-gains there is nothing to draw the gains from: a message, not a traceback.
"$program" --headless --deterministic --frames 3 --size 320x180 --export "$work/plain.h5" \
  >/dev/null 2>&1 || fail "retina-replay failed without --export-gains"
if "$python" "$example" "$work/plain.h5" "$work/plain.png" >"$work/plain.out" 2>&1; then
  fail "the example drew a run without gains"
fi
grep -q -- "--export-gains" "$work/plain.out" || { cat "$work/plain.out"; fail "no hint at --export-gains"; }
[ ! -e "$work/plain.png" ] || fail "a figure was written without gains"
echo "the example drew 12 frames and $events events"
