#!/usr/bin/python3
"""Steps the retina over a clip from Python, plots the mean gain and the events per frame, and
converts one frame's events to the layout of Tonic's datasets.

    PYTHONPATH=build/python /usr/bin/python3 docs/python_example.py CLIP FIGURE.png [FRAMES]

Needs the quillaventora module (this build's) and Debian's python3-numpy, python3-matplotlib and
python3-h5py (for plot_export.py beside it, whose save_figure it uses).
"""

import sys

import matplotlib

matplotlib.use("Agg")  # files only: no display needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import quillaventora as qv  # noqa: E402

sys.dont_write_bytecode = True  # no __pycache__ left in docs/ by the import below
from plot_export import save_figure  # noqa: E402  (the figure written whole, then renamed)


def main(clip, figure_path, limit=None):
    mean_gain, pushed, konio_outputs = [], [], []
    tenth = None
    with qv.Session() as session:  # deterministic: the same clip always gives the same run
        for frame in qv.read_frames(clip, limit=limit):
            r = session.step(frame)
            mean_gain.append(r.gains.mean())
            pushed.append(len(r.events))  # the events stay valid as long as they are held
            konio_outputs.append(len(r.konio_events))
            if r.frame == 10:
                tenth = qv.to_tonic(r.events, session.retina)  # x, t (µs), p

    if tenth is None:
        sys.exit(f"{clip}: {len(mean_gain)} frames; the example converts the tenth, so it needs "
                 "at least 10")
    sensor_size = (session.sensor_count, 1, qv.TONIC_POLARITIES)
    print(f"frame 10 as Tonic events: {len(tenth)} of sensor_size {sensor_size}, "
          f"dtype {tenth.dtype}")
    print(tenth[:3])

    frames = np.arange(1, len(mean_gain) + 1)
    fig, (events_axis, gain_axis) = plt.subplots(2, 1, sharex=True, figsize=(7, 4.2), dpi=80,
                                                 layout="constrained")
    events_axis.plot(frames, pushed, label="events pushed (marker included)")
    events_axis.plot(frames, konio_outputs, label="Konio outputs")
    events_axis.set_ylabel("events per frame")
    events_axis.legend(fontsize="small")
    gain_axis.plot(frames, mean_gain, color="tab:green")
    gain_axis.set_ylabel("mean gain")
    gain_axis.set_xlabel("frame")
    fig.suptitle(f"{clip.rsplit('/', 1)[-1]}, stepped from Python")
    save_figure(fig, figure_path)
    print(f"{figure_path}: {len(frames)} frames, {sum(pushed)} events, "
          f"last mean gain {mean_gain[-1]:.3f}")


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) == 4 else None)
