#!/bin/bash
# Runs lighting-render as a process: bad input and failed writes give one line
# on stderr naming the problem, a non-zero status, and no file of any kind.
# Usage: render_process_test.sh RENDER
set -u
render=$1
# shellcheck source=process_test_lib.sh
source "$(dirname "$0")/process_test_lib.sh"

# expect_rejected STATUS NAME ARGS...: fails with STATUS, stderr one line
# mentioning NAME, the output directory still empty.
expect_rejected() {
  local want=$1 name=$2
  shift 2
  rm -rf "$work/out" && mkdir "$work/out"
  (cd "$work/out" && "$render" -o "$work/out/image.png" "$@" >"$work/stdout" 2>"$work/stderr")
  local status=$?
  [ "$status" -eq "$want" ] || fail "$*: status $status, expected $want"
  [ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "$*: stderr is not one line: $(cat "$work/stderr")"
  grep -qF -- "$name" "$work/stderr" || fail "$*: stderr does not name $name: $(cat "$work/stderr")"
  [ -s "$work/stdout" ] && fail "$*: wrote to stdout"
  [ -z "$(ls -A "$work/out")" ] || fail "$*: left files: $(ls -A "$work/out")"
}

expect_rejected 2 "--point" --point 1,2
expect_rejected 2 "--point" --point 1,2,3,4
expect_rejected 2 "--point" --point 1,x,3
expect_rejected 2 "--normal" --normal 0,0,0
expect_rejected 2 "--reflectance" --reflectance inf,1,1
expect_rejected 2 "--light-position" --light-position 1,2,nan
expect_rejected 2 "--light-colour" --light-colour 1e39,0,0
expect_rejected 2 "--intensity" --intensity five
expect_rejected 2 "--width" --width 0
expect_rejected 2 "--width" --width 16385
expect_rejected 2 "--height" --height -3
expect_rejected 2 "--height" --height 1.5
expect_rejected 2 "--extent" --extent 0
expect_rejected 2 "--extent" --extent -2
expect_rejected 2 "--exposure" --exposure -1
expect_rejected 2 "--threads" --threads 0
expect_rejected 2 "--frobnicate" --frobnicate 3
expect_rejected 2 "--width" --width

# --help: status 0, every option with its default.
"$render" --help >"$work/help" 2>"$work/stderr" || fail "--help: non-zero status"
for option in --point --normal --reflectance --light-position --light-colour --intensity \
  --width --height --extent --exposure --threads --output --help; do
  grep -qF -- "$option" "$work/help" || fail "--help does not describe $option"
done
[ "$(grep -c 'default' "$work/help")" -ge 12 ] || fail "--help does not give the defaults"

# Success: one summary line naming the file, the size, the exposure and the count.
rm -rf "$work/out" && mkdir "$work/out"
"$render" --width 40 --height 30 -o "$work/out/ok.png" >"$work/stdout" 2>"$work/stderr" ||
  fail "a valid render failed: $(cat "$work/stderr")"
grep -qE "ok\.png, 40x30, exposure [0-9.]+, 0 non-finite pixels$" "$work/stdout" ||
  fail "summary line: $(cat "$work/stdout")"
[ -s "$work/stderr" ] && fail "a valid render wrote to stderr: $(cat "$work/stderr")"
[ "$(ls -A "$work/out")" = "ok.png" ] || fail "unexpected files: $(ls -A "$work/out")"

# A directory that does not exist.
expect_rejected 1 "$work/out/missing/image.png" -o "$work/out/missing/image.png"

# A write that fails midway: a 16 KiB file-size limit, SIGXFSZ ignored so the
# write returns EFBIG. The old file must survive and nothing else appear.
rm -rf "$work/out" && mkdir "$work/out"
printf 'old contents' >"$work/out/big.png"
(
  trap '' XFSZ
  ulimit -f 16
  exec "$render" --width 512 --height 512 -o "$work/out/big.png"
) >"$work/stdout" 2>"$work/stderr"
status=$?
[ "$status" -eq 1 ] || fail "file-size limit: status $status, expected 1"
grep -q "big.png: File too large" "$work/stderr" || fail "file-size limit: stderr: $(cat "$work/stderr")"
[ "$(cat "$work/out/big.png")" = "old contents" ] || fail "file-size limit: the old file changed"
[ "$(ls -A "$work/out")" = "big.png" ] || fail "file-size limit: left $(ls -A "$work/out")"

finish "lighting-render process"
