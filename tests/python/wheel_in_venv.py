"""Builds the wheel as a user would and runs the Python suite from it.

In a copy of the sources (so that the checkout gets no build files), runs
    python3 -m pip wheel --no-build-isolation --no-deps -w dist .
checks that it wrote dist/lighting-<version>-*.whl for the CMake project's
version, installs that wheel into a fresh
    python3 -m venv --system-site-packages
with pip install --no-deps, checks that lighting and lighting.portable are
imported from the venv, and runs the pytest suite with the venv's python.
Nothing is fetched: pip runs with PIP_NO_INDEX.

Usage: wheel_in_venv.py SOURCE_DIR WORK_DIR VERSION
"""

import glob
import os
import shutil
import subprocess
import sys


def run(command, **options):
    print("+", " ".join(command), flush=True)
    subprocess.run(command, check=True, **options)


def main(source, work, version):
    shutil.rmtree(work, ignore_errors=True)
    copy = os.path.join(work, "source")
    shutil.copytree(
        source,
        copy,
        ignore=shutil.ignore_patterns("build*", "dist", "out", ".git", "__pycache__", "*.egg-info"),
    )
    environment = dict(os.environ, PIP_NO_INDEX="1", PYTHONDONTWRITEBYTECODE="1")
    environment.pop("PYTHONPATH", None)  # only the venv's own packages
    environment.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")

    run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-w", "dist", "."],
        cwd=copy, env=environment)
    wheels = glob.glob(os.path.join(copy, "dist", "*.whl"))
    names = [os.path.basename(wheel) for wheel in wheels]
    if len(wheels) != 1 or not names[0].startswith("lighting-%s-" % version):
        sys.exit("expected one dist/lighting-%s-*.whl, found %s" % (version, names))

    venv = os.path.join(work, "venv")
    run([sys.executable, "-m", "venv", "--system-site-packages", venv])
    python = os.path.join(venv, "bin", "python")
    run([python, "-m", "pip", "install", "--no-deps", wheels[0]], env=environment)

    where = subprocess.run(
        [python, "-c", "import lighting, lighting.portable; print(lighting.__file__); print(lighting.portable.__file__)"],
        cwd=work, env=environment, check=True, capture_output=True, text=True,
    ).stdout.split()
    if not all(path.startswith(os.path.realpath(venv) + os.sep) or path.startswith(venv + os.sep) for path in where):
        sys.exit("lighting was not imported from the venv: %s" % where)

    environment["LIGHTING_GOLDEN_VECTORS"] = os.path.join(copy, "tests", "golden", "vectors.txt")
    environment["LIGHTING_PORTABLE_GOLDEN_VECTORS"] = os.path.join(copy, "tests", "golden", "vectors_portable.txt")
    run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", os.path.join(copy, "tests", "python")],
        cwd=work, env=environment)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
