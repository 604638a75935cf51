#!/bin/bash
# Runs lighting-demo as a process: exact report bytes on stdout, nothing on
# stderr, status 0 with or without arguments; status 1 and a message when
# stdout cannot be written.
# Usage: demo_test.sh [EMULATOR...] DEMO
set -u
demo=("$@")
# shellcheck source=process_test_lib.sh
source "$(dirname "$0")/process_test_lib.sh"

printf 'Energie recue    : 0.250000 0.125000 0.125000\nEnergie diffusee : 0.111803 0.055902 0.111803\n' \
  >"$work/expected"

for args in "" "--help" "-x extra arguments" "--verbose /nonexistent"; do
  # shellcheck disable=SC2086 # the arguments are meant to split
  LIGHTING_ANYTHING=1 "${demo[@]}" $args >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" -eq 0 ] || fail "args '$args': exit status $status, expected 0"
  cmp -s "$work/out" "$work/expected" || fail "args '$args': stdout differs: $(od -c "$work/out" | head -5)"
  [ -s "$work/err" ] && fail "args '$args': stderr not empty: $(cat "$work/err")"
done

# LIGHTING_STDOUT_ERRORS_LOST: the platform's runtime drops write errors on
# stdout (emscripten under node), so a full device cannot be detected.
if [ -n "${LIGHTING_STDOUT_ERRORS_LOST:-}" ]; then
  echo "note: this runtime does not report stdout write errors; the failed-write case was not run"
elif [ -w /dev/full ]; then
  "${demo[@]}" >/dev/full 2>"$work/err"
  status=$?
  [ "$status" -eq 1 ] || fail "/dev/full: exit status $status, expected 1"
  grep -q '^lighting-demo: cannot write the report: ' "$work/err" ||
    fail "/dev/full: stderr lacks the message: $(cat "$work/err")"
  [ "$(wc -l <"$work/err")" -eq 1 ] || fail "/dev/full: stderr is not one line"
else
  echo "note: /dev/full is missing; the failed-write case was not run"
fi

finish "demo"
