"""Builds quillaventora's compiled part, _quillaventora, with the project's own CMake, for the
interpreter that runs this (a venv's too), and puts it beside the pure-Python package that
pyproject.toml names. Its CMake tree, build/pip/temp.*/cmake, is kept between builds."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
BUILD = ROOT / "build" / "pip"  # beside the CMake trees that build/ holds already


def project_version():
    """The version in CMakeLists.txt's project(), the one the module reports."""
    cmake_lists = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(\w+ VERSION ([0-9.]+)", cmake_lists).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        tree = pathlib.Path(self.build_temp).resolve() / "cmake"
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        # Release, as docs/install.md installs; no tests: only the module's target is built.
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tree), "-DCMAKE_BUILD_TYPE=Release",
                        "-DRETINA_BUILD_TESTS=OFF", "-DRETINA_REQUIRE_PYTHON=ON",
                        f"-DPython3_EXECUTABLE={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", str(tree), "--target", "_quillaventora",
                        "--parallel", jobs], check=True)
        built = tree / "python" / "quillaventora" / os.path.basename(self.get_ext_filename(
            ext.name))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


BUILD.mkdir(parents=True, exist_ok=True)
setup(
    version=project_version(),
    ext_modules=[Extension("quillaventora._quillaventora", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": str(BUILD)}, "egg_info": {"egg_base": str(BUILD)}},
)
