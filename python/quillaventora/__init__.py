"""The Quillaventora retina in Python: step frames, get the canvas, gains and events as NumPy.

A Session is the program's own session (the C++ one that retina-demo and retina-replay run),
stepped one frame at a time::

    import quillaventora as qv
    with qv.Session() as session:                   # deterministic, default parameters
        for frame in qv.read_frames("clip.avi"):    # H x W x 3 uint8 BGR
            r = session.step(frame)
            r.canvas, r.gains, r.events             # NumPy arrays

Records are structured arrays: events have the fields t (float64, seconds), src, dst (int32),
weight (float32, gain x activation) and kind (uint8: PHOTORECEPTOR 0, KONIO_INPUT 2,
KONIO_OUTPUT 3, FRAME_MARKER 99), in the layout of the C++ events (fields in memory order, as
np.save wants them), so that they are handed over without a copy. to_tonic and to_xytp
convert them for event-vision tools; read_export reads a retina-replay --export file into the
same arrays, as it is used; export_clip writes one as the command line does.
"""

import collections.abc
import os

from ._quillaventora import (
    COLOR_CLASSES,
    EVENT_DTYPE,
    FRAME_MARKER,
    KONIO_INPUT,
    KONIO_OUTPUT,
    PHOTORECEPTOR,
    RETINA_DTYPE,
    FrameReader,
    InputEndedEarly,
    Parameters,
    ParameterSection,
    Session,
    StepResult,
    __version__,
)
from ._quillaventora import _TimedCppSession  # noqa: F401 (bench/python_step.py)
from .events import POLARITY_CODES, TONIC_POLARITIES, EventsOffPicture, to_tonic, to_xytp
from .export_reader import FRAME_DTYPE, Export, read_export
from .export_writer import ExportError, ExportResult, export_clip

# A Parameters reads as a mapping of 'section.key' to value (dict(p), isinstance checks).
collections.abc.Mapping.register(Parameters)

__all__ = [
    "COLOR_CLASSES", "EVENT_DTYPE", "FRAME_DTYPE", "FRAME_MARKER", "KONIO_INPUT", "KONIO_OUTPUT",
    "PHOTORECEPTOR", "POLARITY_CODES", "RETINA_DTYPE", "TONIC_POLARITIES", "EventsOffPicture",
    "Export", "ExportError", "ExportResult", "FrameReader", "InputEndedEarly", "Parameters",
    "ParameterSection", "Session", "StepResult", "export_clip", "read_export", "read_frames",
    "to_tonic", "to_xytp",
]


def read_frames(path, limit=None, source="auto"):
    """Frames of a video, an image sequence or a still image, as retina-replay decodes them.

    Parameters
    ----------
    path : str or os.PathLike
        A video (or anything OpenCV's VideoCapture opens), an image sequence pattern such as
        'img_%03d.png', or a still image.
    limit : int or None
        At most this many frames (1 or more); None: until the input ends.
    source : {'auto', 'video', 'image'}
        'auto': an image when an image decoder recognises the file, else a video.

    Returns
    -------
    FrameReader
        Iterate over it for H x W x 3 uint8 BGR arrays, each owning its pixels. A still image
        gives one frame (step it again to repeat it, as retina-replay --image does).

    Raises
    ------
    ValueError
        A file that cannot be read, with retina-replay's message; limit below 1; another source.
    TypeError
        A limit that is not a whole number.

    Warns
    -----
    InputEndedEarly
        When the input ends before its known end (a clip that stops decoding, an image sequence
        with a gap), once, at the end: where (the first missing frame) and why. The frames before
        it are given as usual.
    """
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int)):
        raise TypeError(f"limit must be a whole number or None, not {type(limit).__name__}")
    return FrameReader(os.fspath(path), limit, source)


