#!/usr/bin/env bash
# Installs what is missing, checks the C++ files' formatting, then builds and runs every test: a
# normal build with warnings as errors (with the 10000-frame soak and the Python module's tests),
# the module installed with pip into a fresh venv and built as a wheel, the whole suite again
# under AddressSanitizer + UndefinedBehaviorSanitizer (without the soak), the threaded tests under
# ThreadSanitizer, the replay under Valgrind, and a short libFuzzer run of the frame loop, each in
# its own build directory. Any failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh build-essential cmake pkg-config libopencv-dev libgtest-dev \
  libbenchmark-dev xvfb xdotool imagemagick opencv-doc valgrind clang libclang-rt-14-dev \
  libhdf5-dev libtomlplusplus-dev libcli11-dev libxcb1-dev python3-h5py python3-numpy \
  python3-matplotlib python3-dev python3-pytest pybind11-dev python3-distributed clang-format \
  python3-venv python3-pip python3-setuptools python3-wheel python3-build python3-pandas

jobs=$(nproc)
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

section() { printf '\n=== %s ===\n' "$1"; }

section "Formatting: clang-format over every C++ file"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "formatted"

section "Build and test (warnings are errors)"
# The benchmark is built, not run. The Python module must be built here, where its tests run: a
# missing pybind11 or NumPy fails the configure rather than dropping them.
cmake -S . -B build/test -DRETINA_WERROR=ON -DRETINA_BUILD_BENCH=ON -DRETINA_REQUIRE_PYTHON=ON
cmake --build build/test -j"$jobs"
ctest --test-dir build/test --output-on-failure -j"$jobs"

section "pip: the module installed from this clone into a fresh venv, and its wheel"
bash tests/pip_install.sh build/test

# The sanitizer and fuzzer builds leave the Python module out (CMakeLists.txt says why); its tests
# run in the build above.
section "AddressSanitizer + UndefinedBehaviorSanitizer: every test"
cmake -S . -B build/asan -DRETINA_WERROR=ON -DRETINA_SANITIZER=address
cmake --build build/asan -j"$jobs"
# The soak is left out: ASan's quarantine grows resident memory by design.
ctest --test-dir build/asan --output-on-failure -j"$jobs" -LE soak

section "ThreadSanitizer: the threaded tests"
cmake -S . -B build/tsan -DRETINA_WERROR=ON -DRETINA_SANITIZER=thread
cmake --build build/tsan -j"$jobs" --target threaded_tests
ctest --test-dir build/tsan --output-on-failure -L threaded

section "Valgrind: 30 replay frames, no definite leak, no invalid access"
# Prints "no errors", or "skipped: ..." where Valgrind cannot emulate an instruction that a system
# library uses on this CPU (libhwy's RDTSCP on some AVX-512 EPYC machines); fails on anything else.
bash scripts/valgrind-step.sh build/test/apps/replay/retina-replay --headless --frames 30 >/dev/null

section "libFuzzer: the frame loop on fuzzed frames and keys for 30 s"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DRETINA_BUILD_FUZZ=ON -DRETINA_BUILD_TESTS=OFF
cmake --build build/fuzz -j"$jobs" --target fuzz_frame_loop
rm -rf build/fuzz/corpus && mkdir -p build/fuzz/corpus
if ! build/fuzz/fuzz/fuzz_frame_loop -max_total_time=30 -artifact_prefix=build/fuzz/ \
  build/fuzz/corpus >build/fuzz/fuzz.log 2>&1; then
  tail -n 80 build/fuzz/fuzz.log
  exit 1
fi
grep -E '^#[0-9]+[[:space:]]+DONE' build/fuzz/fuzz.log

section "All tests passed"
