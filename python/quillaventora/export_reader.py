"""retina-replay's --export files read back into the module's structured arrays (h5py), each
part read when it is first asked for, so that memory follows what is read, not the file."""

import functools
import numbers
import os

import numpy as np

from ._quillaventora import EVENT_DTYPE, KONIO_OUTPUT, RETINA_DTYPE, Parameters

FRAME_DTYPE = np.dtype([("frame", "<i4"), ("t", "<f8"), ("fovea_cx", "<i4"), ("fovea_cy", "<i4"),
                        ("frame_time_ms", "<i4"), ("events_pushed", "<i8"),
                        ("displaced_total", "<i8"), ("batches_total", "<i8"),
                        ("queue_size", "<i8"), ("sampled_cx", "<i4"), ("sampled_cy", "<i4")])
"""One row of /frames: see the README's table of the export."""

_EVENT_COLUMNS = {name: name for name in ("t", "src", "dst", "kind", "weight")}
_KONIO_COLUMNS = {"t": "t", "src": "unit", "dst": "unit", "weight": "weight"}


def _table(group, dtype, columns=None, rows=slice(None)):
    """A structured array from `rows` of a group of equal-length columns (HDF5 datasets)."""
    columns = columns or {name: name for name in dtype.names}
    first = group[next(iter(columns.values()))]
    table = np.zeros(len(range(*rows.indices(first.shape[0]))), dtype=dtype)
    for field, column in columns.items():
        table[field] = group[column][rows]
    return table


def _first_row_at_least(column, value):
    """The first row of a sorted HDF5 column whose value is >= `value`, reading a few rows."""
    low, high = 0, column.shape[0]
    while low < high:
        middle = (low + high) // 2
        if column[middle] < value:
            low = middle + 1
        else:
            high = middle
    return low


def _plain(value):
    """An HDF5 attribute as a plain Python value: text as str, one number as int or float."""
    if isinstance(value, bytes):
        return value.decode()
    if isinstance(value, np.ndarray) and value.shape == ():
        value = value[()]
    if isinstance(value, np.generic):
        return value.item()
    return value


