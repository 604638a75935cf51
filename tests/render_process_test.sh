#!/bin/bash
# Runs lighting-render as a process: bad input and failed writes give one line
# on stderr naming the problem, a non-zero status, and no file of any kind;
# every kind of target gets the same bytes; signals leave nothing behind.
# Cases that need root say SKIP when run without it.
# Usage: render_process_test.sh RENDER
set -u
render=$1
# shellcheck source=process_test_lib.sh
source "$(dirname "$0")/process_test_lib.sh"

# Every rejected command line also names an output file, which must not appear.
rejected_base=(-o "$work/out/image.png")

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

# A write that fails midway; the old file survives.
rm -rf "$work/out"
expect_file_too_large 16 big.png --width 512 --height 512

# The same limit with SIGXFSZ at its default: the write still fails cleanly.
rm -rf "$work/out" && mkdir "$work/out"
(
  trap - XFSZ
  ulimit -f 64
  exec "$render" --width 2048 --height 2048 -o "$work/out/keep.png"
) >"$work/stdout" 2>"$work/stderr"
status=$?
[ "$status" -eq 1 ] || fail "default SIGXFSZ: status $status, expected 1"
grep -q "keep.png: File too large" "$work/stderr" || fail "default SIGXFSZ: stderr: $(cat "$work/stderr")"
[ -z "$(ls -A "$work/out")" ] || fail "default SIGXFSZ: left $(ls -A "$work/out")"

# The bytes of a regular 64 x 48 render, which every other kind of target
# must receive exactly.
small=(--width 64 --height 48)
rm -rf "$work/out" && mkdir "$work/out"
"$render" "${small[@]}" -o "$work/reference.png" >/dev/null || fail "reference render failed"

# A FIFO: streamed into, still a FIFO afterwards.
mkfifo "$work/out/fifo"
cat "$work/out/fifo" >"$work/from-fifo" &
reader=$!
"$render" "${small[@]}" -o "$work/out/fifo" >/dev/null 2>"$work/stderr" || fail "FIFO: $(cat "$work/stderr")"
wait "$reader"
cmp -s "$work/reference.png" "$work/from-fifo" || fail "FIFO: the bytes differ from a regular render"
[ -p "$work/out/fifo" ] || fail "FIFO: no longer a FIFO"
[ "$(ls -A "$work/out")" = "fifo" ] || fail "FIFO: left $(ls -A "$work/out")"

# Standard output, as "-" and as /dev/stdout; the summary then goes to stderr.
"$render" "${small[@]}" -o - >"$work/from-stdout" 2>"$work/stderr" || fail "-o -: failed"
cmp -s "$work/reference.png" "$work/from-stdout" || fail "-o -: the bytes differ"
grep -q "wrote -, 64x48" "$work/stderr" || fail "-o -: summary: $(cat "$work/stderr")"
"$render" "${small[@]}" -o /dev/stdout 2>/dev/null | cat >"$work/from-pipe"
cmp -s "$work/reference.png" "$work/from-pipe" || fail "-o /dev/stdout into a pipe: the bytes differ"

# A device node: written to, not replaced.
if [ "$(id -u)" -eq 0 ]; then
  mknod "$work/out/null" c 1 3
  "$render" "${small[@]}" -o "$work/out/null" >/dev/null 2>"$work/stderr" ||
    fail "device: $(cat "$work/stderr")"
  [ -c "$work/out/null" ] && [ "$(stat -c %t,%T "$work/out/null")" = "1,3" ] ||
    fail "device: the node was replaced"
  [ "$(ls -A "$work/out" | tr '\n' ' ')" = "fifo null " ] ||
    fail "device: left $(ls -A "$work/out")"
else
  echo "SKIP: device node (mknod needs root)"
fi
"$render" "${small[@]}" -o /dev/full >/dev/null 2>"$work/stderr"
status=$?
[ "$status" -eq 1 ] || fail "/dev/full: status $status, expected 1"
grep -q "/dev/full: No space left on device" "$work/stderr" || fail "/dev/full: $(cat "$work/stderr")"

