"""Events in the layouts that event-vision tools read, without depending on them.

to_tonic gives the layout of Tonic's datasets of non-grid sensors (the spiking-audio ones):
fields x (the sensor), t (microseconds), p, with sensor_size = (N, 1, P). to_xytp gives the
pixel-addressed x, y, t, p of camera event files, each sensor at the pixel it sampled: around
the centre its frame was sampled around.

Polarity: these events have no ON/OFF sign. With polarity="code" (the default), p is an int8
that says what sent the event (POLARITY_CODES): for a photoreceptor event the colour class of
its sensor, 0 albastru (blue), 1 rosu (red), 2 verde (green), 3 alb_negru (grey); 4 for a Konio
input, 5 for a Konio output; so P = TONIC_POLARITIES = 6. With polarity="bool", p is True for
every event and P = 1. Frame markers (kind 99, no sensor) are left out.
"""

import warnings

import numpy as np

from ._quillaventora import FRAME_MARKER, KONIO_INPUT, KONIO_OUTPUT, PHOTORECEPTOR, StepResult
from .export_reader import Export

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

    Parameters
    ----------
    events : ndarray of EVENT_DTYPE
        A StepResult's events or konio_events, or an Export's (fields t, src, kind used).
    retina : ndarray of RETINA_DTYPE
        Session.retina or Export.retina.
    polarity : {'code', 'bool'}
        'code': p says what sent the event (see the module's note); 'bool': True throughout.

    Returns
    -------
    ndarray
        Structured, fields x (the sensor's index: int16, or int32 for a retina of more than
        32767 sensors), t (int64, microseconds, rounded to the nearest) and p (int8 or bool),
        in the events' order, frame markers left out. Use it with sensor_size = (len(retina),
        1, TONIC_POLARITIES), or (len(retina), 1, 1) with polarity="bool".

    Raises
    ------
    ValueError
        An event of an unknown kind or of a sensor the retina does not have, or another
        polarity.
    """
    events = _sensor_events(events, retina)
    index = np.int16 if len(retina) <= np.iinfo(np.int16).max else np.int32
    p = _polarity(events, retina, polarity)
    out = np.empty(len(events), dtype=[("x", index), ("t", np.int64), ("p", p.dtype)])
    out["x"] = events["src"]
    out["t"] = _microseconds(events["t"])
    out["p"] = p
    return out


class EventsOffPicture(UserWarning):
    """to_xytp left out events whose pixel lies outside the picture.

    count is how many; the message also says of how many and the picture's size. With the
    frame's own sampled centre and size this does not happen for photoreceptor events (a sensor
    off the picture samples nothing and stays silent); it does for Konio outputs of units that
    lie off the picture, and for a centre or size that is not the frame's.
    """

    def __init__(self, message, count):
        super().__init__(message)
        self.count = count


def _centres(events, frames):
    """Each event's sampled centre (cx, cy as int64 arrays or ints) and the picture's
    (width, height) when `frames` knows it."""
    if isinstance(frames, StepResult):
        height, width = frames.canvas.shape[:2]
        cx, cy = frames.sampled_center
        return int(cx), int(cy), (width, height)
    size = None
    if isinstance(frames, Export):
        width, height = frames.attrs.get("frame_width", 0), frames.attrs.get("frame_height", 0)
        size = (int(width), int(height)) if width and height else None
        frames = frames.frames
    if isinstance(frames, np.ndarray) and frames.dtype.names:
        missing = {"t", "sampled_cx", "sampled_cy"} - set(frames.dtype.names)
        if missing:
            raise ValueError(f"frames needs the fields t, sampled_cx and sampled_cy (FRAME_DTYPE); "
                             f"it has no {', '.join(sorted(missing))}")
        row = np.searchsorted(frames["t"], events["t"], side="right") - 1
        if (row < 0).any():
            raise ValueError("an event is older than the first frame in frames")
        return (frames["sampled_cx"][row].astype(np.int64),
                frames["sampled_cy"][row].astype(np.int64), size)
    cx, cy = (int(v) for v in frames)
    return cx, cy, None


def to_xytp(events, retina, frames, polarity="code", size=None):
    """Events as a camera's event file holds them, each at the pixel its sensor sampled.

    Parameters
    ----------
    events : ndarray of EVENT_DTYPE
        A StepResult's events or konio_events, or an Export's (fields t, src, kind used).
    retina : ndarray of RETINA_DTYPE
        Session.retina or Export.retina: each sensor's pixel offset px, py.
    frames : StepResult, Export, ndarray or (int, int)
        Where the events' frames were sampled. A StepResult: its sampled_center, and its
        picture's size. An Export: its frames, and the size in its attributes. A structured
        array with t, sampled_cx and sampled_cy, one row per frame in time order (an Export's
        frames, FRAME_DTYPE): an event belongs to the last frame whose t is not after its own.
        A pair (cx, cy): the sampled centre (pixels) of the frame all the events came from.
    polarity : {'code', 'bool'}
        As in to_tonic.
    size : (int, int) or None
        (width, height) of the picture, pixels. None: the frame's, when frames is a StepResult
        or an Export; otherwise only pixels left of or above the picture are known to be off.

    Returns
    -------
    ndarray
        Structured, fields x, y (uint16, pixels: column and row of the picture), t (int64,
        microseconds, rounded) and p (as to_tonic's), in the events' order; frame markers and
        events off the picture left out. The tonic sensor_size is (width, height,
        TONIC_POLARITIES).

    Raises
    ------
    ValueError
        An event of an unknown kind or sensor, older than the first frame, a pixel beyond
        65535 (give size), or frames without the sampled centre.

    Warns
    -----
    EventsOffPicture
        When events lie off the picture: they are left out, and the warning's count says how
        many.
    """
    events = _sensor_events(events, retina)
    cx, cy, known = _centres(events, frames)
    size = known if size is None else size
    src = events["src"]
    x = cx + retina["px"][src].astype(np.int64)
    y = cy + retina["py"][src].astype(np.int64)
    inside = (x >= 0) & (y >= 0)
    if size is not None:
        inside &= (x < size[0]) & (y < size[1])
    if inside.any() and max(x[inside].max(), y[inside].max()) > np.iinfo(np.uint16).max:
        raise ValueError("a pixel lies beyond 65535: give size to leave it out")
    off = int(len(inside) - inside.sum())
    if off:
        picture = f"the {size[0]}x{size[1]} picture" if size is not None else "the picture"
        warnings.warn(EventsOffPicture(f"{off} of {len(inside)} events lie off {picture}; "
                                       "they are left out", off), stacklevel=2)
    p = _polarity(events, retina, polarity)[inside]
    out = np.empty(int(inside.sum()),
                   dtype=[("x", np.uint16), ("y", np.uint16), ("t", np.int64), ("p", p.dtype)])
    out["x"] = x[inside]
    out["y"] = y[inside]
    out["t"] = _microseconds(events["t"][inside])
    out["p"] = p
    return out
