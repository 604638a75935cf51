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
# A subnormal double has lost precision as surely as an overflow.
expect_rejected 2 "--extent" --extent 1e-310
expect_rejected 2 "--exposure" --exposure 1e-320
expect_rejected 2 "--extent" --point 3e38,0,0 --extent 1e38

# OMP_NUM_THREADS is the default thread count, --threads overrides it, and
# either is capped at the cores this process may run on: the most threads
# seen while rendering is that count.
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
# nproc itself would honour OMP_NUM_THREADS: the cores alone, whatever the caller set.
cores=$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc)
capped() { if [ "$1" -lt "$cores" ]; then echo "$1"; else echo "$cores"; fi; }
[ "$(OMP_NUM_THREADS=1 most_threads)" -eq 1 ] || fail "OMP_NUM_THREADS=1 is not honoured"
[ "$(OMP_NUM_THREADS=5 most_threads)" -eq "$(capped 5)" ] || fail "OMP_NUM_THREADS=5 is not capped at $cores cores"
big+=(--threads 3)
[ "$(OMP_NUM_THREADS=1 most_threads)" -eq "$(capped 3)" ] || fail "--threads 3 does not win over OMP_NUM_THREADS"

# An OMP_NUM_THREADS that is not a thread count: the program's own one-line
# warning, then the same image on every core.
rm -rf "$work/out" && mkdir "$work/out"
for bad in abc 0 -2 2,3; do
  OMP_NUM_THREADS=$bad "$render" "${small[@]}" -o "$work/out/omp.png" >/dev/null 2>"$work/stderr"
  status=$?
  [ "$status" -eq 0 ] || fail "OMP_NUM_THREADS=$bad: status $status, expected 0"
  [ "$(cat "$work/stderr")" = "lighting-render: warning: OMP_NUM_THREADS='$bad' is not an integer of 1 or more: ignored, using $cores thread$([ "$cores" -eq 1 ] || echo s)" ] ||
    fail "OMP_NUM_THREADS=$bad: stderr: $(cat "$work/stderr")"
  cmp -s "$work/reference.png" "$work/out/omp.png" || fail "OMP_NUM_THREADS=$bad: the image differs"
done
OMP_NUM_THREADS=$'1\e[2J' "$render" "${small[@]}" -o "$work/out/omp.png" >/dev/null 2>"$work/stderr"
grep -qF "OMP_NUM_THREADS=\"1\\x1b[2J\" is not" "$work/stderr" ||
  fail "OMP_NUM_THREADS with an escape: stderr: $(cat -v "$work/stderr")"
OMP_NUM_THREADS=abc "$render" "${small[@]}" --threads 1 -o "$work/out/omp.png" >/dev/null 2>"$work/stderr"
[ -s "$work/stderr" ] && fail "--threads with a bad OMP_NUM_THREADS: stderr: $(cat "$work/stderr")"

# --version: the project's version on stdout, status 0, whatever else is wrong.
"$render" --version >"$work/stdout" 2>"$work/stderr" || fail "--version: non-zero status"
grep -qxE "lighting-render [0-9]+\.[0-9]+\.[0-9]+" "$work/stdout" || fail "--version: $(cat "$work/stdout")"
[ -s "$work/stderr" ] && fail "--version wrote to stderr: $(cat "$work/stderr")"
"$render" --width 0 --version >/dev/null 2>&1 || fail "--version after a bad option: non-zero status"
"$render" --version >/dev/full 2>"$work/stderr"
[ "$?" -eq 1 ] && grep -q "cannot write the version" "$work/stderr" || fail "--version >/dev/full: $(cat "$work/stderr")"
grep -qF -- "--version" "$work/help" || fail "--help does not describe --version"
grep -q "OMP_NUM_THREADS that is not an integer" "$work/help" || fail "--help does not say what a bad OMP_NUM_THREADS does"

# Empty values are named as empty; counts speak of integers.
expect_rejected 2 "--width: the value is empty" --width ''
expect_rejected 2 "--intensity: the value is empty" --intensity=
expect_rejected 2 "-o: the value is empty" -o ''
expect_rejected 2 "--width: '1e4000' is not an integer" --width 1e4000
expect_rejected 2 "--threads: '2.5' is not an integer" --threads 2.5
expect_rejected 2 "--height: '99999999999999999999' is out of range (integers 1 to 16384)" --height 99999999999999999999
# The float nearest to FLT_MAX's overflow threshold, approached from below, is FLT_MAX.
"$render" "${small[@]}" --intensity 340282356779733661637539395458142568447 -o "$work/out/max.png" >/dev/null ||
  fail "--intensity just below the overflow threshold was refused"

