#!/bin/bash
# Runs lighting-render with OpenEXR output as a process: the format chosen by
# name or option, refused combinations, the header seen by OpenEXR's own
# exrheader, and failed writes leaving nothing behind, as for PNG.
# Usage: exr_process_test.sh RENDER
set -u
render=$1
# shellcheck source=process_test_lib.sh
source "$(dirname "$0")/process_test_lib.sh"

# expect_rejected STATUS NAME ARGS...: fails with STATUS, stderr one line
# mentioning NAME, nothing on stdout, the output directory still empty.

expect_rejected 2 "--exposure" --exposure 2 -o image.exr
expect_rejected 2 "--exposure" -o image.png --format exr --exposure 2
expect_rejected 2 "--format" --format tiff -o image.exr
expect_rejected 2 "--format" --format
expect_rejected 2 "--compression" --compression lzma -o image.exr
expect_rejected 2 "--compression" --compression pxr24 -o image.exr
expect_rejected 2 "--compression" --compression zip -o image.png

# --help describes the format and its options.
"$render" --help >"$work/help" || fail "--help: non-zero status"
for word in --format --compression OpenEXR exrheader; do
  grep -qF -- "$word" "$work/help" || fail "--help does not mention $word"
done

# Success: the summary line, an EXR file by its magic number, nothing else.
rm -rf "$work/out" && mkdir "$work/out"
"$render" --width 40 --height 30 -o "$work/out/ok.exr" >"$work/stdout" 2>"$work/stderr" ||
  fail "a valid render failed: $(cat "$work/stderr")"
grep -qE "ok\.exr, 40x30, 32-bit float OpenEXR \(zip\), 0 non-finite pixels$" "$work/stdout" ||
  fail "summary line: $(cat "$work/stdout")"
[ -s "$work/stderr" ] && fail "a valid render wrote to stderr: $(cat "$work/stderr")"
[ "$(ls -A "$work/out")" = "ok.exr" ] || fail "unexpected files: $(ls -A "$work/out")"
[ "$(head -c 4 "$work/out/ok.exr" | od -An -tx1 | tr -d ' ')" = "762f3101" ] ||
  fail "ok.exr does not start with the OpenEXR magic number"

# --format wins over the name, both ways.
"$render" --width 4 --height 4 --format exr -o "$work/out/named.png" >/dev/null &&
  [ "$(head -c 4 "$work/out/named.png" | od -An -tx1 | tr -d ' ')" = "762f3101" ] ||
  fail "--format exr did not write EXR to named.png"
"$render" --width 4 --height 4 --format png -o "$work/out/named.exr" >/dev/null &&
  [ "$(head -c 4 "$work/out/named.exr" | od -An -tx1 | tr -d ' ')" = "89504e47" ] ||
  fail "--format png did not write PNG to named.exr"

# The light at the centre pixel's point: counted, and the render still succeeds.
"$render" --width 5 --height 5 --light-position 1,2,0 --compression piz -o "$work/out/nan.exr" \
  >"$work/stdout" || fail "the render with a non-finite pixel failed"
grep -qE "nan\.exr, 5x5, 32-bit float OpenEXR \(piz\), 1 non-finite pixel$" "$work/stdout" ||
  fail "non-finite summary: $(cat "$work/stdout")"

# OpenEXR's own tool reads the header: the scene and the chromaticities.
if command -v exrheader >/dev/null; then
  exrheader "$work/out/ok.exr" >"$work/header" 2>&1 || fail "exrheader cannot read ok.exr"
  for line in "R, 32-bit floating-point" "G, 32-bit floating-point" "B, 32-bit floating-point" \
    "compression (type compression): zip" "surfacePoint (type v3f): (1 2 0)" \
    "surfaceNormal (type v3f): (0 0 1)" "surfaceReflectance (type v3f): (0.5 0.5 1)" \
    "lightPosition (type v3f): (-1 2 4)" "lightColour (type v3f): (1 0.5 0.5)" \
    "lightIntensity (type float): 5" "patchExtent (type double): 8" \
    "red   (0.64 0.33)" "green (0.3 0.6)" "blue  (0.15 0.06)" "white (0.3127 0.329)"; do
    grep -qF -- "$line" "$work/header" || fail "exrheader does not show '$line'"
  done
