#!/usr/bin/env bash
# The Windows build, proven under Wine: cross-compiles pelorin.exe with
# mingw-w64 (the `mingw` preset) and runs, in a private network and mount
# namespace that also holds the wineserver, the shared end-to-end tests with
# pelorin.exe as the recorder and then the Windows-only ones. The Linux build
# gives the test-stream tools (pelorin-send, pelorin-check).
# Exits non-zero on any failure; the last line is "N passed, N failed".
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

verdict() {
  echo "$1 passed, $2 failed"
  exit "$3"
}

# Only what is missing is installed (the shared script does nothing otherwise).
scripts/install-deps g++-mingw-w64-x86-64-posix wine wine64 || verdict 0 1 1

jobs=$(nproc); [ "$jobs" -gt 2 ] && jobs=2
cmake --preset mingw >/dev/null && cmake --build --preset mingw -j "$jobs" || {
  echo "the mingw build failed" >&2
  verdict 0 1 1
}
cmake --preset default >/dev/null && cmake --build --preset default -j "$jobs" --target pelorin-send pelorin-check || {
  echo "the test-stream tools did not build" >&2
  verdict 0 1 1
}

workdir=$(mktemp -d /tmp/pelorin-wine.XXXXXX)
cleanup() {
  # Whatever happened to the tests, their persistent wineserver must not outlive them.
  WINEPREFIX="$workdir/prefix" WINEDEBUG=-all wineserver -k >/dev/null 2>&1
  rm -rf "$workdir"
}
trap cleanup EXIT

log="$workdir/log"
timeout --kill-after=30 900 \
  unshare -n -m -- python3 -u tests/e2e/windows/test_windows.py --exe build/mingw/pelorin.exe \
  --tools build/default/tools --workdir "$workdir" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
if ! tail -n 1 "$log" | grep -Eq '^[0-9]+ passed, [0-9]+ failed$'; then
  echo "the Wine tests did not finish (status $status)" >&2
  verdict 0 1 1
fi
exit "$status"