# Standard output closed: refused at once, one line.
"$render" "${small[@]}" -o - >&- 2>"$work/stderr"
status=$?
[ "$status" -eq 1 ] || fail "-o - >&-: status $status, expected 1"
[ "$(cat "$work/stderr")" = "lighting-render: cannot write -: standard output is not open for writing" ] ||
  fail "-o - >&-: stderr: $(cat "$work/stderr")"

# The descriptor already open is written to where it stands, never reopened
# at offset 0: after what the file holds, and at the end when appending.
rm -rf "$work/out" && mkdir "$work/out"
{
  printf 'HEADER'
  "$render" "${small[@]}" -o /dev/stdout 2>/dev/null
} >"$work/out/after-header"
{ printf 'HEADER' && cat "$work/reference.png"; } >"$work/expected"
cmp -s "$work/expected" "$work/out/after-header" || fail "-o /dev/stdout after a header: other bytes"
head -c 100000 /dev/zero | tr '\0' x >"$work/out/appended"
{ head -c 100000 /dev/zero | tr '\0' x && cat "$work/reference.png"; } >"$work/expected"
"$render" "${small[@]}" -o /dev/stdout >>"$work/out/appended" 2>/dev/null ||
  fail "-o /dev/stdout >>: failed"
cmp -s "$work/expected" "$work/out/appended" || fail "-o /dev/stdout >>: other bytes than old + image"
printf 'HEADER' >"$work/out/fd3"
"$render" "${small[@]}" -o /dev/fd/3 3>>"$work/out/fd3" >/dev/null || fail "-o /dev/fd/3: failed"
{ printf 'HEADER' && cat "$work/reference.png"; } >"$work/expected"
cmp -s "$work/expected" "$work/out/fd3" || fail "-o /dev/fd/3 3>>: other bytes"

# Files the user may not write are refused as ">" refuses them; a file the
# user may write but not replace as it is (another owner, a read-only
# directory, hard links) is written in place, keeping its owner and names.
if [ "$(id -u)" -eq 0 ]; then
  rm -rf "$work/out" && mkdir -m 0777 "$work/out"
  as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  # expect_refused_as_nobody FILE: refused with one line, the file untouched.
  expect_refused_as_nobody() {
    local file=$1 before
    before=$(stat -c %U:%a "$file")
    "${as_nobody[@]}" "$render" "${small[@]}" -o "$file" >"$work/stdout" 2>"$work/stderr"
    local status=$?
    [ "$status" -eq 1 ] || fail "nobody -o $file: status $status, expected 1"
    [ "$(cat "$work/stderr")" = "lighting-render: cannot write $file: Permission denied" ] ||
      fail "nobody -o $file: stderr: $(cat "$work/stderr")"
    [ "$(cat "$file")" = "old" ] || fail "nobody -o $file: the file changed"
    [ "$(stat -c %U:%a "$file")" = "$before" ] || fail "nobody -o $file: now $(stat -c %U:%a "$file")"
  }
  printf 'old' >"$work/out/readonly.png" && chmod 0444 "$work/out/readonly.png"
  chown 65534 "$work/out/readonly.png"
  expect_refused_as_nobody "$work/out/readonly.png"
  printf 'old' >"$work/out/roots.png" && chmod 0644 "$work/out/roots.png"
  expect_refused_as_nobody "$work/out/roots.png"
  [ "$(ls -A "$work/out" | tr '\n' ' ')" = "readonly.png roots.png " ] ||
    fail "refused files: left $(ls -A "$work/out")"
  # A shared file in a directory nobody may write, longer than the image.
  mkdir "$work/out/shut"
  head -c 100000 /dev/zero >"$work/out/shut/shared.png"
  chmod 0666 "$work/out/shut/shared.png" && chmod 0555 "$work/out/shut"
  "${as_nobody[@]}" "$render" "${small[@]}" -o "$work/out/shut/shared.png" >/dev/null 2>"$work/stderr" ||
    fail "in place in a read-only directory: $(cat "$work/stderr")"
  cmp -s "$work/reference.png" "$work/out/shut/shared.png" || fail "in place: not exactly the image"
  [ "$(stat -c %U:%a "$work/out/shut/shared.png")" = "root:666" ] ||
    fail "in place: now $(stat -c %U:%a "$work/out/shut/shared.png")"
  # Root's shared file in a directory nobody may write: stays root's.
  printf 'old' >"$work/out/theirs.png" && chmod 0666 "$work/out/theirs.png"
  "${as_nobody[@]}" "$render" "${small[@]}" -o "$work/out/theirs.png" >/dev/null ||
    fail "someone else's writable file: failed"
  [ "$(stat -c %U "$work/out/theirs.png")" = root ] || fail "someone else's file changed hands"
  cmp -s "$work/reference.png" "$work/out/theirs.png" || fail "someone else's file: not the image"
  # Nobody's own file, of a group nobody is not in: the group stays.
  printf 'old' >"$work/out/grouped.png" && chmod 0664 "$work/out/grouped.png"
  chown 65534:0 "$work/out/grouped.png"
  "${as_nobody[@]}" "$render" "${small[@]}" -o "$work/out/grouped.png" >/dev/null ||
    fail "a file of another group: failed"
  [ "$(stat -c %U:%G:%a "$work/out/grouped.png")" = "nobody:root:664" ] ||
    fail "a file of another group: now $(stat -c %U:%G:%a "$work/out/grouped.png")"
  cmp -s "$work/reference.png" "$work/out/grouped.png" || fail "a file of another group: not the image"
