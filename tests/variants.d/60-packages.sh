#!/usr/bin/env bash
# The packages: builds the Linux .deb and the Windows .zip with cpack, installs
# the .deb with dpkg, checks the installed programs and man page (and makes one
# short recording with them in a private network namespace), then removes it.
# Exits non-zero on any failure; the last line is "N passed, N failed".
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

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

# dpkg-dev gives the .deb its real library dependencies; man-db reads the man page.
if ! scripts/install-deps dpkg-dev man-db g++-mingw-w64-x86-64-posix; then
  failed=$((failed + 1))
  verdict
fi

work=$(mktemp -d /tmp/pelorin-packages.XXXXXX)
installed=""
cleanup() {
  [ -n "$installed" ] && dpkg -r pelorin >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

# --- Linux: the .deb --------------------------------------------------------

build_deb() {
  cmake --preset default >/dev/null &&
    cmake --build --preset default -j "$(nproc)" >/dev/null &&
    rm -rf build/default/packages &&
    (cd build/default && cpack -G DEB >/dev/null)
}
check "the .deb is built" build_deb
deb=$(ls build/default/packages/pelorin_*.deb 2>/dev/null | head -n 1)

deb_contents() {
  local listing
  listing=$(dpkg-deb -c "$deb") || return 1
  for path in ./usr/bin/pelorin ./usr/bin/pelorin-send ./usr/bin/pelorin-check ./usr/share/man/man1/pelorin.1.gz; do
    grep -q " $path\$" <<<"$listing" || { echo "missing from the .deb: $path"; return 1; }
  done
  dpkg-deb -f "$deb" Depends | grep -q libc6
}
[ -n "$deb" ] && check "the .deb holds the recorder, the tools and the man page" deb_contents

install_deb() {
  dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; return 1; }
  installed=yes
}
[ -n "$deb" ] && check "dpkg -i installs it" install_deb

usage_runs() {
  local out status
  out=$(cd "$work" && pelorin)
  status=$?
  [ "$status" -eq 0 ] && [ "$(command -v pelorin)" = /usr/bin/pelorin ] &&
    grep -q '^You must provide exactly 5 arguments' <<<"$out"
}
man_page_present() {
  [ -f /usr/share/man/man1/pelorin.1.gz ] &&
    [ "$(man -w pelorin)" = /usr/share/man/man1/pelorin.1.gz ] &&
    MANWIDTH=80 man pelorin 2>/dev/null | grep -q 'record one UDP multicast stream'
}
tools_run() {
  pelorin-send --help >/dev/null && pelorin-check --help >/dev/null
}
# The installed programs end to end, on the loopback of a namespace of their own.
installed_programs_record() {
  unshare -n sh -c '
    set -e
    ip link set lo up
    ip route add 224.0.0.0/4 dev lo
    cd "$1"
    pelorin -i 0 -m 239.255.0.9 -p 5009 -l 2 -f rec.ts >pelorin.out 2>pelorin.err &
    recorder=$!
    sleep 0.5
    pelorin-send --group 239.255.0.9 --port 5009 --count 500 --rate 1000 >/dev/null
    wait $recorder
    [ ! -s pelorin.err ]
    [ "$(wc -l <pelorin.out)" -eq 2 ]
    pelorin-check --expect-first 0 --expect-count 500 rec.ts
  ' sh "$work"
}
if [ -n "$installed" ]; then
  check "pelorin runs from PATH (usage, exit 0)" usage_runs
  check "man pelorin shows the man page" man_page_present
  check "pelorin-send and pelorin-check run" tools_run
  check "the installed programs record and verify a stream" installed_programs_record
  remove_deb() {
    dpkg -r pelorin >/dev/null && installed="" && [ ! -e /usr/bin/pelorin ] && [ ! -e /usr/share/man/man1/pelorin.1.gz ]
  }
  check "dpkg -r removes it" remove_deb
fi

# --- Windows: the .zip --------------------------------------------------------

build_zip() {
  cmake --preset mingw >/dev/null &&
    cmake --build --preset mingw -j "$(nproc)" >/dev/null &&
    rm -rf build/mingw/packages &&
    (cd build/mingw && cpack -G ZIP >/dev/null)
}
check "the Windows .zip is built" build_zip
zip=$(ls build/mingw/packages/pelorin-*-windows-x86_64.zip 2>/dev/null | head -n 1)

zip_contents() {
  python3 - "$zip" "$work/zip" <<'EOF'
import sys, zipfile
archive = zipfile.ZipFile(sys.argv[1])
names = sorted(name.split("/", 1)[1] for name in archive.namelist() if not name.endswith("/"))
if names != ["README.txt", "pelorin.exe"]:
    sys.exit(f"unexpected contents: {names}")
archive.extractall(sys.argv[2])
EOF
}
# Self-contained: it may import only DLLs that every Windows has.
zip_exe_self_contained() {
  local exe dlls
  exe=$(ls "$work"/zip/*/pelorin.exe) || return 1
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u) || return 1
  echo "pelorin.exe imports: $(echo $dlls)"
  [ -n "$dlls" ] && ! grep -qvE '^(kernel32|msvcrt|ws2_32|ucrtbase|api-ms-win-.*)\.dll$' <<<"$dlls"
}
if [ -n "$zip" ]; then
  check "the .zip holds pelorin.exe and README.txt" zip_contents
  check "pelorin.exe needs only Windows' own DLLs" zip_exe_self_contained
fi

verdict
