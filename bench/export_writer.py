"""Whether the export's writer thread pays: replays a clip into an export in this process, in
alternating rounds, once writing on the frame loop's own thread and once on a writer thread, and
prints the medians of the wall time, the CPU time of all threads and the peak resident memory
growth per run.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/export_writer.py [ROUNDS] [FRAMES]

Peak memory is read from the process's high-water mark (VmHWM), reset before each run, so the
figure is what that run added on top of the module itself.
"""

import os
import statistics
import sys
import tempfile
import time

import quillaventora as qv

DATA = "/usr/share/doc/opencv-doc/examples/data"


def resident_peak_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def reset_peak():
    # Writing 5 to clear_refs resets VmHWM to the current resident size (Linux 4.0 and later).
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


def one_run(clip, output, frames, gains, thread):
    reset_peak()
    before = resident_peak_kib()
    wall, cpu = time.perf_counter(), time.process_time()
    qv.export_clip(clip, output, frames=frames, export_gains=gains, writer_thread=thread)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    os.unlink(output)
    return wall, cpu, (resident_peak_kib() - before) / 1024


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    frames = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    clip = os.path.join(DATA, "Megamind.avi")
    print(f"{clip}, {frames} frames, {rounds} alternating rounds, medians; {os.cpu_count()} cores")
    print("gains  writer        wall s   cpu s   peak growth MiB")
    with tempfile.TemporaryDirectory() as work:
        output = os.path.join(work, "run.h5")
        one_run(clip, output, 10, True, True)  # warm-up: the module's and HDF5's first use
        for gains in (False, True):
            runs = {False: [], True: []}
            for _ in range(rounds):
                for thread in (False, True):
                    runs[thread].append(one_run(clip, output, frames, gains, thread))
            for thread in (False, True):
                wall, cpu, peak = (statistics.median(r[i] for r in runs[thread]) for i in range(3))
                name = "thread" if thread else "caller"
                print(f"{'with' if gains else 'none':5}  {name:12}  {wall:6.3f}  {cpu:6.3f}"
                      f"   {peak:7.1f}")


if __name__ == "__main__":
    main()
