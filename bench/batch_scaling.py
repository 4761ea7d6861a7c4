"""What a batch gains from a second local worker, and what each clip costs beyond its replay.

Makes 8 clips (copies of opencv-doc's Megamind.avi and vtest.avi), then, in rounds, replays each
in this process with export_clip as a batch task does, the export written on the frame loop's
thread (the replay itself: decode, retina, export, rename), and runs the batch command on all of
them with one and with two local workers, 150 frames a clip. Prints the medians over the rounds:

- clips per second with one and two workers, from the batch's own time (first task submitted to
  last row written, as its summary line says), and their ratio, next to what the cores allow:
  the CPU time over the wall time of the in-process replays says how many cores one clip keeps
  busy (the decoder may use threads of its own);
- the per-clip overhead: one worker's batch time per clip less the clip's in-process replay time
  (what the task's start, the worker's module import, the result's trip, the read-back checksum
  and the manifest row add), and the command's fixed cost (cluster start and stop).

    PYTHONPATH=build/release/python /usr/bin/python3 bench/batch_scaling.py [ROUNDS]
"""

import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import quillaventora as qv

DATA = "/usr/share/doc/opencv-doc/examples/data"
CLIPS, FRAMES = 8, 150


def batch(folder, out, workers):
    """(batch seconds, command seconds) of one run of the command."""
    shutil.rmtree(out, ignore_errors=True)
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "quillaventora.batch", folder, "--out", out,
                           "--frames", str(FRAMES), "--workers", str(workers)],
                          capture_output=True, text=True, check=True)
    whole = time.perf_counter() - start
    seconds = float(re.search(r"of \d+ clips in ([0-9.]+) s", done.stdout).group(1))
    return seconds, whole


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)  # every thread of this process
    return usage.ru_utime + usage.ru_stime


def in_process(clips, out):
    """(wall, CPU) seconds of export_clip over the clips, in this process."""
    start, cpu = time.perf_counter(), cpu_seconds()
    for path in clips:
        qv.export_clip(path, os.path.join(out, "clip.h5"), frames=FRAMES, writer_thread=False)
    return time.perf_counter() - start, cpu_seconds() - cpu


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with tempfile.TemporaryDirectory() as work:
        folder = os.path.join(work, "clips")
        os.mkdir(folder)
        clips = []
        for i in range(CLIPS):
            source = ("Megamind.avi", "vtest.avi")[i % 2]
            clips.append(os.path.join(folder, f"clip{i}-{source}"))
            shutil.copy(os.path.join(DATA, source), clips[-1])
        replay, cpu, one, two, one_whole, two_whole = [], [], [], [], [], []
        in_process(clips[:2], work)  # warm-up: the module, h5py, the file cache
        for _ in range(rounds):
            wall, used = in_process(clips, work)
            replay.append(wall)
            cpu.append(used)
            s, w = batch(folder, os.path.join(work, "out1"), 1)
            one.append(s)
            one_whole.append(w)
            s, w = batch(folder, os.path.join(work, "out2"), 2)
            two.append(s)
            two_whole.append(w)
    m = statistics.median
    print(f"{CLIPS} clips of {FRAMES} frames (Megamind.avi, vtest.avi), {rounds} rounds, "
          f"medians; {os.cpu_count()} cores")
    cores = m(cpu) / m(replay)
    print(f"in-process replay (export_clip, writer_thread=False): {m(replay) / CLIPS:.3f} s per "
          f"clip, using {cores:.2f} cores (CPU time of all its threads / wall time)")
    print(f"1 worker:  batch {m(one):.2f} s = {CLIPS / m(one):.2f} clips/s; command "
          f"{m(one_whole):.2f} s")
    print(f"2 workers: batch {m(two):.2f} s = {CLIPS / m(two):.2f} clips/s; command "
          f"{m(two_whole):.2f} s")
    print(f"speed-up of 2 workers over 1: {m(one) / m(two):.2f} x (target at least 1.7; "
          f"a clip alone keeps {cores:.2f} of {os.cpu_count()} cores busy, so two workers "
          f"can gain at most {min(2.0, os.cpu_count() / cores):.2f} x here)")
    overhead = [(o - r) / CLIPS for o, r in zip(one, replay)]
    print(f"per-clip overhead, 1 worker's batch time per clip less the in-process replay per "
          f"clip (same round): {m(overhead):.3f} s (target at most 0.3; rounds: "
          f"{', '.join(f'{x:.3f}' for x in overhead)})")
    print(f"fixed cost of the command (start, cluster start and stop), 1 worker: "
          f"{m(one_whole) - m(one):.2f} s")


if __name__ == "__main__":
    main()
