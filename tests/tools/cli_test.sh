#!/bin/sh
# Exit codes and output formats of pelorin-send and pelorin-check, and
# pelorin-inspect's command line (its checks have their own tests).
# Sends only to 127.0.0.1 (unicast, a handful of datagrams).
set -u
SEND=$1
CHECK=$2
INSPECT=${3:-$(dirname "$CHECK")/pelorin-inspect}
status=0
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

fail() { echo "FAIL: $*"; status=1; }
expect_exit() {  # expect_exit CODE WHAT COMMAND...
  want=$1; what=$2; shift 2
  "$@" >"$dir/out" 2>"$dir/err"
  got=$?
  [ "$got" -eq "$want" ] || fail "$what: exit $got, wanted $want ($(cat "$dir/err"))"
}

# pelorin-send
expect_exit 0 "send --help" "$SEND" --help
expect_exit 2 "send without a bound" "$SEND" --group 127.0.0.1 --port 9
grep -q "count" "$dir/err" || fail "send without a bound says nothing useful"
expect_exit 2 "send with two pacings" "$SEND" --group 127.0.0.1 --port 9 --count 1 --rate 1 --bitrate 1
expect_exit 2 "send to a bad address" "$SEND" --group 127.0.0.300 --port 9 --count 1
expect_exit 2 "send --size in ts mode" "$SEND" --group 127.0.0.1 --port 9 --count 1 --size 100
expect_exit 2 "send --pause-after without --pause-ms" "$SEND" --group 127.0.0.1 --port 9 --count 1 --pause-after 1
expect_exit 2 "send a file that is not there" "$SEND" --group 127.0.0.1 --port 9 --count 1 --file "$dir/none.ts"

expect_exit 0 "send 5 raw datagrams" "$SEND" --group 127.0.0.1 --port 9 --count 5 --mode raw --size 100
grep -Eq '^sent 5 datagrams, 500 bytes in [0-9]+\.[0-9]{3} s \([0-9]+\.[0-9]+ Mbit/s\)$' "$dir/out" ||
  fail "send summary line: $(cat "$dir/out")"
[ -s "$dir/err" ] && fail "send wrote to stderr when it is not a terminal: $(cat "$dir/err")"

expect_exit 0 "send --json" "$SEND" --group 127.0.0.1 --port 9 --count 3 --zero-every 1 --json
grep -Eq '^\{"datagrams":3,"zero_datagrams":3,"bytes":3948,"seconds":[0-9.]+,"mbit_per_s":[0-9.]+,"interrupted":false\}$' \
  "$dir/out" || fail "send json: $(cat "$dir/out")"

# pelorin-check
expect_exit 0 "check --help" "$CHECK" --help
: >"$dir/empty.ts"
expect_exit 1 "check an empty file" "$CHECK" "$dir/empty.ts"
[ "$(cat "$dir/out")" = "FAIL: 0 datagrams: the recording holds no datagram" ] || fail "empty verdict: $(cat "$dir/out")"
expect_exit 1 "check an empty file against --expect-count" "$CHECK" --expect-count 1 "$dir/empty.ts"
expect_exit 0 "check an empty file expected empty" "$CHECK" --expect-count 0 "$dir/empty.ts"
expect_exit 1 "check standard input" sh -c "\"$CHECK\" --json - <\"$dir/empty.ts\""
grep -q '"ok":false' "$dir/out" || fail "check json: $(cat "$dir/out")"
expect_exit 2 "check a missing file" "$CHECK" "$dir/none.ts"
expect_exit 2 "check a directory" "$CHECK" "$dir"
expect_exit 2 "check with a bad option" "$CHECK" --bogus "$dir/empty.ts"
expect_exit 2 "check --size in ts mode" "$CHECK" --size 100 "$dir/empty.ts"
expect_exit 2 "check --size 0" "$CHECK" --mode raw --size 0 "$dir/empty.ts"
head -c 2000 /dev/zero >"$dir/zeros.ts"
expect_exit 1 "check garbage" "$CHECK" "$dir/zeros.ts"
grep -q "^FAIL: 1 datagram, .*1 corrupt, 684 trailing bytes, 7 sync errors$" "$dir/out" ||
  fail "garbage verdict: $(cat "$dir/out")"

# pelorin-inspect: no packet at all is no clean stream; --pid-timeout is a number of seconds above 0.
expect_exit 1 "inspect an empty file" "$INSPECT" "$dir/empty.ts"
[ "$(tail -n 1 "$dir/out")" = "ERRORS: no transport stream packets" ] || fail "inspect empty verdict: $(cat "$dir/out")"
expect_exit 1 "inspect --json an empty file" "$INSPECT" --json "$dir/empty.ts"
grep -q '^{"ok":false,' "$dir/out" || fail "inspect empty json: $(cat "$dir/out")"
for value in nan inf -inf 0 -1 1e400 abc ""; do
  expect_exit 2 "inspect --pid-timeout '$value'" "$INSPECT" --pid-timeout "$value" "$dir/zeros.ts"
  [ "$(wc -l <"$dir/err")" -eq 1 ] || fail "inspect --pid-timeout '$value' says: $(cat "$dir/err")"
done
expect_exit 1 "inspect --pid-timeout 0.5 (accepted; garbage fails)" "$INSPECT" --pid-timeout 0.5 "$dir/zeros.ts"

exit $status
