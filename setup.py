"""Builds the extension module cellkit._core by running CMake on the project.

The sources are the ones CMakeLists.txt lists, so there is no second list to keep in step.
Needs CMake 3.24 or newer, a C++17 compiler, pybind11 (Debian: pybind11-dev) and the
Python headers (python3-dev). Offline on Debian:

    python3 -m venv --system-site-packages venv
    venv/bin/pip install --no-build-isolation .
"""

import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


def pybind11_location():
    """Where a pip-installed pybind11 keeps its CMake files; Debian's are found by CMake."""
    try:
        import pybind11
    except ImportError:
        return []
    cmake_dir = pybind11.get_cmake_dir()
    return [f"-Dpybind11_DIR={cmake_dir}"] if os.path.isdir(cmake_dir) else []


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target_dir = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = [
            "cmake", "-S", ROOT, "-B", build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPYTHON_EXECUTABLE={sys.executable}",
            f"-DCELLKIT_PYTHON_OUTPUT_DIR={target_dir}",
            # Only the extension module: no host modules, tests or benchmark.
            "-DCELLKIT_PYTHON=ON", "-DCELLKIT_OCTAVE=OFF", "-DCELLKIT_MATLAB=OFF",
            "-DCELLKIT_TESTS=OFF", "-DCELLKIT_BENCH=OFF",
        ]
        configure += pybind11_location()
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(min(os.cpu_count() or 1, 2)))
        subprocess.check_call(configure)
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "_core",
                               "--parallel", jobs])


setup(
    ext_modules=[CMakeExtension("cellkit._core")],
    cmdclass={"build_ext": CMakeBuild},
    # Away from build/, the CMake build folder of ./run.sh.
    options={"build": {"build_base": "build-python"}},
)
