#!/usr/bin/env bash
# The module as a user installs it from a clone. `pip install --no-build-isolation .` into a fresh
# venv that sees Debian's NumPy, h5py and distributed; then, outside the source tree, the venv's
# module must be the installed one and step three frames of a clip to the canvases and events of
# this build's module (BUILD/python), bit for bit. `python3 -m build --no-isolation --wheel` must
# make a wheel holding the compiled part and every Python file of the package.
# Usage: bash tests/pip_install.sh BUILD (a configured and built tree, build/test say)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/$1
clip=/usr/share/doc/opencv-doc/examples/data/vtest.avi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
# No index: everything comes from Debian's packages. Each build is bounded, as a hung one would be.
timeout 1200 "$work/venv/bin/python3" -m pip install --quiet --no-build-isolation --no-index . \
  >"$work/pip.log" 2>&1 || { cat "$work/pip.log"; exit 1; }

step='
import hashlib, sys, quillaventora as qv
digest = hashlib.sha256()
with qv.Session() as session:
    for frame in qv.read_frames(sys.argv[1], limit=3):
        r = session.step(frame)
        digest.update(r.canvas.tobytes())
        digest.update(r.events.tobytes())
print(qv.__file__, digest.hexdigest())
'
cd "$work"
read -r installed_file installed < <("$work/venv/bin/python3" -c "$step" "$clip")
read -r _ built < <(PYTHONPATH="$build/python" /usr/bin/python3 -c "$step" "$clip")
cd "$root"
echo "pip install: $installed_file, three frames $installed"
case "$installed_file" in
  "$work/venv/"*) ;;
  *) echo "  expected the module installed in the venv $work/venv"; fail=1 ;;
esac
if [ "$installed" != "$built" ]; then
  echo "  expected the canvases and events of $build/python's module: $built"; fail=1
fi

timeout 600 /usr/bin/python3 -m build --no-isolation --wheel --outdir "$work/dist" . \
  >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
wheel=$(ls "$work"/dist/quillaventora-*.whl)
/usr/bin/python3 -m zipfile -l "$wheel" | awk 'NR > 1 {print $1}' >"$work/files"
echo "wheel: $(basename "$wheel"), $(wc -l <"$work/files") files"
for file in 'quillaventora/_quillaventora\.cpython-.*\.so' $(cd python && ls quillaventora/*.py); do
  if ! grep -qx "$file" "$work/files"; then echo "  missing from the wheel: $file"; fail=1; fi
done
exit "$fail"
