#!/usr/bin/python3
"""Draws one run exported by retina-replay in one figure.

    retina-replay --export run.h5 --export-gains ...
    /usr/bin/python3 docs/plot_export.py run.h5 figure.png

Left, per frame: the events the frame loop pushed and those the queue bound displaced; below,
over the run's time, the mean gain and the share of sensors ringed in red (gain below the run's
drawing.low_gain_threshold, 0.2 by default).
Right: every sensor at its pixel offset from the fovea centre, coloured by its last gain.
Needs Debian's python3-h5py, python3-numpy and python3-matplotlib.
"""

import os
import sys
import tempfile

import h5py
import matplotlib

matplotlib.use("Agg")  # files only: no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

LOW_GAIN = 0.2  # the canvas rings a sensor in red below this gain, unless the run says otherwise
ROWS_PER_READ = 256  # /gains is frames x 30202 floats: read it a block of rows at a time


def save_figure(fig, path):
    """Writes the figure to a hidden temporary file beside `path` and renames it into place:
    `path` is the old file or the whole figure, never part of one."""
    folder, name = os.path.split(os.path.abspath(path))
    kind = os.path.splitext(name)[1][1:] or plt.rcParams["savefig.format"]
    descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as f:
            fig.savefig(f, format=kind)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # as open() would have made it, not mkstemp's 0600
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def gain_curves(gains, low_gain):
    """Mean gain and share of red-ringed sensors per frame, and the last frame's gains."""
    mean = np.empty(gains.shape[0])
    ringed = np.empty(gains.shape[0])
    for start in range(0, gains.shape[0], ROWS_PER_READ):
        block = gains[start:start + ROWS_PER_READ]
        mean[start:start + len(block)] = block.mean(axis=1)
        ringed[start:start + len(block)] = (block < low_gain).mean(axis=1)
    return mean, ringed, gains[-1]


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    path, figure_path = argv[1], argv[2]
    with h5py.File(path, "r") as run:
        if "gains" not in run:
            print(f"{path} has no /gains: export the run with --export-gains", file=sys.stderr)
            return 1
        frames = run["frames"]
        frame = frames["frame"][:]
        pushed = frames["events_pushed"][:]
        # Totals since the start; the first frame's share is its own total.
        displaced = np.diff(frames["displaced_total"][:], prepend=0)
        seconds = frames["t"][:] - frames["t"][0]
        # Exports made before the parameter set was recorded have no /parameters.
        low_gain = LOW_GAIN
        if "parameters" in run:
            low_gain = float(run["parameters"].attrs["drawing.low_gain_threshold"])
        mean_gain, ringed, last_gains = gain_curves(run["gains"], low_gain)
        px, py = run["retina/px"][:], run["retina/py"][:]
        events = run["events/frame"].shape[0]
        title = "{}: {} frames, {}".format(
            os.path.basename(run.attrs["input"]), len(frame),
            "deterministic" if run.attrs["deterministic"] else "live")

    fig = plt.figure(figsize=(11, 5.2), dpi=80, layout="constrained")
    grid = fig.add_gridspec(2, 2, width_ratios=[1.25, 1])
    per_frame = fig.add_subplot(grid[0, 0])
    per_frame.plot(frame, pushed, label="events pushed", color="tab:blue")
    per_frame.plot(frame, displaced, label="displaced by the queue bound", color="tab:orange")
    per_frame.set_xlabel("frame")
    per_frame.set_ylabel("events per frame")
    per_frame.legend(loc="lower right", fontsize="small")

    over_time = fig.add_subplot(grid[1, 0])
    over_time.plot(seconds, mean_gain, label="mean gain", color="tab:green")
    over_time.plot(seconds, ringed, label=f"share ringed red (gain < {low_gain:g})",
                   color="tab:red")
    over_time.set_xlabel("time since the first frame (s)")
    over_time.set_ylim(0, 1.02)
    over_time.legend(loc="center right", fontsize="small")

    retina = fig.add_subplot(grid[:, 1])
    order = np.argsort(-last_gains)  # low gains drawn last, on top
    dots = retina.scatter(px[order], py[order], c=last_gains[order], s=1.5, cmap="viridis",
                          vmin=0, vmax=1, linewidths=0)
    retina.set_aspect("equal")
    retina.invert_yaxis()  # pixel rows grow downward, as on the canvas
    retina.set_xlabel("x offset from the fovea centre (px)")
    retina.set_ylabel("y offset (px)")
    retina.set_title("last frame's gains", fontsize="medium")
    fig.colorbar(dots, ax=retina, shrink=0.8, label="gain")
    fig.suptitle(title)
    save_figure(fig, figure_path)
    print(f"{figure_path}: {len(frame)} frames, {events} events, "
          f"last mean gain {mean_gain[-1]:.3f}, last share ringed {ringed[-1]:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