else
  echo "exrheader not installed (Debian package openexr): header check skipped"
fi

# A FIFO: spooled and copied out, the same bytes as the regular file.
mkfifo "$work/out/pipe.exr"
cat "$work/out/pipe.exr" >"$work/piped" &
reader=$!
"$render" --width 40 --height 30 -o "$work/out/pipe.exr" >/dev/null 2>"$work/stderr" ||
  fail "writing to a FIFO failed: $(cat "$work/stderr")"
wait "$reader"
cmp -s "$work/piped" "$work/out/ok.exr" || fail "the FIFO received other bytes than the file"
cp "$work/out/ok.exr" "$work/ok.exr"

# A directory that does not exist.
expect_rejected 1 "$work/out/missing/image.exr" -o "$work/out/missing/image.exr"

# A write that fails midway; the old file survives.
rm -rf "$work/out"
expect_file_too_large 16 big.exr --width 512 --height 512
# A small file is gathered in memory and only goes out after the last row,
# when OpenEXR fills in the block table from a destructor that swallows
# errors: a limit below its size must still fail the render.
expect_file_too_large 1 small.exr --width 8 --height 8 --compression none

# Standard output closed: refused, not reported as written.
"$render" --width 64 --height 64 -o - --format exr >&- 2>"$work/stderr"
status=$?
[ "$status" -eq 1 ] || fail "-o - --format exr >&-: status $status, expected 1"
[ "$(wc -l <"$work/stderr")" -eq 1 ] && grep -q "cannot write -: standard output is not open" "$work/stderr" ||
  fail "-o - --format exr >&-: stderr: $(cat "$work/stderr")"

# /dev/stdout and "-" are the descriptor already open: after a header, and
# appended to an existing file.
rm -rf "$work/out" && mkdir "$work/out"
for target in /dev/stdout -; do
  { printf 'HEADER' && "$render" --width 40 --height 30 --format exr -o "$target" 2>/dev/null; } >"$work/out/after"
  { printf 'HEADER' && cat "$work/ok.exr"; } >"$work/expected"
  cmp -s "$work/expected" "$work/out/after" || fail "-o $target after a header: other bytes"
  printf 'OLDTAIL-OLDTAIL' >"$work/out/appended"
  "$render" --width 40 --height 30 --format exr -o "$target" >>"$work/out/appended" 2>/dev/null
  { printf 'OLDTAIL-OLDTAIL' && cat "$work/ok.exr"; } >"$work/expected"
  cmp -s "$work/expected" "$work/out/appended" || fail "-o $target >>: other bytes than old + image"
done

# A file with a second name is written in place: both names hold the image.
head -c 50000 /dev/zero >"$work/out/one.exr" && ln "$work/out/one.exr" "$work/out/two.exr"
"$render" --width 40 --height 30 -o "$work/out/one.exr" >/dev/null || fail "hard link: failed"
cmp -s "$work/ok.exr" "$work/out/two.exr" || fail "hard link: the other name does not hold the image"

# A $TMPDIR that does not exist is an error naming it, not /tmp instead.
TMPDIR="$work/no-such-tmp" "$render" --width 8 --height 8 --format exr -o - >"$work/stdout" 2>"$work/stderr"
status=$?
[ "$status" -eq 1 ] || fail "missing \$TMPDIR: status $status, expected 1"
[ "$(cat "$work/stderr")" = "lighting-render: cannot write -: temporary file in \$TMPDIR ($work/no-such-tmp): No such file or directory" ] ||
  fail "missing \$TMPDIR: stderr: $(cat "$work/stderr")"
[ -s "$work/stdout" ] && fail "missing \$TMPDIR: wrote to stdout"

finish "lighting-render EXR process"
