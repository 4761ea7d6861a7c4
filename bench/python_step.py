#!/usr/bin/python3
"""What stepping from Python costs over the C++ session, per frame.

Two sessions of the same configuration (deterministic, default parameters: 30202 sensors) step
the same 1280x720 crop of opencv-doc's aloeL.jpg (the crop retina-bench uses) in turn, frame by
frame, so that both go through the same states: the C++ one through the module's
_TimedCppSession, timed in C++ around the session runner's step (the frame handed over and
each frame's events taken, no Python object made), the Python one through Session.step, timed
in Python around the call, its arrays views (no copies). Both run after 5 frames of warm-up,
as retina-bench's do. Printed: the medians, and the median of the per-frame differences; once
with event collection (the default) and once without, which also gives what collecting costs.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_step.py [--frames N]
"""

import argparse
import statistics
import time

import numpy as np

import quillaventora as qv

PHOTO = "/usr/share/doc/opencv-doc/examples/data/aloeL.jpg"


def bench_frame(width=1280, height=720):
    photo = next(iter(qv.read_frames(PHOTO)))
    top, left = (photo.shape[0] - height) // 2, (photo.shape[1] - width) // 2
    return np.ascontiguousarray(photo[top:top + height, left:left + width])


def measure(frame, frames, events):
    cpp = qv._TimedCppSession(events=events)
    session = qv.Session(events=events)
    for _ in range(5):
        cpp.step(frame)
        result = session.step(frame)
    cpp_ms, py_ms = [], []
    clock = time.perf_counter
    for _ in range(frames):
        cpp_ms.append(cpp.step(frame) * 1e3)
        start = clock()
        result = session.step(frame)
        py_ms.append((clock() - start) * 1e3)
    session.close()
    del result
    return cpp_ms, py_ms


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=1000, help="frames measured (1000)")
    args = parser.parse_args()
    frame = bench_frame()
    print(f"{frame.shape[1]}x{frame.shape[0]} crop of {PHOTO}, {qv.Parameters().sensor_count} "
          f"sensors, deterministic, {args.frames} frames after 5 of warm-up; ms per frame")
    print(f"{'events':<8}{'C++ median':>12}{'Python median':>15}{'difference':>12}"
          f"{'(mean)':>10}")
    medians = {}
    for events in (True, False):
        cpp, py = measure(frame, args.frames, events)
        diff = [p - c for c, p in zip(cpp, py)]
        medians[events] = statistics.median(cpp)
        print(f"{'on' if events else 'off':<8}{statistics.median(cpp):>12.3f}"
              f"{statistics.median(py):>15.3f}{statistics.median(diff):>12.4f}"
              f"{statistics.mean(diff):>10.4f}")
    print(f"collecting events costs the C++ step {medians[True] - medians[False]:.3f} ms "
          "per frame (median with, less median without)")


if __name__ == "__main__":
    main()
