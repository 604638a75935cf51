"""Builds the lighting wheel with the project's own CMake build.

The extension lighting._lighting is the CMake target _lighting: setuptools
asks for it, and this script configures the project with only the library
and the Python module switched on, builds that one target and copies it
where setuptools packs it. The compiler flags, the floating-point settings
among them, are CMake's own; nothing here adds any. The version is the one
in the project() call of the root CMakeLists.txt.

The wheel is self-contained: every shared library the module loads that is
not part of the base system (the C and C++ runtimes), Highway's libhwy.so.1
here, is copied into lighting/_libs, which the module's RUNPATH
($ORIGIN/_libs, set by CMake) searches before the system's folders.
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
        bundle_libraries(built, target.parent / BUNDLE_DIR)


# The libraries every Linux system has, which a wheel relies on rather than
# carries: glibc's and the C++ and GCC runtimes.
BASE_SYSTEM = re.compile(
    r"^(linux-vdso|linux-gate|ld-linux[-\w]*|libc|libm|libdl|librt|libpthread|libutil|libresolv"
    r"|libstdc\+\+|libgcc_s)\.so(\.\d+)*$"
)
BUNDLE_DIR = "_libs"


def loaded_libraries(binary):
    """(soname, resolved path) for each library the loader finds for binary."""
    listing = subprocess.run(["ldd", str(binary)], check=True, capture_output=True, text=True).stdout
    found = []
    for line in listing.splitlines():
        match = re.match(r"\s*(\S+)\s+=>\s+(.*?)\s+\(0x", line)
        if not match:
            continue
        if match.group(2) == "not found":
            raise RuntimeError(f"{binary} needs {match.group(1)}, which the loader does not find")
        found.append((match.group(1), match.group(2)))
    return found


def bundle_libraries(module, folder):
    """Copies the libraries the module needs beyond the base system into
    folder, under their sonames, as the module's RUNPATH names them."""
    shutil.rmtree(folder, ignore_errors=True)
    carried = [(name, path) for name, path in loaded_libraries(module) if not BASE_SYSTEM.match(name)]
    for name, path in carried:
        # The module's RUNPATH does not reach a carried library's own needs.
        extra = [need for need, _ in loaded_libraries(path) if not BASE_SYSTEM.match(need)]
        if extra:
            raise RuntimeError(f"{path} itself needs {extra}: carrying those needs their RUNPATH rewritten")
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(os.path.realpath(path), folder / name)
        print(f"lighting: the wheel carries {name} (from {os.path.realpath(path)})", flush=True)


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
