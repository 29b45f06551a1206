#!/usr/bin/env bash
# ThreadSanitizer, without suppressions: the unit, fault-injection, stress and
# tools tests and the end-to-end suites where the receive, writer and main
# threads meet (recording, endings, the status line, the health figures,
# segments turned over while the main thread reads them), on an instrumented
# build (the `tsan` preset). The default build alone runs the suites that add
# only naming, address forms and operator outputs on the same threads
# (rotation, IPv6, operator). The hand-over between the receive, writer and
# main threads must raise no report; the first one ends the process that
# raised it and fails its test.
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

scripts/install-deps || exit 1
cmake --preset tsan >/dev/null || exit 1
cmake --build --preset tsan -j "$(nproc)" || exit 1
# ThreadSanitizer's memory layout does not fit address randomisation of more
# than 28 bits; without it, for these tests only, when the kernel uses more.
launch=()
if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 28)" -gt 28 ]; then
  launch=(setarch "$(uname -m)" -R)
fi
"${launch[@]}" ctest --preset tsan -E '^e2e_(rotation|ipv6|operator)$'
