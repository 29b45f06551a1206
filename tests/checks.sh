# Sourced by the test variants: named checks counted into one closing line.
#   check NAME COMMAND...   runs COMMAND, counts it passed or failed
#   verdict                 prints "N passed, N failed" and exits non-zero on any failure
passed=0
failed=0
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
  fi
}
verdict() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}
