#!/usr/bin/python3
"""What stepping from Python costs over the C++ session and the command line, per frame.

Three sessions of the same configuration (deterministic, default parameters: 30202 sensors)
step the same 1280x720 crop of opencv-doc's aloeL.jpg (the crop retina-bench uses) in turn,
frame by frame, so that all go through the same states: the C++ one through the module's
_TimedCppSession, timed in C++ around the session runner's step (the frame handed over and
each frame's events taken, no Python object made), and two through Session.step, timed in
Python around the call: one with the results owning their arrays (the default, copy=True),
one with views of the session's buffers (copy=False). All run after 5 frames of warm-up, as
retina-bench's do. Printed: the medians, and the median of the per-frame differences from the
C++ step; once with event collection (the default) and once without, which also gives what
collecting costs. Then the command line's frame: retina-replay --deterministic --headless runs
the same crop (written as a PPM file) with --stats, and its median real_frame_ms (the whole
frame, the model step included; reading a still image costs nothing) is set against a Session
stepping alone, as retina-replay does (no other session sharing the caches), with views and
with owned arrays: without --export against events=False, with --export (the command line then
collects every frame's events) against events=True. Each takes its turn three times and prints
its lowest median: on a machine shared with other work, the run the others disturbed least.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_step.py [--frames N] [--replay PATH]
"""

import argparse
import csv
import os
import pathlib
import statistics
import subprocess
import tempfile
import time

import numpy as np

import quillaventora as qv

PHOTO = "/usr/share/doc/opencv-doc/examples/data/aloeL.jpg"
WARM_UP = 5


def bench_frame(width=1280, height=720):
    photo = next(iter(qv.read_frames(PHOTO)))
    top, left = (photo.shape[0] - height) // 2, (photo.shape[1] - width) // 2
    return np.ascontiguousarray(photo[top:top + height, left:left + width])


def measure(frame, frames, events):
    """ms per frame: the C++ step's, and Session.step's with owned arrays and with views."""
    cpp = qv._TimedCppSession(events=events)
    sessions = {copy: qv.Session(events=events) for copy in (True, False)}
    times = {"C++": [], True: [], False: []}
    clock = time.perf_counter
    for number in range(WARM_UP + frames):
        seconds = {"C++": cpp.step(frame)}
        for copy, session in sessions.items():
            start = clock()
            result = session.step(frame, copy=copy)
            seconds[copy] = clock() - start
            del result  # a loop that lets each result go, as most do
        if number >= WARM_UP:
            for key, value in seconds.items():
                times[key].append(value * 1e3)
    for session in sessions.values():
        session.close()
    return times


def alone_ms(frame, frames, copy, events):
    """The median ms of Session.step with no other session stepping beside it."""
    session, spent = qv.Session(events=events), []
    for _ in range(WARM_UP + frames):
        start = time.perf_counter()
        result = session.step(frame, copy=copy)
        spent.append((time.perf_counter() - start) * 1e3)
        del result
    session.close()
    return statistics.median(spent[WARM_UP:])


def replay_frame_ms(replay, frame, frames, export):
    """The median real_frame_ms of retina-replay --deterministic on `frame`, warm-up left out."""
    with tempfile.TemporaryDirectory() as folder:
        photo, stats = pathlib.Path(folder, "crop.ppm"), pathlib.Path(folder, "stats.csv")
        header = f"P6\n{frame.shape[1]} {frame.shape[0]}\n255\n".encode()
        photo.write_bytes(header + np.ascontiguousarray(frame[..., ::-1]).tobytes())  # RGB
        extra = ["--export", str(pathlib.Path(folder, "run.h5"))] if export else []
        subprocess.run([replay, "--deterministic", "--headless", "--image", str(photo),
                        "--frames", str(WARM_UP + frames), "--stats", str(stats), *extra],
                       check=True, stdout=subprocess.DEVNULL, timeout=600)
        with open(stats, newline="") as lines:
            rows = csv.DictReader(line for line in lines if not line.startswith("#"))
            spent = [float(row["real_frame_ms"]) for row in rows]
    return statistics.median(spent[WARM_UP:])


def compare_with_replay(replay, frame, frames):
    """Lowest of three turns: the command line's frame and Session.step alone, per events."""
    for events in (False, True):
        turns = [(replay_frame_ms(replay, frame, frames, events),
                  alone_ms(frame, frames, False, events), alone_ms(frame, frames, True, events))
                 for _ in range(3)]
        cli, views, owned = (min(column) for column in zip(*turns))
        print(f"retina-replay{' --export' if events else '':<10}{cli:>7.3f}   Session.step "
              f"alone, events {'on ' if events else 'off'}: views {views:.3f} "
              f"({views - cli:+.3f}), owned {owned:.3f} ({owned - cli:+.3f})")


def default_replay():
    """retina-replay of the build whose package is imported (build/python/quillaventora)."""
    build = pathlib.Path(qv.__file__).resolve().parents[2]
    return os.environ.get("RETINA_REPLAY", str(build / "apps" / "replay" / "retina-replay"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=1000, help="frames measured (1000)")
    parser.add_argument("--replay", default=default_replay(),
                        help="retina-replay to compare with (default: the same build's)")
    args = parser.parse_args()
    frame = bench_frame()
    print(f"{frame.shape[1]}x{frame.shape[0]} crop of {PHOTO}, {qv.Parameters().sensor_count} "
          f"sensors, deterministic, {args.frames} frames after {WARM_UP} of warm-up; "
          "ms per frame")
    print(f"{'events':<8}{'C++':>8}{'owned':>8}{'views':>8}"
          f"{'owned - C++':>13}{'views - C++':>13}")
    medians = {}
    for events in (True, False):
        times = measure(frame, args.frames, events)
        medians[events] = {key: statistics.median(value) for key, value in times.items()}
        diff = {copy: statistics.median(p - c for c, p in zip(times["C++"], times[copy]))
                for copy in (True, False)}
        m = medians[events]
        print(f"{'on' if events else 'off':<8}{m['C++']:>8.3f}{m[True]:>8.3f}{m[False]:>8.3f}"
              f"{diff[True]:>13.4f}{diff[False]:>13.4f}")
    print(f"collecting events costs the C++ step {medians[True]['C++'] - medians[False]['C++']:.3f}"
          " ms per frame (median with, less median without)")
    print("the command line's own frame on the same crop (median real_frame_ms), lowest of 3:")
    compare_with_replay(args.replay, frame, args.frames)


if __name__ == "__main__":
    main()
