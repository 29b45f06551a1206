#!/usr/bin/env bash
# libFuzzer over the command-line parser (the `fuzz` preset, clang 14 with
# AddressSanitizer and UndefinedBehaviorSanitizer): first every input of the
# seed corpus once, then PELORIN_FUZZ_SECONDS (default 60) of fuzzing from it.
# A crash, a leak, a sanitizer report or a broken promise of the parser
# fails; the input that did it is kept under build/fuzz/artifacts/.
# The last line is "N passed, N failed".
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

verdict() {
  echo "$1 passed, $2 failed"
  exit "$3"
}

scripts/install-deps clang-14 libclang-rt-14-dev || verdict 0 1 1
cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j "$(nproc)" || verdict 0 1 1

fuzzer=build/fuzz/tests/fuzz/pelorin_command_line_fuzz
artifacts=build/fuzz/artifacts/
mkdir -p "$artifacts"
work=$(mktemp -d /tmp/pelorin-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Standard output (the parser's own messages) is closed while fuzzing.
options=(-close_fd_mask=1 -max_len=2048 -dict=tests/fuzz/command_line.dict -artifact_prefix="$artifacts")

passed=0
failed=0
if "$fuzzer" "${options[@]}" tests/fuzz/corpus/*; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "=== the seed corpus fails" >&2
fi
# New inputs go to the scratch corpus (the first directory); the repository's
# seed corpus is only read.
if "$fuzzer" "${options[@]}" -max_total_time="${PELORIN_FUZZ_SECONDS:-60}" -print_final_stats=1 \
  "$work" tests/fuzz/corpus; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "=== fuzzing found a failure; reproduce with: $fuzzer <the file under $artifacts>" >&2
  ls -l "$artifacts" >&2
fi
verdict "$passed" "$failed" "$([ "$failed" -eq 0 ] && echo 0 || echo 1)"
