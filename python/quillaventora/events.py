"""Events in the layouts that event-vision tools read, without depending on them.

to_tonic gives the layout of Tonic's datasets of non-grid sensors (the spiking-audio ones):
fields x (the sensor), t (microseconds), p, with sensor_size = (N, 1, P). to_xytp gives the
pixel-addressed x, y, t, p of camera event files, each sensor at its pixel around the fovea
centre of the event's frame.

Polarity: these events have no ON/OFF sign. With polarity="code" (the default), p is an int8
that says what sent the event (POLARITY_CODES): for a photoreceptor event the colour class of
its sensor, 0 albastru (blue), 1 rosu (red), 2 verde (green), 3 alb_negru (grey); 4 for a Konio
input, 5 for a Konio output; so P = TONIC_POLARITIES = 6. With polarity="bool", p is True for
every event and P = 1. Frame markers (kind 99, no sensor) are left out.
"""

import numpy as np

from ._quillaventora import FRAME_MARKER, KONIO_INPUT, KONIO_OUTPUT, PHOTORECEPTOR

POLARITY_CODES = {"albastru": 0, "rosu": 1, "verde": 2, "alb_negru": 3, "konio_input": 4,
                  "konio_output": 5}
TONIC_POLARITIES = 6


def _sensor_events(events, retina):
    """The events that come from a sensor or Konio unit (frame markers left out)."""
    kinds = events["kind"]
    known = np.isin(kinds, (PHOTORECEPTOR, KONIO_INPUT, KONIO_OUTPUT, FRAME_MARKER))
    if not known.all():
        raise ValueError(f"unknown event kind {int(kinds[~known][0])}")
    events = events[kinds != FRAME_MARKER]
    src = events["src"]
    if src.size and (src.min() < 0 or src.max() >= len(retina)):
        raise ValueError(f"an event's src lies outside the retina's {len(retina)} sensors")
    return events


def _polarity(events, retina, polarity):
    if polarity == "bool":
        return np.ones(len(events), dtype=bool)
    if polarity != "code":
        raise ValueError(f"polarity must be 'code' or 'bool', not {polarity!r}")
    codes = retina["color_class"][events["src"]].astype(np.int8)
    codes[events["kind"] == KONIO_INPUT] = POLARITY_CODES["konio_input"]
    codes[events["kind"] == KONIO_OUTPUT] = POLARITY_CODES["konio_output"]
    return codes


def _microseconds(seconds):
    return np.rint(np.asarray(seconds, dtype=np.float64) * 1e6).astype(np.int64)


def to_tonic(events, retina, polarity="code"):
    """Events as Tonic's non-grid datasets hold them: x, t, p.

    events: structured array with t, src, kind (a StepResult's events or konio_events, or
    read_export's); retina: Session.retina or Export.retina. Returns a structured array with x
    (the sensor's index: int16, or int32 for a retina of more than 32767 sensors), t (int64,
    microseconds, rounded to the nearest) and p (see the module's note on polarity), in the
    events' order. Use it with sensor_size = (len(retina), 1, TONIC_POLARITIES), or
    (len(retina), 1, 1) with polarity="bool".
    """
    events = _sensor_events(events, retina)
    index = np.int16 if len(retina) <= np.iinfo(np.int16).max else np.int32
    p = _polarity(events, retina, polarity)
    out = np.empty(len(events), dtype=[("x", index), ("t", np.int64), ("p", p.dtype)])
    out["x"] = events["src"]
    out["t"] = _microseconds(events["t"])
    out["p"] = p
    return out


def to_xytp(events, retina, frames, polarity="code", size=None):
    """Events as a camera's event file holds them: x, y (uint16 pixels), t (int64 µs), p.

    Each event is placed at its sensor's pixel around the fovea centre of its frame: frames is
    either (cx, cy), the centre of the frame the events came from (StepResult.center), or a
    structured array with t, fovea_cx and fovea_cy, one row per frame in time order (an
    Export's frames, say); an event then belongs to the last frame whose t is not after its
    own. Events whose pixel lies outside the picture are left out: left of or above it always,
    and right of or below size = (width, height) when given. t and p as in to_tonic; the tonic
    sensor_size is (width, height, TONIC_POLARITIES).
    """
    events = _sensor_events(events, retina)
    if isinstance(frames, np.ndarray) and frames.dtype.names:
        row = np.searchsorted(frames["t"], events["t"], side="right") - 1
        if (row < 0).any():
            raise ValueError("an event is older than the first frame in frames")
        cx = frames["fovea_cx"][row].astype(np.int64)
        cy = frames["fovea_cy"][row].astype(np.int64)
    else:
        cx, cy = (int(v) for v in frames)
    src = events["src"]
    x = cx + retina["px"][src].astype(np.int64)
    y = cy + retina["py"][src].astype(np.int64)
    inside = (x >= 0) & (y >= 0)
    if size is not None:
        inside &= (x < size[0]) & (y < size[1])
    if inside.any() and max(x[inside].max(), y[inside].max()) > np.iinfo(np.uint16).max:
        raise ValueError("a pixel lies beyond 65535: give size to leave it out")
    p = _polarity(events, retina, polarity)[inside]
    out = np.empty(int(inside.sum()),
                   dtype=[("x", np.uint16), ("y", np.uint16), ("t", np.int64), ("p", p.dtype)])
    out["x"] = x[inside]
    out["y"] = y[inside]
    out["t"] = _microseconds(events["t"][inside])
    out["p"] = p
    return out
