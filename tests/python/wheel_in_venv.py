"""Builds the wheel as a user would and runs the Python suite from it.

In a copy of the sources (so that the checkout gets no build files), runs
    python3 -m pip wheel --no-build-isolation --no-deps -w dist .
checks that it wrote dist/lighting-<version>-*.whl for the CMake project's
version, installs that wheel into a fresh
    python3 -m venv --system-site-packages
with pip install --no-deps, checks that lighting and lighting.portable are
imported from the venv, and runs the pytest suite with the venv's python.
Nothing is fetched: pip runs with PIP_NO_INDEX.

The wheel must carry what it needs: ldd on the installed module resolves
every library outside the base system (Highway) inside the installed
package, and the package imports and computes with the system's copies
hidden: bound over by /dev/null in a mount namespace (unshare -rm) where the
system allows one, and otherwise with every mapped library checked.

Usage: wheel_in_venv.py SOURCE_DIR WORK_DIR VERSION
"""

import glob
import os
import re
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

    check_self_contained(python, work, environment)

    environment["LIGHTING_GOLDEN_VECTORS"] = os.path.join(copy, "tests", "golden", "vectors.txt")
    environment["LIGHTING_PORTABLE_GOLDEN_VECTORS"] = os.path.join(copy, "tests", "golden", "vectors_portable.txt")
    run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", os.path.join(copy, "tests", "python")],
        cwd=work, env=environment)


# The libraries a wheel may take from the system: glibc's and the C++ and
# GCC runtimes.
BASE_SYSTEM = re.compile(
    r"^(linux-vdso|linux-gate|ld-linux[-\w]*|libc|libm|libdl|librt|libpthread|libutil|libresolv"
    r"|libstdc\+\+|libgcc_s)\.so(\.\d+)*$"
)

# Checks that the system's copies of the libraries named are out of reach
# when "--hidden" comes first, imports the package, computes the demo's
# energy and prints every mapped file of those libraries, one per line.
IMPORT_AND_LIST = r"""
import ctypes, sys
hidden = sys.argv[1] == "--hidden"
names = sys.argv[2:]
for name in names if hidden else ():
    try:
        ctypes.CDLL(name)
    except OSError:
        pass
    else:
        sys.exit("the system's %s is still visible" % name)
import lighting
energy = lighting.received_energy((1.0, 2.0, 0.0), lighting.PointLight((-1.0, 2.0, 4.0), 1.0, 0.5, 0.5, 5.0))
assert "%f %f %f" % tuple(energy) == "0.250000 0.125000 0.125000", energy
stems = tuple(name.split(".so")[0] + ".so" for name in names)
with open("/proc/self/maps") as maps:
    paths = {line.split(None, 5)[5].strip() for line in maps if len(line.split(None, 5)) == 6}
print("\n".join(sorted(path for path in paths if path.rsplit("/", 1)[-1].startswith(stems))))
"""


def module_path(python, work, environment):
    return subprocess.run(
        [python, "-c", "import lighting._lighting as m; print(m.__file__)"],
        cwd=work, env=environment, check=True, capture_output=True, text=True,
    ).stdout.strip()


def carried_libraries(module):
    """(soname, path) of each library ldd resolves for module outside the base system."""
    listing = subprocess.run(["ldd", module], check=True, capture_output=True, text=True).stdout
    print(listing, flush=True)
    found = re.findall(r"^\s*(\S+)\s+=>\s+(.*?)\s+\(0x", listing, re.MULTILINE)
    return [(name, path) for name, path in found if not BASE_SYSTEM.match(name)]


def system_copies(name):
    """The real files of the system's library name, found where the loader looks."""
    copies = set()
    for folder in ("/lib", "/lib64", "/usr/lib", "/usr/lib64", "/usr/local/lib"):
        for candidate in glob.glob(os.path.join(folder, name)) + glob.glob(os.path.join(folder, "*", name)):
            copies.add(os.path.realpath(candidate))
    return sorted(copies)


def check_self_contained(python, work, environment):
    module = module_path(python, work, environment)
    package = os.path.dirname(os.path.realpath(module)) + os.sep
    carried = carried_libraries(module)
    outside = [(name, path) for name, path in carried if not os.path.realpath(path).startswith(package)]
    if outside:
        sys.exit("the installed module takes %s from outside the package %s" % (outside, package))
    names = [name for name, _ in carried]
    hidden = [copy for name in names for copy in system_copies(name)]
    namespace = shutil.which("unshare") and subprocess.run(
        ["unshare", "-rm", "true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    if namespace and hidden:
        print("hiding the system's %s in a mount namespace" % hidden, flush=True)
        script = "".join("mount --bind /dev/null '%s' && " % copy for copy in hidden)
        command = ["unshare", "-rm", "sh", "-c", script + 'exec "$@"', "sh"]
        command += [python, "-c", IMPORT_AND_LIST, "--hidden", *names]
    else:
        print("no mount namespace here (or nothing to hide): checking every mapped copy", flush=True)
        command = [python, "-c", IMPORT_AND_LIST, "--visible", *names]
    listed = subprocess.run(command, cwd=work, env=environment, capture_output=True, text=True)
    if listed.returncode != 0:
        sys.exit("importing the installed package failed (status %d):\n%s" % (listed.returncode, listed.stderr))
    mapped = listed.stdout
    strays = [path for path in mapped.split() if not os.path.realpath(path).startswith(package)]
    if strays:
        sys.exit("the imported package mapped libraries from outside itself: %s" % strays)
    print("self-contained: %s resolved inside %s" % (names, package), flush=True)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
