# Shared by the process tests: a scratch folder removed on exit, and a failure
# counter that the test's last line turns into its exit status.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# finish NAME: report and exit with the verdict.
finish() {
  [ "$failures" -eq 0 ] && echo "$1: all checks passed"
  exit $((failures > 0))
}

# The tests below run "$render", the program under test, which the including
# script sets. rejected_base: arguments put before each expect_rejected's own.
rejected_base=()

# expect_rejected STATUS TEXT ARGS...: the program, run in an empty folder,
# ends with STATUS and one line on stderr containing TEXT, writing nothing else.
expect_rejected() {
  local want=$1 name=$2
  shift 2
  rm -rf "$work/out" && mkdir "$work/out"
  (cd "$work/out" && "$render" "${rejected_base[@]}" "$@" >"$work/stdout" 2>"$work/stderr")
  local status=$?
  [ "$status" -eq "$want" ] || fail "$*: status $status, expected $want"
  [ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "$*: stderr is not one line: $(cat "$work/stderr")"
  grep -qF -- "$name" "$work/stderr" || fail "$*: stderr does not name $name: $(cat "$work/stderr")"
  [ -s "$work/stdout" ] && fail "$*: wrote to stdout"
  [ -z "$(ls -A "$work/out")" ] || fail "$*: left files: $(ls -A "$work/out")"
}

# expect_file_too_large KIB NAME ARGS...: a write that fails midway, under a
# file-size limit of KIB KiB with SIGXFSZ ignored so that the write returns
# EFBIG. Writing $work/out/NAME must fail with status 1 and one line saying
# so, the old NAME must survive, and nothing else may appear.
expect_file_too_large() {
  local limit=$1 name=$2
  shift 2
  mkdir -p "$work/out"
  printf 'old contents' >"$work/out/$name"
  local before
  before=$(ls -A "$work/out")
  (
    trap '' XFSZ
    ulimit -f "$limit"
    exec "$render" "$@" -o "$work/out/$name"
  ) >"$work/stdout" 2>"$work/stderr"
  local status=$?
  local what="$name under a $limit KiB limit"
  [ "$status" -eq 1 ] || fail "$what: status $status, expected 1"
  [ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "$what: stderr: $(cat "$work/stderr")"
  grep -q "$name: File too large" "$work/stderr" || fail "$what: stderr: $(cat "$work/stderr")"
  [ "$(cat "$work/out/$name")" = "old contents" ] || fail "$what: the old file changed"
  [ "$(ls -A "$work/out")" = "$before" ] || fail "$what: left $(ls -A "$work/out")"
}
