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
