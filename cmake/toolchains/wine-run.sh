#!/bin/bash
# Runs a Windows program under wine for a cross build's tests:
#   wine-run.sh PROGRAM.exe [ARGUMENTS...]
# The wine prefix is LIGHTING_WINEPREFIX if set, else wine-prefix in the
# current folder's build tree (the nearest parent holding CMakeCache.txt),
# and is created on first use, once even when several tests start together.
# Text-mode output ends lines with CR LF; the CRs are dropped so that test
# output reads as on Linux. The program's exit status is kept.
set -uo pipefail

if [ -z "${LIGHTING_WINEPREFIX:-}" ]; then
  build=$PWD
  while [ "$build" != / ] && [ ! -f "$build/CMakeCache.txt" ]; do build=$(dirname "$build"); done
  [ -f "$build/CMakeCache.txt" ] || build=$PWD
  LIGHTING_WINEPREFIX=$build/wine-prefix
fi
export WINEPREFIX=$LIGHTING_WINEPREFIX
export WINEDEBUG=-all
# No desktop integration or mono/gecko prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

if [ ! -f "$WINEPREFIX/.lighting-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.lighting-ready" ]; then
      wineboot -i >/dev/null 2>&1 && wineserver -w && touch "$WINEPREFIX/.lighting-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
  [ -f "$WINEPREFIX/.lighting-ready" ] || { echo "wine-run.sh: cannot create the wine prefix $WINEPREFIX" >&2; exit 1; }
fi

# Standard output on a device other than a terminal (/dev/full, /dev/null)
# is left to the program, so that it sees its own write errors. Standard
# error goes through its own filter (fd 3 carries standard output past it);
# with pipefail the status is the program's unless a filter fails.
if [ -c /dev/stdout ] && [ ! -t 1 ]; then
  { wine "$@" 2>&1 1>&3 3>&- | tr -d '\r' >&2; } 3>&1
else
  { wine "$@" 2>&1 1>&3 3>&- | tr -d '\r' >&2; } 3>&1 | tr -d '\r'
fi
