"""retina-replay's --export files read back into the module's structured arrays (h5py)."""

import numpy as np

from ._quillaventora import EVENT_DTYPE, KONIO_OUTPUT, RETINA_DTYPE, Parameters

FRAME_DTYPE = np.dtype([("frame", "<i4"), ("t", "<f8"), ("fovea_cx", "<i4"), ("fovea_cy", "<i4"),
                        ("frame_time_ms", "<i4"), ("events_pushed", "<i8"),
                        ("displaced_total", "<i8"), ("batches_total", "<i8"),
                        ("queue_size", "<i8"), ("sampled_cx", "<i4"), ("sampled_cy", "<i4")])
"""One row of /frames: see the README's table of the export."""


def _table(group, dtype, columns=None):
    """A structured array from a group of equal-length columns (HDF5 datasets)."""
    columns = columns or {name: name for name in dtype.names}
    rows = len(group[next(iter(columns.values()))]) if columns else 0
    table = np.zeros(rows, dtype=dtype)
    for field, column in columns.items():
        table[field] = group[column][...]
    return table


class Export:
    """One export, read whole into memory.

    events (EVENT_DTYPE, as Session.step's events, every frame's in order), konio_events
    (EVENT_DTYPE: src = dst = the Konio unit, kind 3), frames (FRAME_DTYPE), retina
    (RETINA_DTYPE) and retina_scale (pixels per retina unit); event_frames and
    konio_event_frames: each event's frame number (1 = the first); gains and konio: frames x
    sensors float32 with --export-gains, else None; attrs: the root attributes;
    parameters: the Parameters the run used.
    """

    def __init__(self, path):
        import h5py

        with h5py.File(path, "r") as f:
            self.attrs = {key: _plain(value) for key, value in f.attrs.items()}
            self.parameters = Parameters.from_toml_string(_plain(f["parameters"].attrs["toml"]))
            self.frames = _table(f["frames"], FRAME_DTYPE)
            self.events = _table(f["events"], EVENT_DTYPE,
                                 {name: name for name in ("t", "src", "dst", "kind", "weight")})
            self.event_frames = f["events/frame"][...]
            k = f["konio_events"]
            self.konio_events = _table(k, EVENT_DTYPE,
                                       {"t": "t", "src": "unit", "dst": "unit", "weight": "weight"})
            self.konio_events["kind"] = KONIO_OUTPUT
            self.konio_event_frames = k["frame"][...]
            self.retina = _table(f["retina"], RETINA_DTYPE) if "index" in f["retina"] else None
            scale = f["retina"].attrs.get("retina_scale")
            self.retina_scale = None if scale is None else float(scale)
            self.gains = f["gains"][...] if "gains" in f else None
            self.konio = f["konio"][...] if "konio" in f else None

    def frame_events(self, frame):
        """(events, konio_events) of one frame (1 = the first), as its Session.step gave them."""
        ev = slice(*np.searchsorted(self.event_frames, [frame, frame + 1]))
        ko = slice(*np.searchsorted(self.konio_event_frames, [frame, frame + 1]))
        return self.events[ev], self.konio_events[ko]

    def __repr__(self):
        return (f"Export({len(self.frames)} frames, {len(self.events)} events, "
                f"{len(self.konio_events)} Konio outputs)")


def _plain(value):
    """An HDF5 attribute as a plain Python value: text as str, one number as int or float."""
    if isinstance(value, bytes):
        return value.decode()
    if isinstance(value, np.ndarray) and value.shape == ():
        value = value[()]
    if isinstance(value, np.generic):
        return value.item()
    return value


def read_export(path):
    """Reads a retina-replay --export file (HDF5, through h5py) into an Export."""
    return Export(path)
