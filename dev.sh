#!/bin/bash
# The two commands of a fresh checkout:
#   ./dev.sh demo   build the demo and run it (needs a C++20 compiler, CMake and Ninja)
#   ./dev.sh test   build everything and run every test
# Each first checks that what it needs is here, asking the tools themselves
# (a C++20 compiler, CMake as new as the presets, Ninja; for the tests,
# CMake's own search for the libraries and the Python modules), whoever
# installed them. What is missing is installed with apt-get from the package
# lists in .ci/packages/, as root or through sudo without a password, in one
# line; where that cannot work, it says what to install (apt-get, dnf and
# Homebrew names) and exits 1. CI installs from the same lists.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
  cat <<'EOF'
usage: ./dev.sh demo | test
  demo   check for a C++20 compiler, CMake and Ninja (installing them with
         apt-get where it can), build lighting-demo and run it
  test   check for everything the tests need (installing it with apt-get
         where it can), build everything (preset dev) and run every test
Where apt-get cannot install (no apt-get, not root and no password-less
sudo) it says what is missing and how to install it, and exits 1. The
Debian package lists are in .ci/packages/: demo, and demo plus everything.
Without the presets' CMake: docs/building.md.
EOF
}

# One command and nothing after it: a filter or an option would be ignored,
# so it is refused rather than run as if it had been taken.
case "${1:-}" in
  demo | test | -h | --help | '') ;;
  *)
    echo "./dev.sh: unknown command '$1' (demo or test); see ./dev.sh --help" >&2
    exit 2
    ;;
esac
if [ $# -gt 1 ]; then
  echo "./dev.sh: '$1' takes no arguments (got: ${*:2}); see ./dev.sh --help" >&2
  exit 2
fi

case "${1:-}" in
  demo)
    .ci/packages/install --as './dev.sh demo' demo
    # The configure step's own notes only (such as Highway missing).
    configure_log=$(cmake --preset demo) || { printf '%s\n' "$configure_log"; exit 1; }
    grep '^-- lighting:' <<<"$configure_log" || true
    cmake --build --preset demo
    "build${LIGHTING_BUILD_SUFFIX:-}/demo/demo/lighting-demo"
    ;;
  test)
    .ci/packages/install --as './dev.sh test' demo everything
    cmake --workflow --preset dev
    ;;
  -h | --help)
    usage
    ;;
  *)
    usage >&2
    exit 2
    ;;
esac
