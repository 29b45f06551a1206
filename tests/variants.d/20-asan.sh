#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer, leaks checked at every exit:
# the unit, fault-injection, stress and end-to-end tests on an instrumented
# build (the `asan` preset). Any sanitizer report fails a test: the unit
# tests end with a non-zero status, and the end-to-end tests demand an empty
# standard error from the recorder.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

scripts/install-deps || exit 1
cmake --preset asan >/dev/null || exit 1
cmake --build --preset asan -j "$(nproc)" || exit 1
ctest --preset asan
