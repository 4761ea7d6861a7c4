"""Shared by the module's tests: the retina-replay to compare with and the clips of opencv-doc.

ctest runs them with PYTHONPATH at the build's python/ folder and RETINA_REPLAY set; by hand:
PYTHONPATH=build/dev/python RETINA_REPLAY=build/dev/apps/replay/retina-replay \
  /usr/bin/python3 -m pytest -q tests/python
"""

import os
import pathlib
import subprocess

import h5py
import pytest

DATA = pathlib.Path("/usr/share/doc/opencv-doc/examples/data")
TIMEOUT = 120  # seconds, for any one command


@pytest.fixture(scope="session")
def replay():
    path = os.environ.get("RETINA_REPLAY")
    if not path or not os.access(path, os.X_OK):
        pytest.fail("set RETINA_REPLAY to the retina-replay program of the same build")
    return path


def clip(name):
    """A file of Debian's opencv-doc examples; the test is skipped without it."""
    path = DATA / name
    if not path.exists():
        pytest.skip(f"{path} is missing (Debian package opencv-doc)")
    return str(path)


def run_replay(replay, *args):
    """Runs retina-replay --deterministic --headless with `args`; fails the test with its errors."""
    done = subprocess.run([replay, "--deterministic", "--headless", *map(str, args)],
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr


def contents(path, attributes=True):
    """Every dataset of an HDF5 file by name, read whole, and every attribute as NAME@KEY
    (the root's as /@KEY) unless `attributes` is False."""
    found = {}
    with h5py.File(path, "r") as f:
        if attributes:
            found.update({f"/@{k}": v for k, v in f.attrs.items()})

        def visit(name, item):
            if attributes:
                found.update({f"{name}@{k}": v for k, v in item.attrs.items()})
            if isinstance(item, h5py.Dataset):
                found[name] = item[...]
        f.visititems(visit)
    return found