class Export:
    """One export, open for reading; each part is read from the file when first asked for.

    Use it as a context manager, or call close(), to close the file. Reading a part of a closed
    export raises ValueError; parts read before stay.

    Attributes
    ----------
    frame_count : int
        Frames drawn: rows of /frames. Frames are numbered 1 to frame_count.
    frames : ndarray of FRAME_DTYPE
        One row per frame (its t in seconds, centres in pixels).
    events : ndarray of EVENT_DTYPE
        Every frame's events in order, as Session.step gives them. Read whole: frame_events
        reads one frame's.
    konio_events : ndarray of EVENT_DTYPE
        The Konio outputs (src = dst = the unit, kind KONIO_OUTPUT).
    event_frames, konio_event_frames : ndarray of int32
        Each event's frame number.
    retina : ndarray of RETINA_DTYPE or None
        One row per sensor; None when no frame was drawn.
    retina_scale : float or None
        Pixels per retina unit.
    gains, konio : ndarray of float32 or None
        frame_count x sensors, with --export-gains; else None.
    attrs : dict
        The root attributes (provenance, frame_width, frame_height in pixels, how it ended).
    parameters : Parameters
        The parameters of the run.
    """

    def __init__(self, path):
        import h5py

        self.path = os.fspath(path)
        self._file = h5py.File(self.path, "r")

    def _h5(self):
        if not self._file:
            raise ValueError(f"the export '{self.path}' is closed")
        return self._file

    def dataset(self, name):
        """One dataset of the file, unread.

        Parameters
        ----------
        name : str
            Its path in the file, e.g. ``"events/weight"`` or ``"gains"``.

        Returns
        -------
        h5py.Dataset
            Slicing it reads those rows only (``export.dataset("gains")[9]``: frame 10's).

        Raises
        ------
        KeyError
            When the file has no such dataset.
        """
        return self._h5()[name]

    @functools.cached_property
    def attrs(self):
        return {key: _plain(value) for key, value in self._h5().attrs.items()}

    @functools.cached_property
    def parameters(self):
        return Parameters.from_toml_string(_plain(self._h5()["parameters"].attrs["toml"]))

    @property
    def frame_count(self):
        return self._h5()["frames/frame"].shape[0]

    @functools.cached_property
    def frames(self):
        return _table(self._h5()["frames"], FRAME_DTYPE)

    @functools.cached_property
    def events(self):
        return _table(self._h5()["events"], EVENT_DTYPE, _EVENT_COLUMNS)

    @functools.cached_property
    def event_frames(self):
        return self._h5()["events/frame"][...]

    @functools.cached_property
    def konio_events(self):
        return self._konio_rows(slice(None))

    @functools.cached_property
    def konio_event_frames(self):
        return self._h5()["konio_events/frame"][...]

    @functools.cached_property
    def retina(self):
        group = self._h5()["retina"]
        return _table(group, RETINA_DTYPE) if "index" in group else None

    @functools.cached_property
    def retina_scale(self):
        scale = self._h5()["retina"].attrs.get("retina_scale")
        return None if scale is None else float(scale)

    @functools.cached_property
    def gains(self):
        return self._h5()["gains"][...] if "gains" in self._h5() else None

    @functools.cached_property
    def konio(self):
        return self._h5()["konio"][...] if "konio" in self._h5() else None

    def _konio_rows(self, rows):
        table = _table(self._h5()["konio_events"], EVENT_DTYPE, _KONIO_COLUMNS, rows)
        table["kind"] = KONIO_OUTPUT
        return table

    def _number(self, frame, keyword="frame"):
        """A frame number as the export numbers them (1 = the first), -1 the last."""
        if isinstance(frame, (bool, np.bool_)) or not isinstance(frame, numbers.Integral):
            raise TypeError(f"{keyword} must be a whole number, not {type(frame).__name__}")
        count, number = self.frame_count, int(frame)
        if number < 0:
            number += count + 1
        if not 1 <= number <= count:
            span = f"frames 1 to {count}, or -1 to -{count} from the end" if count else "no frames"
            raise IndexError(f"{keyword} {int(frame)} does not exist: the export has {span}")
        return number

    def frame_range_events(self, first, last):
        """The events and Konio outputs of frames first to last, last included.

        Parameters
        ----------
        first, last : int
            Frame numbers as the export numbers them (1 = the first); as in NumPy, a negative
            number counts from the end (-1 = the last frame).

        Returns
        -------
        (ndarray, ndarray)
            events and konio_events (EVENT_DTYPE) of those frames, in order; empty when last
            comes before first. Only those rows are read from the file.

        Raises
        ------
        IndexError
            For a frame the export does not have (0, or beyond frame_count either way).
        TypeError
            For a frame that is not a whole number (1.5, '2', True).
        """
        return self._rows_of(self._number(first, "first"), self._number(last, "last"))

    def _rows_of(self, first, last):
        """events and konio_events of frames first to last (checked numbers, 1 = the first)."""
        f = self._h5()
        ranges = []
        for column in (f["events/frame"], f["konio_events/frame"]):
            start = _first_row_at_least(column, first)
            ranges.append(slice(start, max(start, _first_row_at_least(column, last + 1))))
        return (_table(f["events"], EVENT_DTYPE, _EVENT_COLUMNS, ranges[0]),
                self._konio_rows(ranges[1]))

    def frame_events(self, frame):
        """One frame's events and Konio outputs, as its Session.step gave them.

        Parameters
        ----------
        frame : int
            The frame's number as the export numbers them (1 = the first); as in NumPy, a
            negative number counts from the end (-1 = the last frame).

        Returns
        -------
        (ndarray, ndarray)
            events and konio_events (EVENT_DTYPE); only the frame's rows are read.

        Raises
        ------
        IndexError
            For a frame the export does not have (0, or beyond frame_count either way).
        TypeError
            For a frame that is not a whole number (1.5, '2', True).
        """
        number = self._number(frame)
        return self._rows_of(number, number)

    def close(self):
        """Closes the file. Safe to call again."""
        self._file.close()

    @property
    def closed(self):
        return not self._file

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
        return False

    def __repr__(self):
        if self.closed:
            return f"Export('{self.path}', closed)"
        f = self._file
        return (f"Export({self.frame_count} frames, {f['events/t'].shape[0]} events, "
                f"{f['konio_events/t'].shape[0]} Konio outputs)")


def read_export(path):
    """Opens a retina-replay --export file (HDF5, through h5py) for reading.

    Parameters
    ----------
    path : str or os.PathLike
        The export.

    Returns
    -------
    Export
        Open on the file: nothing but the file's index is read until a part is asked for.
        Close it (close(), or ``with read_export(path) as export:``) to release the file.

    Raises
    ------
    OSError
        When the file cannot be opened as HDF5.
    """
    return Export(path)
