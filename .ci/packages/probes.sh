# shellcheck shell=bash disable=SC2034,SC2154 # sets and reads the caller's variables
# Sourced by .ci/packages/install: whether what each Debian package of the
# lists gives is here, asked of the thing itself (a command, a compiler that
# builds C++20, CMake's own find result, a Python module), so that a tool
# installed another way (pip, a source build, /opt, another distribution)
# counts as present whatever dpkg says. A package with no probe below is asked
# of dpkg, or, without dpkg, of a command of its name.
#
# The caller sets probe_dir (an empty scratch folder) and lists_dir.

# Debian package, probe, Fedora (dnf) name, Homebrew name, what it gives.
# Probes: cmake-version (at least the presets' version), cxx20, ninja,
# command:NAME[,NAME...] (any of them), cmake:KEY (the CMake search in
# probe/CMakeLists.txt), python:MODULE (imported by the tests' interpreter).
# Names: = the Debian one, - nothing to install there (part of another
# package), pip:NAME through pip.
probe_table='
cmake              cmake-version           =                       =                 CMake
ninja-build        ninja                   =                       ninja             Ninja
g++                cxx20                   gcc-c++                 gcc               a C++20 compiler
libgtest-dev       cmake:GTest             gtest-devel             googletest        GoogleTest
libbenchmark-dev   cmake:benchmark         google-benchmark-devel  google-benchmark  Google Benchmark
pkg-config         command:pkg-config,pkgconf pkgconf-pkg-config   pkgconf           pkg-config
libhwy-dev         cmake:HWY               highway-devel           highway           Highway
libpng-dev         cmake:PNG               libpng-devel            libpng            libpng
libopenexr-dev     cmake:OpenEXR           openexr-devel           openexr           OpenEXR
openexr            command:exrheader       =                       openexr           exrheader (OpenEXR tools)
python3-dev        cmake:Python3           python3-devel           python            Python 3 development files
python3-numpy      python:numpy            =                       numpy             numpy
python3-pytest     python:pytest           =                       pip:pytest        pytest
pybind11-dev       cmake:pybind11          pybind11-devel          pybind11          pybind11
python3-venv       python:ensurepip        -                       -                 venv with ensurepip
python3-pip        python:pip              =                       -                 pip
python3-setuptools python:setuptools       =                       python-setuptools setuptools
python3-wheel      python:wheel            =                       pip:wheel         wheel
python3-dask       python:dask.array       =                       pip:dask          Dask
'

declare -A probe_status=()
probe_notes=()
cmake_needed=""
tests_python=""
cmake_search=""

# package_info PACKAGE: sets info_probe, info_dnf, info_brew and info_what.
package_info() {
  local row
  row=$(awk -v p="$1" '$1 == p { $1 = ""; print; exit }' <<<"$probe_table")
  if [ -n "$row" ]; then
    read -r info_probe info_dnf info_brew info_what <<<"$row"
  elif command -v dpkg >/dev/null; then
    info_probe=dpkg:$1 info_dnf='=' info_brew='=' info_what=$1
  else
    info_probe=command:$1 info_dnf='=' info_brew='=' info_what=$1
  fi
  [ "$info_probe" = cmake-version ] && info_what="CMake $(cmake_version_needed) or newer"
  return 0
}

# The CMake version the presets ask for (cmakeMinimumRequired).
cmake_version_needed() {
  if [ -z "$cmake_needed" ]; then
    cmake_needed=$(awk '/"cmakeMinimumRequired"/ { inside = 1 }
      inside && /"major"/ { gsub(/[^0-9]/, ""); major = $0 }
      inside && /"minor"/ { gsub(/[^0-9]/, ""); minor = $0 }
      inside && /}/ { print major "." minor; exit }' "$lists_dir/../../CMakePresets.json" 2>/dev/null)
    [ -n "$cmake_needed" ] || cmake_needed=3.25
  fi
  printf '%s' "$cmake_needed"
}