else
  echo "SKIP: read-only and other users' files (setpriv as nobody needs root)"
fi
# Hard links: every name shows the new image.
rm -rf "$work/out" && mkdir "$work/out"
printf 'old' >"$work/out/one.png" && ln "$work/out/one.png" "$work/out/two.png"
"$render" "${small[@]}" -o "$work/out/one.png" >/dev/null || fail "hard link: failed"
[ "$work/out/one.png" -ef "$work/out/two.png" ] || fail "hard link: broken"
cmp -s "$work/reference.png" "$work/out/two.png" || fail "hard link: the other name kept the old file"

# Numbers: a leading '+', blanks in triples, one range rule for both ends.
"$render" "${small[@]}" --normal 0,1,1 -o "$work/out/plain.png" >/dev/null || fail "plain normal failed"
"$render" --width +64 --height +48 --normal " 0 , +1,1 " -o "$work/out/spaced.png" >/dev/null 2>"$work/stderr" ||
  fail "'+64' and ' 0 , +1,1 ': $(cat "$work/stderr")"
cmp -s "$work/out/plain.png" "$work/out/spaced.png" || fail "'+64' or blanks changed the image"
expect_rejected 2 "--normal: '1,,3' has its second number empty" --normal 1,,3
expect_rejected 2 "--width" --width +-5
expect_rejected 2 "'1e-46' is outside single precision's normal range" --intensity 1e-46
expect_rejected 2 "'1e39' is outside single precision's normal range" --intensity 1e39
expect_rejected 2 "'1e-39', outside single precision's normal range" --light-colour 1,1e-39,1

# Control bytes in names are quoted in the summary and in errors.
rm -rf "$work/out" && mkdir "$work/out"
odd=$'odd\n\e[31m.png'
"$render" "${small[@]}" -o "$work/out/$odd" >"$work/stdout" || fail "odd name: failed"
[ "$(wc -l <"$work/stdout")" -eq 1 ] && grep -qF '/odd\n\x1b[31m.png", 64x48' "$work/stdout" ||
  fail "odd name: summary: $(cat "$work/stdout")"
expect_rejected 1 '/missing\n/x.png": No such file' -o "$work/out/missing"$'\n'/x.png
expect_rejected 2 '--normal: "1,\x1b,3"' --normal 1,$'\e',3

# A terminal on standard output is refused unless forced.
if command -v script >/dev/null; then
  script -qec "'$render' ${small[*]} -o -" /dev/null >"$work/tty" 2>&1
  status=$?
  [ "$status" -eq 1 ] || fail "-o - on a terminal: status $status, expected 1"
  grep -q "cannot write -: it is a terminal.*--force" "$work/tty" || fail "-o - on a terminal: $(head -c 300 "$work/tty" | cat -v)"
  script -qec "'$render' ${small[*]} -o /dev/stdout --force 2>/dev/null" /dev/null >"$work/tty"
  [ "$?" -eq 0 ] && grep -q "PNG" "$work/tty" || fail "--force on a terminal: no image"
else
  echo "SKIP: terminal output (script is not installed)"
fi

finish "lighting-render process"
