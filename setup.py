"""Builds the lighting wheel with the project's own CMake build.

The extension lighting._lighting is the CMake target _lighting: setuptools
asks for it, and this script configures the project with only the library
and the Python module switched on, builds that one target and copies it
where setuptools packs it. The compiler flags, the floating-point settings
among them, are CMake's own; nothing here adds any. The version is the one
in the project() call of the root CMakeLists.txt.
"""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent

# Everything but the library and the Python module off: no tests, tools,
# benchmarks or install rules.
CMAKE_OPTIONS = [
    "-DCMAKE_BUILD_TYPE=Release",
    "-DBUILD_TESTING=OFF",
    "-DLIGHTING_BUILD_DEMO=OFF",
    "-DLIGHTING_BUILD_RENDER=OFF",
    "-DLIGHTING_BUILD_BENCHMARKS=OFF",
    "-DLIGHTING_BUILD_FUZZERS=OFF",
    "-DLIGHTING_INSTALL=OFF",
    "-DLIGHTING_BUILD_PYTHON=ON",
]


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"\bproject\(\s*lighting\s+VERSION\s+([0-9]+(?:\.[0-9]+)*)", text)
    if not match:
        raise RuntimeError("no 'project(lighting VERSION x.y.z' in " + str(ROOT / "CMakeLists.txt"))
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, extension):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-DPython3_EXECUTABLE=" + sys.executable]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        subprocess.run(configure + CMAKE_OPTIONS, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_lighting", "--parallel", jobs], check=True)
        built = build_dir / "python" / "lighting" / ("_lighting" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not built.exists():
            raise RuntimeError(f"CMake did not build {built}: is pybind11 (pybind11-dev) installed?")
        target = Path(self.get_ext_fullpath(extension.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(built, target)


# setuptools' own metadata folder goes with its other build files, not into
# the sources.
EGG_BASE = ROOT / "build" / "python-metadata"
EGG_BASE.mkdir(parents=True, exist_ok=True)

setup(
    version=project_version(),
    options={"egg_info": {"egg_base": str(EGG_BASE)}},
    packages=["lighting"],
    package_dir={"": "python"},
    ext_modules=[Extension("lighting._lighting", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
