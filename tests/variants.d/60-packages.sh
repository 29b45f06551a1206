#!/usr/bin/env bash
# The packages: builds the Linux .deb and the Windows .zip with cpack, holds the
# .deb to lintian, installs it with dpkg, checks the installed programs, man
# pages and examples (and makes one short recording with them in a private
# network namespace), then removes it.
# Exits non-zero on any failure; the last line is "N passed, N failed".
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

. tests/checks.sh

# dpkg-dev gives the .deb its real library dependencies; man-db reads the man
# pages; lintian judges the package; systemd checks the example units.
if ! scripts/install-deps dpkg-dev man-db lintian systemd g++-mingw-w64-x86-64-posix; then
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

# Every man page in docs/ is shipped, so a new tool's page is checked here too.
man_pages=()
for page in docs/*.1; do
  man_pages+=("./usr/share/man/man1/$(basename "$page").gz")
done
examples=(pelorin@.service pelorin@.timer pelorin-segments@.service example.conf 60-pelorin-rmem.conf)
deb_contents() {
  local listing path
  listing=$(dpkg-deb -c "$deb") || return 1
  for path in ./usr/bin/pelorin ./usr/bin/pelorin-send ./usr/bin/pelorin-check "${man_pages[@]}" \
      ./usr/share/doc/pelorin/copyright ./usr/share/doc/pelorin/changelog.gz \
      ./usr/share/doc/pelorin/README.md ./usr/share/doc/pelorin/README-windows.txt ./usr/bin/pelorin-inspect \
      "${examples[@]/#/./usr/share/doc/pelorin/examples/}"; do
    grep -q " $path\$" <<<"$listing" || { echo "missing from the .deb: $path"; return 1; }
  done
  # Examples only: the package itself must not configure or enable anything.
  if grep -E ' \./(etc|lib/systemd|usr/lib/systemd|usr/lib/sysctl\.d)/' <<<"$listing"; then
    echo "the .deb installs configuration outside the examples"
    return 1
  fi
  dpkg-deb -f "$deb" Depends | grep -q libc6
}
[ -n "$deb" ] && check "the .deb holds the programs, man pages, copyright, changelog and examples" deb_contents

# lintian's errors are faults of the package; warnings and notes are shown only.
deb_lintian() {
  local report
  report=$(lintian --tag-display-limit 0 "$deb" 2>&1)
  local status=$?
  [ -n "$report" ] && echo "$report"
  [ "$status" -eq 0 ] && ! grep -q '^E: ' <<<"$report"
}
[ -n "$deb" ] && check "lintian finds no error in the .deb" deb_lintian

# The changelog's newest entry is the version packaged, and the copyright file
# is machine-readable with the licence's text.
deb_changelog_copyright() {
  local tree=$work/deb-tree top
  dpkg-deb -x "$deb" "$tree" || return 1
  top=$(zcat "$tree/usr/share/doc/pelorin/changelog.gz" | head -n 1)
  grep -q "^pelorin ($(dpkg-deb -f "$deb" Version)) " <<<"$top" || { echo "changelog starts: $top"; return 1; }
  grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$tree/usr/share/doc/pelorin/copyright" &&
    grep -q '^License: Expat$' "$tree/usr/share/doc/pelorin/copyright" &&
    grep -q 'Permission is hereby granted' "$tree/usr/share/doc/pelorin/copyright"
}
[ -n "$deb" ] && check "the changelog matches the version, the copyright file is DEP-5" deb_changelog_copyright

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
# Each installed page is found by man under its own name, renders without
# a warning from groff, and its footer names the version packaged.
man_pages_render() {
  local page name warnings rendered footer version
  version=$(dpkg-deb -f "$deb" Version) || return 1
  for page in "${man_pages[@]}"; do
    name=$(basename "$page" .1.gz)
    [ "$(man -w "$name")" = "/usr/share/man/man1/$name.1.gz" ] || { echo "man -w $name: not installed"; return 1; }
    rendered=$(MANWIDTH=80 man "$name" 2>/dev/null)
    grep -q "^NAME" <<<"$rendered" || { echo "man $name shows nothing"; return 1; }
    footer=$(grep . <<<"$rendered" | tail -n 1)
    [[ "$footer" == "pelorin $version "* ]] || { echo "man $name: footer \"$footer\", not pelorin $version"; return 1; }
    warnings=$(LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "/usr/share/man/man1/$name.1.gz" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "man $name: $warnings"; return 1; }
  done
}
# The example units as systemd reads them, with the programs they name
# installed; an instance name stands in for the template's.
example_units_verify() {
  local units=$work/units
  mkdir -p "$units" &&
    cp /usr/share/doc/pelorin/examples/pelorin@.service /usr/share/doc/pelorin/examples/pelorin@.timer \
      /usr/share/doc/pelorin/examples/pelorin-segments@.service "$units/" &&
    (cd "$units" && systemd-analyze verify ./pelorin@news.service ./pelorin@news.timer ./pelorin-segments@news.service)
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
  check "every man page is installed and renders cleanly" man_pages_render
  check "systemd-analyze verify accepts the example units" example_units_verify
  check "pelorin-send and pelorin-check run" tools_run
  check "the installed programs record and verify a stream" installed_programs_record
  remove_deb() {
    dpkg -r pelorin >/dev/null && installed="" && [ ! -e /usr/bin/pelorin ] && [ ! -e /usr/share/man/man1/pelorin.1.gz ] &&
      [ ! -e /usr/share/doc/pelorin/examples ]
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
# Self-contained: it may import only DLLs that every Windows has (iphlpapi: the
# IP Helper API, which names interfaces; part of Windows since 2000).
zip_exe_self_contained() {
  local exe dlls
  exe=$(ls "$work"/zip/*/pelorin.exe) || return 1
  dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u) || return 1
  echo "pelorin.exe imports: $(echo $dlls)"
  [ -n "$dlls" ] && ! grep -qvE '^(kernel32|msvcrt|ws2_32|iphlpapi|ucrtbase|api-ms-win-.*)\.dll$' <<<"$dlls"
}
if [ -n "$zip" ]; then
  check "the .zip holds pelorin.exe and README.txt" zip_contents
  check "pelorin.exe needs only Windows' own DLLs" zip_exe_self_contained
fi

verdict
