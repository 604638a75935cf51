#!/bin/bash
# ./dev.sh and .ci/packages/install away from a Debian root shell: without
# apt-get, dpkg and sudo; with dpkg saying nothing is installed; not root;
# with a CMake too old for the presets; with apt-get update failing. Nothing
# is installed and nothing goes to the network: apt-get, dpkg, sudo, id and
# sleep are stand-ins that record their calls, and cmake is a stand-in for
# what dev.sh asks after its checks (configure, build, workflow), handing the
# checks' own calls to the real one.
# Usage: devsh_test.sh SOURCE_DIR [CMAKE [NINJA]]
set -u
source_dir=$1
# shellcheck source=../process_test_lib.sh
source "$(dirname "$0")/../process_test_lib.sh"

mkdir -p "$work/src" "$work/system" "$work/stubs"
cp -R "$source_dir/dev.sh" "$source_dir/.ci" "$source_dir/CMakePresets.json" "$work/src/"
real_cmake=${2:-$(command -v cmake)}
real_ninja=${3:-$(command -v ninja || command -v ninja-build)}

# Every command on PATH but the ones the cases provide or hide.
IFS=: read -ra path_dirs <<<"$PATH"
for dir in "${path_dirs[@]}"; do
  [ -d "$dir" ] && ln -s "$dir"/* "$work/system/" 2>/dev/null
done
for name in apt-get apt dpkg sudo id sleep cmake ninja ninja-build samu; do
  rm -f "$work/system/$name"
done

stub() {
  printf '#!/bin/bash\necho "%s $*" >>"$CALLS"\n%s\n' "$1" "$2" >"$work/stubs/$1"
  chmod +x "$work/stubs/$1"
}
stub id 'echo "${FAKE_UID:-0}"'
stub sleep ''
stub sudo '[ "$*" != "-n true" ] || [ "$FAKE_SUDO" = ok ] || { echo "sudo: a password is required" >&2; exit 1; }
shift
exec "$@"'
# dpkg -s answers a name with two architectures (pkg:arm64:amd64) as an
# error, status 2, as the real one does.
stub dpkg 'case $1 in
  --print-architecture) echo amd64 ;;
  -s) case $2 in *:*:*) exit 2 ;; esac; [ -n "${FAKE_DPKG_ALL:-}" ] ;;
esac'
# update fails FAKE_UPDATE_FAILURES times ("lock": always, as without root);
# install puts a real ninja where the case's PATH finds it.
stub apt-get 'if [ "$1" = update ]; then
  if [ "${FAKE_UPDATE_FAILURES:-0}" = lock ]; then
    echo "E: Could not open lock file /var/lib/apt/lists/lock - open (13: Permission denied)" >&2
    exit 100
  fi
  if [ "$(grep -c "^apt-get update" "$CALLS")" -le "${FAKE_UPDATE_FAILURES:-0}" ]; then
    echo "W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease  Temporary failure resolving" >&2
    echo "E: Some index files failed to download." >&2
    exit 100
  fi
elif [ -n "${FAKE_INSTALL_FAILS:-}" ]; then
  echo "E: Unable to locate package ninja-build" >&2
  exit 100
elif [ -z "${FAKE_APT_NOOP:-}" ] && [[ " $* " == *" ninja-build "* ]]; then
  ln -s "$REAL_NINJA" "$CASE_BIN/ninja"
fi'
stub cmake 'case "$1 ${2:-}" in
  "--version ") echo "cmake version ${FAKE_CMAKE_VERSION:-3.25.0}" ;;
  "--preset demo") echo "-- lighting: configured by the stand-in" ;;
  "--build --preset")
    mkdir -p "build${LIGHTING_BUILD_SUFFIX:-}/demo/demo"
    printf "#!/bin/sh\necho the demo ran\n" >"build${LIGHTING_BUILD_SUFFIX:-}/demo/demo/lighting-demo"
    chmod +x "build${LIGHTING_BUILD_SUFFIX:-}/demo/demo/lighting-demo" ;;
  "--workflow "*) echo "the workflow ran" ;;
  *) exec "$REAL_CMAKE" "$@" ;;
esac'

# run_case "TOOLS" COMMAND...: runs COMMAND in the copy with PATH holding the
# named stand-ins (and real ninja for "ninja") before the system's commands.
# Leaves out, err, status and calls.
run_case() {
  local tools=$1 tool
  shift
  rm -rf "$work/bin" "$work/src/build"* && mkdir "$work/bin"
  : >"$work/calls"
  for tool in id sleep $tools; do
    if [ "$tool" = ninja ]; then ln -s "$real_ninja" "$work/bin/ninja"; else ln -s "$work/stubs/$tool" "$work/bin/"; fi
  done
  (cd "$work/src" && CALLS=$work/calls CASE_BIN=$work/bin REAL_CMAKE=$real_cmake REAL_NINJA=$real_ninja \
    PATH="$work/bin:$work/system" "$@") >"$work/out" 2>"$work/err"
  status=$?
  calls=$(cat "$work/calls")
}

expect_status() { [ "$status" -eq "$2" ] || fail "$1: status $status, expected $2; stderr: $(cat "$work/err")"; }
expect_err() { grep -qF -- "$2" "$work/err" || fail "$1: stderr lacks '$2': $(cat "$work/err")"; }
expect_calls() { grep -qxF -- "$2" <<<"$calls" || fail "$1: no call '$2' in: $calls"; }
expect_no_call() { ! grep -q -- "$2" <<<"$calls" || fail "$1: a call matching '$2': $calls"; }
expect_demo_ran() {
  grep -qx "the demo ran" "$work/out" || fail "$1: the demo did not run: $(cat "$work/out" "$work/err")"
  expect_calls "$1" "cmake --preset demo"
  expect_calls "$1" "cmake --build --preset demo"
}

what="no apt-get, dpkg or sudo; the tools there"
run_case "cmake ninja" ./dev.sh demo
expect_status "$what" 0
expect_demo_ran "$what"
expect_no_call "$what" "^sleep"
[ -s "$work/err" ] && fail "$what: stderr: $(cat "$work/err")"

what="dpkg knows none of the tools (installed another way), root with apt-get"
FAKE_CMAKE_VERSION=4.0.2 run_case "cmake ninja dpkg apt-get" ./dev.sh demo
expect_status "$what" 0
expect_demo_ran "$what"
expect_no_call "$what" "^apt-get"

what="cmake hidden, no apt-get"
run_case "ninja" ./dev.sh demo
expect_status "$what" 1
expect_err "$what" "./dev.sh demo: missing: CMake 3.25 or newer (cmake)"
expect_err "$what" "installing nothing: apt-get is not here"
expect_err "$what" "    apt-get install cmake"
expect_no_call "$what" "^sleep"
[ -s "$work/out" ] && fail "$what: stdout: $(cat "$work/out")"

what="not root, sudo asks for a password"
FAKE_UID=1000 FAKE_SUDO=password run_case "apt-get sudo" ./dev.sh demo
expect_status "$what" 1
expect_calls "$what" "sudo -n true"
expect_no_call "$what" "^apt-get"
expect_err "$what" "installing nothing: not root, and sudo asks for a password"
expect_err "$what" "    apt-get install cmake ninja-build"
expect_err "$what" "  macOS: brew install cmake ninja"
expect_err "$what" "  without root: python3 -m pip install --user cmake ninja"
grep -q "dnf install" "$work/err" && fail "$what: a dnf line though the names are Debian's"

what="not root, no sudo"
FAKE_UID=1000 run_case "apt-get cmake" ./dev.sh demo
expect_status "$what" 1
expect_no_call "$what" "^apt-get"
expect_err "$what" "installing nothing: not root, and sudo is not here"
expect_err "$what" "./dev.sh demo: missing: Ninja (ninja-build)"

what="not root, sudo without a password"
FAKE_UID=1000 FAKE_SUDO=ok run_case "apt-get sudo cmake" ./dev.sh demo
expect_status "$what" 0
grep -qxF "./dev.sh demo: installing with apt-get (through sudo): ninja-build" "$work/out" ||
  fail "$what: stdout: $(cat "$work/out")"
expect_calls "$what" "sudo -n apt-get update -q"
expect_calls "$what" "sudo -n env DEBIAN_FRONTEND=noninteractive apt-get install -y -q ninja-build"
expect_demo_ran "$what"

what="apt-get update without the network twice"
FAKE_UPDATE_FAILURES=2 run_case "apt-get cmake" ./dev.sh demo
expect_status "$what" 0
[ "$(grep -c '^sleep 15$' <<<"$calls")" -eq 2 ] || fail "$what: not two pauses: $calls"
[ "$(grep -c '^apt-get update' <<<"$calls")" -eq 3 ] || fail "$what: not three updates: $calls"
expect_demo_ran "$what"

what="apt-get update refused (a lock)"
FAKE_UPDATE_FAILURES=lock run_case "apt-get cmake" ./dev.sh demo
expect_status "$what" 1
expect_no_call "$what" "^sleep"
expect_no_call "$what" "install -y"
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "$what: stderr is not one line: $(cat "$work/err")"
expect_err "$what" "apt-get update failed (status 100): E: Could not open lock file"

what="apt-get installs, but the tool is still not found"
FAKE_APT_NOOP=1 run_case "apt-get cmake" ./dev.sh demo
expect_status "$what" 1
[ "$(grep -c 'apt-get install' <<<"$calls")" -eq 1 ] || fail "$what: not one install: $calls"
expect_err "$what" "still not found"

what="apt-get install fails"
FAKE_INSTALL_FAILS=1 run_case "apt-get cmake" ./dev.sh demo
expect_status "$what" 1
expect_err "$what" "apt-get install failed (status 100)"
expect_no_call "$what" "^cmake --preset"

what="cmake 3.22.1"
FAKE_CMAKE_VERSION=3.22.1 run_case "apt-get cmake ninja" ./dev.sh demo
expect_status "$what" 1
expect_err "$what" "cmake 3.22.1 ($work/bin/cmake) is older than the CMake 3.25 the presets need"
expect_err "$what" "python3 -m pip install --user cmake"
expect_no_call "$what" "^apt-get"
expect_no_call "$what" "^cmake --preset"

what="CXX names no compiler"
CXX="/nonexistent/g++ -O2" run_case "cmake ninja" ./dev.sh demo
expect_status "$what" 1
expect_err "$what" "CXX=/nonexistent/g++ -O2: /nonexistent/g++ is not found"
expect_no_call "$what" "^cmake --preset"

what="a compiler that cannot build, with its own reason"
printf '#!/bin/bash\necho "c++: fatal error: cannot execute as: No such file or directory" >&2\nexit 1\n' >"$work/stubs/broken-c++"
chmod +x "$work/stubs/broken-c++"
CXX="$work/stubs/broken-c++" run_case "cmake ninja" ./dev.sh demo
expect_status "$what" 1
expect_err "$what" "(it says: c++: fatal error: cannot execute as: No such file or directory)"
expect_no_call "$what" "^cmake --preset"

# The tests' needs through CMake's own search and the Python modules; dask
# hidden from the interpreter.
mkdir -p "$work/python/dask"
echo 'raise ImportError("hidden by the test")' >"$work/python/dask/__init__.py"
what="./dev.sh test without dask, not root"
PYTHONPATH=$work/python FAKE_UID=1000 run_case "apt-get cmake ninja" ./dev.sh test
expect_status "$what" 1
expect_err "$what" "Dask (python3-dask)"
expect_err "$what" "apt-get install python3-dask"
expect_err "$what" "python3 -m pip install dask"
expect_no_call "$what" "^cmake --workflow"

# Where the suite runs, every package of the lists is installed (CI, or
# ./dev.sh test before): then the probes must find them all.
complete=1
if command -v dpkg >/dev/null; then
  while read -r package _; do
    case $package in '' | '#'*) continue ;; esac
    dpkg -s "$package" >/dev/null 2>&1 || dpkg -s "$package:$(dpkg --print-architecture)" >/dev/null 2>&1 || complete=""
  done < <(cat "$source_dir/.ci/packages/demo" "$source_dir/.ci/packages/everything")
else
  complete=""
fi
if [ -n "$complete" ]; then
  what="./dev.sh test, everything installed"
  run_case "dpkg apt-get cmake ninja" ./dev.sh test
  expect_status "$what" 0
  expect_calls "$what" "cmake --workflow --preset dev"
  expect_no_call "$what" "^apt-get"
else
  echo "note: not every package of the lists is installed; the complete case was not run"
fi

what="CI's lists, which dpkg decides"
FAKE_DPKG_ALL=1 run_case "dpkg apt-get" .ci/packages/install ci ci-no-recommends
expect_status "$what" 0
expect_no_call "$what" "^apt-get"
run_case "dpkg apt-get" .ci/packages/install ci ci-no-recommends
expect_calls "$what" "dpkg --add-architecture arm64"
grep -q "^apt-get install -y -q .*libhwy-dev:arm64 libhwy-dev:i386" <<<"$calls" ||
  fail "$what: the other architectures' packages were not installed: $calls"
grep -q "^apt-get install -y -q --no-install-recommends .*emscripten" <<<"$calls" ||
  fail "$what: no install without recommends: $calls"

what="an argument after the command"
run_case "cmake ninja" ./dev.sh test -R golden
expect_status "$what" 2
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "$what: stderr is not one line: $(cat "$work/err")"
expect_err "$what" "'test' takes no arguments (got: -R golden)"
expect_no_call "$what" "cmake"

what="an unknown command"
run_case "cmake ninja" ./dev.sh tests
expect_status "$what" 2
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "$what: stderr is not one line: $(cat "$work/err")"
expect_err "$what" "unknown command 'tests'"

what="an unknown list"
run_case "" .ci/packages/install demo nonsense
expect_status "$what" 2
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "$what: stderr is not one line: $(cat "$work/err")"
expect_err "$what" "no package list 'nonsense'"

what="--as without its name"
run_case "" .ci/packages/install --as
expect_status "$what" 2
[ "$(wc -l <"$work/err")" -eq 1 ] || fail "$what: stderr is not one line: $(cat "$work/err")"
expect_err "$what" "--as needs a name"

what="the installer's --help"
run_case "" .ci/packages/install --help
expect_status "$what" 0
grep -q "^usage: .*LIST" "$work/out" || fail "$what: no usage on stdout: $(cat "$work/out")"

what="an unknown command with arguments"
run_case "cmake ninja" ./dev.sh tests extra
expect_status "$what" 2
expect_err "$what" "unknown command 'tests'"

finish "devsh"
