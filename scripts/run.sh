#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it on camera 0.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh build-essential cmake pkg-config libopencv-dev libhdf5-dev
cmake -S . -B build/run -DCMAKE_BUILD_TYPE=Release -DRETINA_BUILD_TESTS=OFF
cmake --build build/run --target retina-demo -j"$(nproc)"
exec ./build/run/app/retina-demo
