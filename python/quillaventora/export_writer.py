"""Writing a clip's export in this process, through the run library: export_clip, its result
and its error."""

import os
import threading
from dataclasses import dataclass

import numpy as np

from ._quillaventora import _export_clip, _input_kind


class ExportError(RuntimeError):
    """export_clip refused the run (status 2: nothing written) or could not complete an output
    (status 1).

    status: 2 or 1, as retina-replay's exit status would be. The message says why.
    """

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


@dataclass(frozen=True)
class ExportResult:
    """What export_clip wrote.

    Attributes
    ----------
    path : str
        The export.
    frames : int
        Frames drawn.
    events, konio_events : int
        Rows of /events and /konio_events.
    input_ended_early : str
        Why the input ended before its known end; empty when it did not.
    """

    path: str
    frames: int
    events: int
    konio_events: int
    input_ended_early: str = ""


_MOST_FRAMES = 2147483647  # the export numbers frames with 32-bit integers


def _checked_frames(frames):
    if frames is None:
        return 0
    if isinstance(frames, bool) or not isinstance(frames, int):
        raise TypeError(f"frames must be a whole number or None, not {type(frames).__name__}")
    if not 1 <= frames <= _MOST_FRAMES:
        raise ValueError(f"frames must be from 1 to {_MOST_FRAMES}, not {frames}")
    return frames


def _checked_name(keyword, path, suffixes, kind):
    if not str(path).lower().endswith(suffixes) or os.path.basename(path).lower() in suffixes:
        raise ValueError(f"{keyword} must be {kind}'s name ending in {suffixes[0]}, not '{path}'")


def export_clip(input, output, *, parameters=None, frames=None, fovea=None, fovea_path=None,
                export_gains=False, stats=None, source="auto", writer_thread=True):
    """Writes the export of one clip exactly as the command line would.

    The run is ``retina-replay --deterministic --headless --video INPUT --export OUTPUT``'s
    (``--image`` for a still image, see read_frames' source), in this process: the same checks,
    file rules and file, value for value. The GIL is released while it runs.

    Parameters
    ----------
    input : str or os.PathLike
        A video, image sequence pattern or still image.
    output : str or os.PathLike
        The HDF5 file to write, ending in .h5 (or .hdf5); replaced only by a complete file.
    parameters : Parameters, str, os.PathLike or None
        A Parameters, a parameter file's path, or None for the defaults.
    frames : int or None
        Frames to run at most (1 to 2147483647); None: the whole clip, 300 for a still image.
    fovea : {'model', 'fixed'} or None
        Who moves the fovea centre; None: the model.
    fovea_path : str or os.PathLike or None
        A CSV file ``frame,cx,cy`` that moves the centre instead.
    export_gains : bool
        Also write every frame's gains and Konio activity.
    stats : str or os.PathLike or None
        A CSV file of a line per frame, ending in .csv.
    source : {'auto', 'video', 'image'}
        How to read input, as read_frames does.
    writer_thread : bool
        True compresses and writes the export on a thread of its own beside the frame loop
        (shorter wall time for one clip); False writes each frame's rows on the calling thread
        right after the frame, so that the clip keeps to one thread (a batch with one
        single-threaded worker per core). The file is the same either way.

    Returns
    -------
    ExportResult

    Raises
    ------
    TypeError, ValueError
        For a bad argument (frames=0, a bad parameter or fovea path file, an output not ending
        in .h5), before anything runs.
    ExportError
        When the run is refused (status 2: nothing written) or an output fails (status 1).
    KeyboardInterrupt
        Ctrl-C in the main thread ends the run as SIGINT ends retina-replay (the export is
        completed, recording how it ended), then raises.
    """
    for keyword, flag in (("export_gains", export_gains), ("writer_thread", writer_thread)):
        if not isinstance(flag, (bool, np.bool_)):
            raise TypeError(f"{keyword} must be True or False, not {type(flag).__name__}")
    input, output = os.fspath(input), os.fspath(output)
    kind = _input_kind(input, source)  # checks source as read_frames does
    _checked_name("output", output, (".h5", ".hdf5"), "an HDF5 file")
    if stats is not None:
        stats = os.fspath(stats)
        _checked_name("stats", stats, (".csv",), "a CSV file")
    in_main = threading.current_thread() is threading.main_thread()
    outcome, message, drawn, ended_early = _export_clip(
        input, kind == "image", output, parameters, _checked_frames(frames), fovea, fovea_path,
        bool(export_gains), stats, in_main, bool(writer_thread))
    if outcome != "done":
        raise ExportError(message, 2 if outcome == "refused" else 1)
    import h5py
    with h5py.File(output, "r") as f:
        return ExportResult(output, drawn, f["events/t"].shape[0], f["konio_events/t"].shape[0],
                            ended_early)
