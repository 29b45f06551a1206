#!/usr/bin/env bash
# valgrind's memcheck over real recordings of the ordinary build: one
# byte-exact recording, and the three write failures (mid-chunk, at a chunk
# boundary, at close). Any memcheck error or a definitely lost block makes
# the recorder exit non-zero and write to standard error, which fails the
# test. The last line is "N passed, N failed".
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

verdict() {
  echo "$1 passed, $2 failed"
  exit "$3"
}

scripts/install-deps valgrind || verdict 0 1 1
cmake --preset default >/dev/null && cmake --build --preset default -j "$(nproc)" || verdict 0 1 1

export PELORIN_LAUNCHER="valgrind -q --error-exitcode=1 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite"
passed=0
failed=0
for tests in test_one_recording.py test_write_faults.py; do
  if timeout --kill-after=30 600 tests/fault/run-namespaced build/default "$tests"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "=== under valgrind: $tests FAILED" >&2
  fi
done
verdict "$passed" "$failed" "$([ "$failed" -eq 0 ] && echo 0 || echo 1)"