# version_at_least HAVE NEED, each as MAJOR.MINOR[.PATCH...].
version_at_least() {
  local i have need h n
  IFS=. read -ra h <<<"$1"
  IFS=. read -ra n <<<"$2"
  for i in 0 1 2; do
    have=${h[i]:-0} need=${n[i]:-0}
    have=${have%%[!0-9]*} need=${need%%[!0-9]*}
    ((10#${have:-0} > 10#${need:-0})) && return 0
    ((10#${have:-0} < 10#${need:-0})) && return 1
  done
  return 0
}

note() { probe_notes+=("$*"); }

# Each probe returns 0 when the thing is here, 1 when it is missing (a package
# gives it), 2 when it is here but unusable, with a note saying why and what
# cures it (a package would not).

probe_cmake_version() {
  local path version needed
  needed=$(cmake_version_needed)
  path=$(command -v cmake) || return 1
  version=$(cmake --version 2>/dev/null | sed -n '1s/^cmake[0-9]* version \([0-9][0-9.]*\).*/\1/p')
  if [ -z "$version" ]; then
    note "$path does not say its version (cmake --version); the presets need CMake $needed or newer"
    return 2
  fi
  version_at_least "$version" "$needed" && return 0
  note "cmake $version ($path) is older than the CMake $needed the presets need:" \
    "install a newer one (python3 -m pip install --user cmake, then ~/.local/bin first on PATH;" \
    "brew install cmake; or your system's newer package), or build without presets (docs/building.md)"
  return 2
}

# The compiler CMake would take: $CXX (which may carry flags), else the first
# of c++, g++, clang++. std::bit_cast and std::span are what the library uses
# of C++20 (GCC 11, Clang 14).
probe_cxx20() {
  local -a compiler=()
  local name
  if [ -n "${CXX:-}" ]; then
    read -ra compiler <<<"$CXX"
    if ! command -v "${compiler[0]}" >/dev/null; then
      note "CXX=$CXX: ${compiler[0]} is not found; set CXX to a C++20 compiler or unset it"
      return 2
    fi
  else
    for name in c++ g++ clang++; do
      if command -v "$name" >/dev/null; then
        compiler=("$name")
        break
      fi
    done
    [ ${#compiler[@]} -gt 0 ] || return 1
  fi
  cat >"$probe_dir/cxx20.cpp" <<'EOF'
#include <bit>
#include <cstdint>
#include <span>
int main() {
  const double values[] = {0.0};
  std::span<const double> view(values);
  return static_cast<int>(std::bit_cast<std::uint64_t>(view[0]));
}
EOF
  if "${compiler[@]}" -std=c++20 -o "$probe_dir/cxx20" "$probe_dir/cxx20.cpp" \
    >"$probe_dir/cxx20.log" 2>&1 && "$probe_dir/cxx20"; then
    return 0
  fi
  # The compiler's own first error says whether it is too old or broken
  # (no assembler, no C++ library), which the advice alone cannot.
  local said
  said=$(grep -m 1 -i 'error' "$probe_dir/cxx20.log" || head -n 1 "$probe_dir/cxx20.log")
  note "${compiler[*]} ($(command -v "${compiler[0]}")) cannot build a C++20 program with" \
    "std::bit_cast and std::span${said:+ (it says: $said)}: set CXX to GCC 11, Clang 14 or newer," \
    "or repair its installation"
  return 2
}

probe_commands() {
  local IFS=, name
  for name in $1; do
    command -v "$name" >/dev/null && return 0
  done
  return 1
}

probe_dpkg() {
  # A name installed for several architectures is ambiguous to dpkg -s
  # unless it names the host's. A name that already names one (pkg:arm64)
  # is simply missing when dpkg does not know it: adding the host's
  # architecture to it would make an invalid name, which dpkg answers with
  # status 2, and that would read as "unusable".
  dpkg -s "$1" >/dev/null 2>&1 && return 0
  [[ $1 != *:* ]] || return 1
  dpkg -s "$1:$(dpkg --print-architecture)" >/dev/null 2>&1 || return 1
}

# The interpreter the build takes for the Python package and its tests: the
# first of python3 and /usr/bin/python3 that imports numpy, else python3;
# "none" without one. Sets tests_python.
tests_interpreter() {
  if [ -z "$tests_python" ]; then
    local candidate
    tests_python=none
    for candidate in python3 /usr/bin/python3; do
      if "$candidate" -c 'import numpy' >/dev/null 2>&1; then
        tests_python=$("$candidate" -c 'import sys; print(sys.executable)')
        break
      fi
    done
    [ "$tests_python" != none ] || tests_python=$(command -v python3 || echo none)
  fi
}

probe_python() {
  tests_interpreter
  [ "$tests_python" != none ] || return 1
  # One import per process: setuptools' distutils shim breaks after pip's.
  "$tests_python" -c "import $1" >/dev/null 2>&1
}

# probe/CMakeLists.txt, configured once with the compiler, CMake and Ninja
# found above: each "lighting-probe: KEY found|missing" line is CMake's own
# answer, with the versions the build asks for.
probe_cmake_search() {
  local tool
  if [ -z "$cmake_search" ]; then
    for tool in cmake-version ninja cxx20; do
      if ! run_probe "$tool"; then
        cmake_search=unchecked
        break
      fi
    done
  fi
  if [ -z "$cmake_search" ]; then
    local -a python=()
    tests_interpreter
    [ "$tests_python" = none ] || python=("-DPython3_EXECUTABLE=$tests_python")
    cmake -S "$lists_dir/probe" -B "$probe_dir/cmake" -G Ninja "${python[@]}" \
      >"$probe_dir/cmake.log" 2>&1
    if grep -q '^lighting-probe: done$' "$probe_dir/cmake.log"; then
      cmake_search=$(grep '^lighting-probe: ' "$probe_dir/cmake.log")
    else
      cmake_search=failed
      note "CMake's search for the libraries failed; its last lines:" \
        "$(tail -n 5 "$probe_dir/cmake.log" | tr '\n' ' ')"
    fi
  fi
  case $cmake_search in
    unchecked) return 3 ;;
    failed) return 2 ;;
  esac
  grep -qx "lighting-probe: $1 found" <<<"$cmake_search"
}

# run_probe PROBE: the probe's status, each probe run once.
run_probe() {
  if [ -z "${probe_status[$1]:-}" ]; then
    local status=0
    case $1 in
      cmake-version) probe_cmake_version || status=$? ;;
      cxx20) probe_cxx20 || status=$? ;;
      ninja) probe_commands ninja,ninja-build,samu || status=$? ;;
      command:*) probe_commands "${1#command:}" || status=$? ;;
      cmake:*) probe_cmake_search "${1#cmake:}" || status=$? ;;
      python:*) probe_python "${1#python:}" || status=$? ;;
      dpkg:*) probe_dpkg "${1#dpkg:}" || status=$? ;;
      *) echo "probes: unknown probe '$1'" >&2 && return 2 ;;
    esac
    probe_status[$1]=$status
  fi
  return "${probe_status[$1]}"
}

# Forget every answer, for a second look after installing.
reset_probes() {
  probe_status=()
  probe_notes=()
  tests_python=""
  cmake_search=""
  rm -rf "${probe_dir:?}"/*
}
