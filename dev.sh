#!/bin/bash
# The two commands of a fresh checkout:
#   ./dev.sh demo   build the demo and run it (needs a C++ compiler and CMake)
#   ./dev.sh test   build everything and run every test
# Each first installs, through apt-get, whatever of its package lists in
# .ci/packages/ is missing (with sudo when not root), says so in one line, and
# installs nothing when everything is there; CI installs from the same lists.
set -euo pipefail
cd "$(dirname "$0")"

usage() {
  cat <<'EOF'
usage: ./dev.sh demo | test
  demo   install a C++ compiler and CMake if missing, build lighting-demo and run it
  test   install every package the tests need if missing, build everything
         (preset dev) and run every test
The package lists are in .ci/packages/: demo, and demo plus everything.
EOF
}

case "${1:-}" in
  demo)
    .ci/packages/install demo
    # The configure step's own notes only (such as Highway missing).
    configure_log=$(cmake --preset demo) || { printf '%s\n' "$configure_log"; exit 1; }
    grep '^-- lighting:' <<<"$configure_log" || true
    cmake --build --preset demo
    "build${LIGHTING_BUILD_SUFFIX:-}/demo/demo/lighting-demo"
    ;;
  test)
    .ci/packages/install demo everything
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
