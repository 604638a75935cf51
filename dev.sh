#!/bin/bash
# The two commands of a fresh checkout:
#   ./dev.sh demo   build the demo and run it (needs a C++ compiler and CMake)
#   ./dev.sh test   build everything and run every test
# Each first installs, through the system's package manager, whatever of its
# list in .ci/ is missing (with sudo when not root), says so in one line, and
# installs nothing when everything is there. Debian and Ubuntu (apt-get).
set -euo pipefail
cd "$(dirname "$0")"

usage() {
  cat <<'EOF'
usage: ./dev.sh demo | test
  demo   install a C++ compiler and CMake if missing, build lighting-demo and run it
  test   install every package the tests need if missing, build everything
         (preset dev) and run every test
The package lists are .ci/packages-demo and .ci/packages-test.
EOF
}

fail() {
  echo "dev.sh: $*" >&2
  exit 1
}

# The names of a list that are not installed yet. A name installed for
# several architectures is ambiguous to dpkg -s unless it names the host's.
missing_packages() {
  local list=$1 package
  grep -v '^[[:space:]]*\(#\|$\)' "$list" | while read -r package; do
    dpkg -s "$package" >/dev/null 2>&1 ||
      dpkg -s "$package:$(dpkg --print-architecture)" >/dev/null 2>&1 || echo "$package"
  done
}

install_missing() {
  local list=$1
  command -v dpkg >/dev/null && command -v apt-get >/dev/null ||
    fail "no apt-get here: install the packages of $list by hand"
  local missing
  mapfile -t missing < <(missing_packages "$list")
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || fail "not root and no sudo: install ${missing[*]}"
    sudo=(sudo)
  fi
  echo "dev.sh: installing ${#missing[@]} packages with apt-get: ${missing[*]}"
  # Packages of other architectures (the cross builds' Highway) need them enabled.
  local arch
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\([a-z0-9]*\)$/\1/p' | sort -u); do
    "${sudo[@]}" dpkg --add-architecture "$arch"
  done
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

case "${1:-}" in
  demo)
    install_missing .ci/packages-demo
    cmake --preset demo >/dev/null
    cmake --build --preset demo
    "build${LIGHTING_BUILD_SUFFIX:-}/demo/demo/lighting-demo"
    ;;
  test)
    install_missing .ci/packages-test
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