# A symbolic link, relative, to a file in another directory: the link stays,
# its target gets the image and keeps its mode.
rm -rf "$work/out" "$work/elsewhere" && mkdir "$work/out" "$work/elsewhere"
printf 'old' >"$work/elsewhere/real.png"
chmod 0604 "$work/elsewhere/real.png"
ln -s ../elsewhere/real.png "$work/out/link.png"
"$render" "${small[@]}" -o "$work/out/link.png" >/dev/null 2>"$work/stderr" || fail "link: $(cat "$work/stderr")"
[ -L "$work/out/link.png" ] || fail "link: no longer a link"
[ "$(readlink "$work/out/link.png")" = "../elsewhere/real.png" ] || fail "link: points elsewhere"
cmp -s "$work/reference.png" "$work/elsewhere/real.png" || fail "link: the target does not hold the image"
[ "$(stat -c %a "$work/elsewhere/real.png")" = "604" ] || fail "link: mode $(stat -c %a "$work/elsewhere/real.png")"
[ "$(ls -A "$work/elsewhere")" = "real.png" ] || fail "link: left $(ls -A "$work/elsewhere")"
# A dangling link: its target is created.
ln -s ../elsewhere/new.png "$work/out/dangling.png"
"$render" "${small[@]}" -o "$work/out/dangling.png" >/dev/null || fail "dangling link: failed"
[ -L "$work/out/dangling.png" ] && cmp -s "$work/reference.png" "$work/elsewhere/new.png" ||
  fail "dangling link: the target was not created"

# Modes: an existing file keeps its own, a new one gets 0666 less the umask.
printf 'old' >"$work/out/private.png"
chmod 0600 "$work/out/private.png"
"$render" "${small[@]}" -o "$work/out/private.png" >/dev/null || fail "mode: render failed"
[ "$(stat -c %a "$work/out/private.png")" = "600" ] || fail "mode: became $(stat -c %a "$work/out/private.png")"
(umask 027 && exec "$render" "${small[@]}" -o "$work/out/new.png" >/dev/null) || fail "umask: failed"
[ "$(stat -c %a "$work/out/new.png")" = "640" ] || fail "umask 027: mode $(stat -c %a "$work/out/new.png")"

# The longest name the filesystem takes.
name=$(printf 'n%.0s' $(seq 251)).png
"$render" "${small[@]}" -o "$work/out/$name" >/dev/null 2>"$work/stderr" || fail "255-byte name: $(cat "$work/stderr")"
cmp -s "$work/reference.png" "$work/out/$name" || fail "255-byte name: wrong contents"

# expect_quick_failure TARGET REASON: fails at once, even for the largest
# image, with one line naming the target and the reason.
big=(--width 16384 --height 16384)
expect_quick_failure() {
  local target=$1 reason=$2 start elapsed
  start=$(date +%s%N)
  "${runner[@]}" "$render" "${big[@]}" -o "$target" >"$work/stdout" 2>"$work/stderr"
  local status=$?
  elapsed=$((($(date +%s%N) - start) / 1000000))
  [ "$status" -eq 1 ] || fail "-o $target: status $status, expected 1"
  [ "$elapsed" -lt 1000 ] || fail "-o $target: took $elapsed ms to fail"
  [ "$(cat "$work/stderr")" = "lighting-render: cannot write $target: $reason" ] ||
    fail "-o $target: stderr: $(cat "$work/stderr")"
}
runner=()
rm -rf "$work/out" && mkdir -p "$work/out/dir"
printf 'old' >"$work/out/file"
expect_quick_failure "$work/out/dir" "Is a directory"
expect_quick_failure "$work/out/dir/" "Is a directory"
expect_quick_failure "$work/out/file/" "Not a directory"
expect_quick_failure "$work/out/missing/x.png" "No such file or directory"
expect_quick_failure "$work/out/file/x.png" "Not a directory"
(cd "$work/out" && expect_quick_failure . "Is a directory")
expect_quick_failure "$work/out/$(printf 'n%.0s' $(seq 256))" "File name too long"
if [ "$(id -u)" -eq 0 ]; then
  # Someone else's file in a sticky directory owned by a third user.
  mkdir -m 1777 "$work/sticky"
  chown 1 "$work/sticky"
  printf 'old' >"$work/sticky/theirs.png"
  chmod 0666 "$work/sticky/theirs.png"
  mkdir -m 0555 "$work/readonly"
  chmod 0755 "$work"
  runner=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  expect_quick_failure "$work/sticky/theirs.png" "Operation not permitted"
  expect_quick_failure "$work/readonly/x.png" "Permission denied"
  runner=()
  [ "$(cat "$work/sticky/theirs.png")" = "old" ] || fail "sticky: the file changed"
  [ "$(ls -A "$work/sticky")" = "theirs.png" ] || fail "sticky: left $(ls -A "$work/sticky")"
else
  echo "SKIP: sticky and read-only directories of other users (needs root)"
fi

# wait_for_output PID: until the process has its output open in $work/out.
wait_for_output() {
  local pid=$1
  for _ in $(seq 1000); do
    ls -l "/proc/$pid/fd" 2>/dev/null | grep -q -- "-> $work/out" && return 0
    sleep 0.01
  done
  return 1
}

