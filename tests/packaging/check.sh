# Sourced by the packaging tests: check NAME COMMAND... runs COMMAND with its
# output in $work/out, prints "ok" or "FAIL" with that output, and counts
# the failures in $failures.
failures=0
check() {
  local name=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    echo "ok      $name"
  else
    echo "FAIL    $name"
    sed 's/^/        /' "$work/out"
    failures=$((failures + 1))
  fi
}
