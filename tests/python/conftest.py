"""Shared by the module's tests: the retina-replay to compare with and the clips of opencv-doc.

ctest runs them with PYTHONPATH at the build's python/ folder and RETINA_REPLAY set; by hand:
PYTHONPATH=build/dev/python RETINA_REPLAY=build/dev/tools/replay/retina-replay \
  /usr/bin/python3 -m pytest -q tests/python
"""

import os
import pathlib

import pytest

DATA = pathlib.Path("/usr/share/doc/opencv-doc/examples/data")


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
