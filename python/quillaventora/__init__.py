"""The Quillaventora retina in Python: step frames, get the canvas, gains and events as NumPy.

A Session is the program's own session (the C++ one that retina-demo and retina-replay run),
stepped one frame at a time::

    import quillaventora as qv
    with qv.Session() as session:                   # deterministic, default parameters
        for frame in qv.read_frames("clip.avi"):    # H x W x 3 uint8 BGR
            r = session.step(frame)
            r.canvas, r.gains, r.events             # NumPy arrays

Records are structured arrays: events have the fields t (float64, seconds), src, dst (int32),
kind (uint8: PHOTORECEPTOR 0, KONIO_INPUT 2, KONIO_OUTPUT 3, FRAME_MARKER 99) and weight
(float32, gain x activation), in the layout of the C++ events, so that they are handed over
without a copy. to_tonic and to_xytp convert them for event-vision tools; read_export reads a
retina-replay --export file into the same arrays; export_clip writes one as the command line
does.
"""

import os
import threading
from dataclasses import dataclass

from ._quillaventora import (
    EVENT_DTYPE,
    FRAME_MARKER,
    KONIO_INPUT,
    KONIO_OUTPUT,
    PHOTORECEPTOR,
    RETINA_DTYPE,
    FrameReader,
    Parameters,
    ParameterSection,
    Session,
    StepResult,
    __version__,
)
from ._quillaventora import _TimedCppSession, _export_clip, _input_kind
from .events import POLARITY_CODES, TONIC_POLARITIES, to_tonic, to_xytp
from .export import FRAME_DTYPE, Export, read_export

COLOR_CLASSES = ("albastru", "rosu", "verde", "alb_negru")
"""color_class v is COLOR_CLASSES[v]: the blue, red, green and grey (mean of the three) sensors."""

__all__ = [
    "COLOR_CLASSES", "EVENT_DTYPE", "FRAME_DTYPE", "FRAME_MARKER", "KONIO_INPUT", "KONIO_OUTPUT",
    "PHOTORECEPTOR", "POLARITY_CODES", "RETINA_DTYPE", "TONIC_POLARITIES", "Export",
    "ExportError", "ExportResult", "FrameReader", "Parameters", "ParameterSection", "Session",
    "StepResult", "export_clip", "read_export", "read_frames", "to_tonic", "to_xytp",
]


def read_frames(path, limit=None, source="auto"):
    """Frames of a video, an image sequence or a still image, as retina-replay decodes them.

    Returns a FrameReader: iterate over it for H x W x 3 uint8 BGR arrays, each owning its
    pixels. A still image gives one frame (step it again to repeat it, as retina-replay
    --image does). limit: at most this many frames. source: 'auto' (an image when an image
    decoder recognises the file, else a video), 'video' or 'image'. A file that cannot be read
    raises ValueError with retina-replay's message.
    """
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int)):
        raise TypeError(f"limit must be a whole number or None, not {type(limit).__name__}")
    return FrameReader(os.fspath(path), limit, source)


class ExportError(RuntimeError):
    """retina-replay refused the run (status 2) or could not complete an output (status 1).

    status: its exit status; stdout, stderr: what it printed. The message is its own.
    """

    def __init__(self, status, stdout, stderr):
        lines = [line.removeprefix("retina-replay: ") for line in stderr.splitlines() if line]
        super().__init__("; ".join(lines) or f"retina-replay ended with status {status}")
        self.status = status
        self.stdout = stdout
        self.stderr = stderr


@dataclass(frozen=True)
class ExportResult:
    """What export_clip wrote: the file, frames drawn, rows of /events and /konio_events."""

    path: str
    frames: int
    events: int
    konio_events: int
    stdout: str
    stderr: str


def export_clip(input, output, *, parameters=None, frames=None, fovea=None, fovea_path=None,
                export_gains=False, stats=None, source="auto", writer_thread=True):
    """Writes the export of one clip exactly as the command line would.

    Runs, in this process, ``retina-replay --deterministic --headless --video INPUT --export
    OUTPUT`` (``--image`` for a still image, see read_frames' source) with ``--frames``,
    ``--config`` (parameters given as a file's path), ``--fovea``, ``--fovea-path``,
    ``--export-gains`` and ``--stats`` as given: the same options, checks, messages and file
    rules, the same file, value for value. parameters may also be a Parameters object; the
    export then records them without a file. The GIL is released while it runs.

    writer_thread: True (as retina-replay) compresses and writes the export on a thread of its
    own beside the frame loop, which shortens one clip's wall time by using a second core;
    False writes each frame's rows on the calling thread right after the frame, so that the clip
    keeps to one thread (a batch with one single-threaded worker per core). The file is the
    same either way.

    Returns an ExportResult. Raises ValueError for a bad argument, ExportError when the run is
    refused (status 2: nothing written) or an output fails (status 1). Ctrl-C in the main
    thread ends the run as SIGINT ends retina-replay (the export is completed, recording how it
    ended) and then raises KeyboardInterrupt.
    """
    input, output = os.fspath(input), os.fspath(output)
    kind = _input_kind(input, source)  # checks source as read_frames does
    arguments = ["--deterministic", "--headless", f"--{kind}", input, "--export", output]
    given = None
    if isinstance(parameters, Parameters):
        given = parameters
    elif parameters is not None:
        arguments += ["--config", os.fspath(parameters)]
    if frames is not None:
        if isinstance(frames, bool) or not isinstance(frames, int):
            raise TypeError(f"frames must be a whole number or None, not {type(frames).__name__}")
        arguments += ["--frames", str(frames)]
    if fovea is not None:
        arguments += ["--fovea", fovea]
    if fovea_path is not None:
        arguments += ["--fovea-path", os.fspath(fovea_path)]
    if export_gains:
        arguments.append("--export-gains")
    if stats is not None:
        arguments += ["--stats", os.fspath(stats)]
    in_main = threading.current_thread() is threading.main_thread()
    status, drawn, stdout, stderr = _export_clip(arguments, given, in_main, bool(writer_thread))
    if status != 0:
        raise ExportError(status, stdout, stderr)
    import h5py
    with h5py.File(output, "r") as f:
        return ExportResult(output, drawn, f["events/t"].shape[0], f["konio_events/t"].shape[0],
                            stdout, stderr)

