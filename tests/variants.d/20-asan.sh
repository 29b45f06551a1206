#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer, leaks checked at every exit:
# the unit, fault-injection, stress and tools tests and the end-to-end suites
# that take memory through the receive path, the writer, the health figures,
# the segments and the address forms, on an instrumented build (the `asan`
# preset). The default build alone runs the suites whose recordings only add
# naming and operator outputs to those paths (rotation around the clock,
# the status line on a terminal, the operator's outputs). Any sanitizer report fails a test: the unit
# tests end with a non-zero status, and the end-to-end tests demand an empty
# standard error from the recorder.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

scripts/install-deps || exit 1
cmake --preset asan >/dev/null || exit 1
cmake --build --preset asan -j "$(nproc)" || exit 1
ctest --preset asan -E '^e2e_(rotation|status|operator)$'