# expect_killed SIGNAL STATUS: mid-render the signal removes what was written
# and ends the program as killed by it; the old file is untouched.
expect_killed() {
  local signal=$1 want=$2
  rm -rf "$work/out" && mkdir "$work/out"
  printf 'old' >"$work/out/image.png"
  # A script's background jobs start with SIGINT ignored: restore the default.
  env --default-signal=INT "$render" "${big[@]}" -o "$work/out/image.png" >/dev/null 2>&1 &
  local pid=$!
  wait_for_output "$pid" || fail "$signal: the output was never opened"
  kill "-$signal" "$pid"
  wait "$pid" 2>/dev/null
  local status=$?
  [ "$status" -eq "$want" ] || fail "$signal: status $status, expected $want"
  [ "$(cat "$work/out/image.png")" = "old" ] || fail "$signal: the old file changed"
  [ "$(ls -A "$work/out")" = "image.png" ] || fail "$signal: left $(ls -A "$work/out")"
}
expect_killed INT 130
expect_killed TERM 143
expect_killed HUP 129
# SIGKILL cannot be caught: only an unnamed file leaves nothing behind.
if (
  "$render" "${small[@]}" --height 4096 -o "$work/probe.png" >/dev/null &
  pid=$!
  for _ in $(seq 1000); do
    ls -l "/proc/$pid/fd" 2>/dev/null | grep -q -- "-> $work/#.* (deleted)" && exit 0
    sleep 0.001
  done
  exit 1
); then
  expect_killed KILL 137
else
  echo "SKIP: SIGKILL (this filesystem has no O_TMPFILE)"
fi

# Ignored signals stay ignored: nohup, and SIGINT in a script's background job.
for signal in HUP INT; do
  rm -rf "$work/out" && mkdir "$work/out"
  (
    trap '' "$signal"
    exec "$render" --width 4096 --height 4096 -o "$work/out/survivor.png" >/dev/null
  ) &
  pid=$!
  wait_for_output "$pid" && kill "-$signal" "$pid"
  wait "$pid"
  status=$?
  [ "$status" -eq 0 ] || fail "ignored SIG$signal: status $status, expected 0"
  [ -s "$work/out/survivor.png" ] || fail "ignored SIG$signal: no image"
done

# Small things: -0 is 0, --help wins, unwritable help and summary.
rm -rf "$work/out" && mkdir "$work/out"
"$render" "${small[@]}" --exposure -0 -o "$work/out/zero.png" >"$work/stdout" || fail "--exposure -0 failed"
grep -q "exposure 0, " "$work/stdout" || fail "--exposure -0: $(cat "$work/stdout")"
"$render" --frobnicate --help >"$work/stdout" 2>&1 || fail "--help after a bad option: non-zero status"
grep -q "^Usage: lighting-render" "$work/stdout" || fail "--help after a bad option: no help"
"$render" --help >/dev/full 2>"$work/stderr"
status=$?
[ "$status" -eq 1 ] || fail "--help >/dev/full: status $status, expected 1"
grep -q "cannot write the help: No space left on device" "$work/stderr" || fail "--help >/dev/full: $(cat "$work/stderr")"
"$render" "${small[@]}" -o "$work/out/summary.png" >/dev/full 2>"$work/stderr"
status=$?
[ "$status" -eq 3 ] || fail ">/dev/full: status $status, expected 3"
cmp -s "$work/reference.png" "$work/out/summary.png" || fail ">/dev/full: the image is not complete"
expect_rejected 2 "--extent" --extent 1e39
expect_rejected 2 "--extent" --point 3e38,0,0 --extent 1e38

# OMP_NUM_THREADS is the default thread count, --threads overrides it: the
# most threads seen while encoding is that count, the encoder among them.
most_threads() {
  "$render" "${big[@]}" --exposure 1 -o "$work/out/threads.png" >/dev/null 2>&1 </dev/null &
  local pid=$! most=0 count
  wait_for_output "$pid"
  for _ in $(seq 50); do
    count=$(ls "/proc/$pid/task" 2>/dev/null | wc -l)
    [ "$count" -gt "$most" ] && most=$count
    sleep 0.01
  done
  kill -TERM "$pid"
  wait "$pid"
  echo "$most"
}
[ "$(OMP_NUM_THREADS=5 most_threads)" -eq 5 ] || fail "OMP_NUM_THREADS=5 is not honoured"
big+=(--threads 3)
[ "$(OMP_NUM_THREADS=5 most_threads)" -eq 3 ] || fail "--threads 3 does not win over OMP_NUM_THREADS"

finish "lighting-render process"
