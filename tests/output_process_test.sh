#!/bin/bash
# Runs lighting-render as a process against output targets that a careful
# tool must not mishandle: names with controls or invalid UTF-8, terminals by
# any name, regular files behind standard output under size limits, broken
# $TMPDIRs, and signals swept across the end of a render.
# Usage: output_process_test.sh RENDER
set -u
render=$1
# shellcheck source=process_test_lib.sh
source "$(dirname "$0")/process_test_lib.sh"
small=(--width 64 --height 48)
mkdir -p "$work/out"
"$render" "${small[@]}" -o "$work/reference.png" >/dev/null || fail "reference render failed"
"$render" "${small[@]}" -o "$work/reference.exr" >/dev/null || fail "reference EXR render failed"

# Names: C1 controls, invalid UTF-8 and very long values are escaped or cut
# in the summary and in errors; valid UTF-8 stays readable.
rm -rf "$work/out" && mkdir "$work/out"
for pair in $'\xc2\x9b2J.png|\\u009b2J.png"' $'\x9b2J.png|\\x9b2J.png"' $'\xff.png|\\xff.png"' \
  $'caf\xc3\xa9.png|/out/caf\xc3\xa9.png, 64x48'; do
  name=${pair%%|*} shown=${pair#*|}
  "$render" "${small[@]}" -o "$work/out/$name" >"$work/stdout" 2>"$work/stderr" || fail "name $shown: failed"
  grep -qF -- "$shown" "$work/stdout" || fail "name $shown: summary: $(cat -v "$work/stdout")"
  LC_ALL=C grep -q $'[\x80-\x9f]' "$work/stdout" && fail "name $shown: a C1 byte in the summary"
done
long=$(head -c 100000 /dev/zero | tr '\0' n)
"$render" "${small[@]}" -o "/$long" >/dev/null 2>"$work/stderr"
status=$?
[ "$status" -eq 1 ] || fail "a 100001-byte name: status $status, expected 1"
[ "$(wc -l <"$work/stderr")" -eq 1 ] && [ "$(wc -c <"$work/stderr")" -lt 700 ] &&
  grep -qF '"... (100001 bytes): File name too long' "$work/stderr" ||
  fail "a 100001-byte name: stderr: $(head -c 200 "$work/stderr")... ($(wc -c <"$work/stderr") bytes)"

# Terminals are refused however they are named, unless forced.
if command -v script >/dev/null && script -qec true /dev/null >/dev/null 2>&1; then
  for how in '$(tty)' "$work/screen"; do
    script -qec "ln -sf \$(tty) '$work/screen'; '$render' ${small[*]} -o $how" /dev/null >"$work/tty" 2>&1
    status=$?
    [ "$status" -eq 1 ] || fail "-o $how on a terminal: status $status, expected 1"
    grep -q "it is a terminal.*--force" "$work/tty" || fail "-o $how: $(head -c 300 "$work/tty" | cat -v)"
    script -qec "ln -sf \$(tty) '$work/screen'; '$render' ${small[*]} -o $how --force >/dev/null" \
      /dev/null >"$work/tty" 2>&1
    [ "$?" -eq 0 ] && grep -q "PNG" "$work/tty" || fail "-o $how --force: no image"
  done
  rm -f "$work/screen"
else
  echo "SKIP: terminals by name (script is not installed or has no terminal)"
fi

# A regular file behind standard output is left as it was by a failed render:
# under a size limit, with ">" and with ">>", PNG and EXR (whose spool in
# $TMPDIR meets the same limit).
for format in png exr; do
  for redirect in new append; do
    what="-o - --format $format ($redirect) under ulimit -f"
    if [ "$redirect" = new ]; then : >"$work/out/f"; else printf 'HEADER' >"$work/out/f"; fi
    cp "$work/out/f" "$work/before"
    (
      trap '' XFSZ
      ulimit -f 64
      if [ "$redirect" = new ]; then
        exec "$render" --width 2048 --height 2048 --format "$format" -o - >"$work/out/f"
      else
        exec "$render" --width 2048 --height 2048 --format "$format" -o - >>"$work/out/f"
      fi
    ) 2>"$work/stderr"
    status=$?
    [ "$status" -eq 1 ] || fail "$what: status $status, expected 1"
    grep -q "File too large" "$work/stderr" || fail "$what: stderr: $(cat "$work/stderr")"
    cmp -s "$work/before" "$work/out/f" || fail "$what: left $(wc -c <"$work/out/f") bytes"
  done
done
# A render that succeeds after a header still lands after it.
{ printf 'HEADER' && "$render" "${small[@]}" --format exr -o - 2>/dev/null; } >"$work/out/f"
{ printf 'HEADER' && cat "$work/reference.exr"; } >"$work/expected"
cmp -s "$work/expected" "$work/out/f" || fail "-o - --format exr after a header: other bytes"

# A full $TMPDIR: the spool (EXR after ">>") and the in-place scratch file
# fail, and both targets stay as they were.
mkdir -p "$work/full"
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=64k tmpfs "$work/full" 2>/dev/null; then
  head -c 1000000 /dev/zero >"$work/full/filler" 2>/dev/null
  printf 'HEADER' >"$work/out/f"
  TMPDIR="$work/full" "$render" --width 512 --height 512 --format exr -o - >>"$work/out/f" 2>"$work/stderr"
  status=$?
  [ "$status" -eq 1 ] || fail "full \$TMPDIR, EXR >>: status $status"
  grep -qF "temporary file in \$TMPDIR ($work/full): No space left on device" "$work/stderr" ||
    fail "full \$TMPDIR, EXR >>: stderr: $(cat "$work/stderr")"
  printf 'HEADER' | cmp -s - "$work/out/f" || fail "full \$TMPDIR, EXR >>: left $(wc -c <"$work/out/f") bytes"
  printf 'old' >"$work/out/one.png" && ln -f "$work/out/one.png" "$work/out/two.png"
  TMPDIR="$work/full" "$render" --width 512 --height 512 -o "$work/out/one.png" >/dev/null 2>"$work/stderr"
  status=$?
  [ "$status" -eq 1 ] && grep -q "No space left on device" "$work/stderr" ||
    fail "full \$TMPDIR, in place: status $status: $(cat "$work/stderr")"
  [ "$(cat "$work/out/two.png")" = old ] || fail "full \$TMPDIR, in place: the file changed"
  umount "$work/full"
else
  echo "SKIP: a full \$TMPDIR (mounting a small tmpfs needs root)"
fi

# $TMPDIR: its errors escape it and name the real cause.
TMPDIR=$'/nonexist\nent\e' "$render" --width 4 --height 4 -o /dev/null --format exr 2>"$work/stderr"
status=$?
[ "$status" -eq 1 ] || fail "TMPDIR with a newline: status $status"
[ "$(cat "$work/stderr")" = 'lighting-render: cannot write /dev/null: temporary file in $TMPDIR ("/nonexist\nent\x1b"): No such file or directory' ] ||
  fail "TMPDIR with a newline: stderr: $(cat -v "$work/stderr")"
TMPDIR=/proc "$render" --width 4 --height 4 -o - --format exr >/dev/null 2>"$work/stderr"
grep -qF 'temporary file in $TMPDIR (/proc): its filesystem has no unnamed temporary files, and a named one cannot be made there (No such file or directory)' \
  "$work/stderr" || fail "TMPDIR=/proc: stderr: $(cat "$work/stderr")"

# A Unix socket is refused in words, not connected to.
if command -v python3 >/dev/null; then
  python3 -c 'import socket,sys,time; s=socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(1); time.sleep(5)' \
    "$work/out/socket" &
  listener=$!
  for _ in $(seq 100); do [ -S "$work/out/socket" ] && break; sleep 0.02; done
  "$render" "${small[@]}" -o "$work/out/socket" >/dev/null 2>"$work/stderr"
  status=$?
  [ "$status" -eq 1 ] && grep -q "socket: it is a socket, which lighting-render does not connect to" "$work/stderr" ||
    fail "socket: status $status: $(cat "$work/stderr")"
  kill "$listener" 2>/dev/null
  wait "$listener" 2>/dev/null
fi

# A sweep of SIGTERM times across the end of a render: killed leaves the old
# file and nothing else; status 0 means the whole image is in place.
killed=0 completed=0
for step in $(seq 0 39); do
  rm -rf "$work/out" && mkdir "$work/out"
  printf 'old' >"$work/out/image.png"
  "$render" "${small[@]}" -o "$work/out/image.png" >/dev/null 2>&1 &
  pid=$!
  # Signals from the program's start on: before the exec the shell's own
  # child would take the signal (and run this script's EXIT trap).
  until [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$(readlink -f "$render")" ] ||
    ! kill -0 "$pid" 2>/dev/null; do :; done
  [ "$step" -gt 0 ] && sleep "0.00$((step / 4))$((step % 4 * 2))"
  kill -TERM "$pid" 2>/dev/null
  wait "$pid"
  status=$?
  if [ "$status" -eq 0 ]; then
    completed=$((completed + 1))
    cmp -s "$work/reference.png" "$work/out/image.png" || fail "sweep $step: status 0 without the image"
  else
    killed=$((killed + 1))
    [ "$status" -eq 143 ] || fail "sweep $step: status $status"
    printf 'old' | cmp -s - "$work/out/image.png" || fail "sweep $step: killed, and the file changed"
  fi
  [ "$(ls -A "$work/out")" = image.png ] || fail "sweep $step: left $(ls -A "$work/out")"
done
echo "signal sweep: $killed killed, $completed completed"

finish "lighting-render output targets"
