#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it on camera 0. Without a camera it
# shows the retina on retina-replay's built-in synthetic scene instead; without an X display it
# runs headless and writes a snapshot, whose path it prints.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh build-essential cmake pkg-config libopencv-dev libhdf5-dev \
  libtomlplusplus-dev libcli11-dev libxcb1-dev
cmake -S . -B build/run -DCMAKE_BUILD_TYPE=Release -DRETINA_BUILD_TESTS=OFF
cmake --build build/run --target retina-demo retina-replay -j"$(nproc)"
demo=build/run/apps/demo/retina-demo
replay=build/run/apps/replay/retina-replay

# Whether a window can open here: an X server answers at $DISPLAY. The window toolkit aborts the
# program without one, so retina-replay asks the server first.
x_display_answers() {
  "$replay" --check-display 2>/dev/null
}

# One frame from camera 0 proves it; retina-replay says why not otherwise.
source=(--camera 0)
if camera_problem=$("$replay" --headless --camera 0 --frames 1 2>&1 >/dev/null); then
  if x_display_answers; then
    exec "$demo"
  fi
  echo "Camera 0 works, but no X display answers here for the window."
else
  echo "No camera: ${camera_problem#retina-replay: }."
  echo "The retina runs on retina-replay's built-in synthetic scene instead."
  source=()
  if x_display_answers; then
    echo "In its window: r recentres the fovea; ESC or the window's close button ends it."
    exec "$replay" --frames 1000000
  fi
  echo "No X display answers here for a window either."
fi

snapshot=$PWD/build/run/retina-snapshot.png
echo "Running 150 frames headless and writing the last one to a snapshot."
"$replay" --headless ${source[@]+"${source[@]}"} --frames 150 --snapshot "150:$snapshot"
echo "Snapshot of the retina: $snapshot"
