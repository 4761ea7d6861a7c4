"""A batch's manifest: one JSON object a line (JSON Lines), appended as clips finish.

Each row goes to the end of the file in one write of the whole line (the file is opened with
O_APPEND) and is flushed to disk before the next, so a batch killed at any moment leaves every
finished row intact and at most one torn last line. Readers skip a line that does not end in a
newline or does not parse; the next writer first ends such a line, so its rows start on a line
of their own. The file is never rewritten: a clip run again gets a new row, and the last row of
an output is the one that counts. Every line is UTF-8: the bytes of a file name that are not
(surrogateescape's stand-ins in a Python str) are written as \\xNN, as text() shows them.

    pandas.read_json("out/manifest.jsonl", lines=True)   # reads it too (no torn line there)
"""

import fcntl
import json
import os

NAME = "manifest.jsonl"


def text(value):
    """`value` (a str) as valid Unicode: the stand-ins (U+DC80 to U+DCFF) that surrogateescape
    puts for the bytes of a file name that are not UTF-8 become \\xNN. Other values unchanged."""
    if not isinstance(value, str):
        return value
    try:
        value.encode("utf-8")
        return value
    except UnicodeEncodeError:
        pass
    try:
        return value.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # a surrogate that no file name gives: \uXXXX
        return value.encode("utf-8", "backslashreplace").decode("utf-8")


class ManifestBusy(RuntimeError):
    """Another batch appends to the same manifest now."""


class ManifestWriter:
    """Appends rows to the manifest at `path`, created if missing.

    Holds an exclusive flock on it while open, so that a second batch on the same folder is
    refused (ManifestBusy) instead of doing every clip a second time. Where the file system has
    no flock (ENOLCK), nothing is known of other batches and it goes on.
    """

    def __init__(self, path):
        created = not os.path.exists(path)
        self._fd = os.open(path, os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(self._fd)
            raise ManifestBusy(f"another batch is writing '{path}' now") from None
        except OSError:
            pass
        if created:  # the file's name must survive a crash as well as its rows
            directory = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY)
            try:
                os.fsync(directory)
            finally:
                os.close(directory)
        size = os.fstat(self._fd).st_size
        if size > 0 and os.pread(self._fd, 1, size - 1) != b"\n":
            self._write(b"\n")  # ends a torn line left by a killed batch

    def append(self, row):
        """Writes one row (a dict of JSON values) as one line and syncs it to disk."""
        row = {key: text(value) for key, value in row.items()}
        line = json.dumps(row, ensure_ascii=False, separators=(",", ":")) + "\n"
        self._write(line.encode("utf-8"))

    def _write(self, data):
        view = memoryview(data)
        while view:  # one write for a line, unless the disk is nearly full
            view = view[os.write(self._fd, view):]
        os.fsync(self._fd)

    def close(self):
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def read_rows(path):
    """Every complete row of the manifest at `path`, in file order; [] when it is missing."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    rows = []
    for line in data.split(b"\n")[:-1]:  # the part after the last newline is torn
        try:
            row = json.loads(line.decode("utf-8"))
        except ValueError:  # UnicodeDecodeError included
            continue  # a torn line, ended by a later batch
        if isinstance(row, dict):
            rows.append(row)
    return rows


def last_rows(rows):
    """The last row of each output (path relative to the output folder)."""
    return {row["output"]: row for row in rows if isinstance(row.get("output"), str)}
