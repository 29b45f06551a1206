#!/usr/bin/env bash
# pelorin-inspect on streams from a real multiplexer: Debian's ffmpeg makes a
# 6-second transport stream (MPEG-2 video, MP2 audio, null packets from
# -muxrate), tests/tools/inject_faults.py puts one fault into a copy at a
# time, and every count in pelorin-inspect's JSON must be exactly what that
# fault causes (PCR accuracy too: -muxrate makes the rate constant). Also: RTP
# wrapping and one lost datagram, --strip-rtp giving back the plain file byte
# for byte, pelorin-check counting no continuity
# error on the clean stream, and a 20-second H.264 stream whose video (the
# PCR's PID) is cut after 5 s, alone and beside a second program, or goes on
# without its PCR. Files only, no network.
# The last line is "N passed, N failed".
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."

. tests/checks.sh

scripts/install-deps ffmpeg || { failed=1; verdict; }
cmake --preset default >/dev/null && cmake --build --preset default -j "$(nproc)" >/dev/null || { failed=1; verdict; }

inspect=build/default/tools/pelorin-inspect
pcheck=build/default/tools/pelorin-check
inject="python3 tests/tools/inject_faults.py"
work=$(mktemp -d /tmp/pelorin-inspect.XXXXXX)
trap 'rm -rf "$work"' EXIT

# ffmpeg's PIDs: PAT 0, SDT 17, PMT 4096, video 256 (with the PCR), audio 257, null 8191.
make_stream() {
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 6 \
    -c:v mpeg2video -b:v 1M -c:a mp2 -b:a 128k -f mpegts -muxrate 2M "$work/clean.ts"
}
check "ffmpeg makes a multiplexed stream" make_stream
[ -s "$work/clean.ts" ] || verdict

# expect FILE STATUS key=value... [-- extra inspect options]: runs pelorin-inspect --json and
# compares the exit status and every listed key; the error counts not listed must be 0.
expect() {
  local file=$1 status=$2
  shift 2
  local out got
  out=$("$inspect" --json "$file")
  got=$?
  [ "$got" -eq "$status" ] || { echo "exit $got, wanted $status: $out"; return 1; }
  python3 - "$out" "$@" <<'EOF'
import json, sys
report = json.loads(sys.argv[1])
want = {k: 0 for k in ("ts_sync_loss", "sync_byte_errors", "pat_errors", "cc_errors", "pmt_errors",
                       "pid_errors", "crc_errors", "pcr_repetition_errors", "pcr_discontinuity_errors",
                       "pcr_accuracy_errors", "rtp_gaps", "rtp_lost", "reordered")}
want["rtp"] = False
for item in sys.argv[2:]:
    key, value = item.split("=", 1)
    want[key] = json.loads(value)

def get(key):
    value = report
    for part in key.split("."):
        value = value[part]
    return value

wrong = [f"{k}: {get(k)!r}, wanted {v!r}" for k, v in want.items() if get(k) != v]
if wrong:
    print("; ".join(wrong))
    sys.exit(1)
EOF
}

clean_report() {
  expect "$work/clean.ts" 0 || return 1
  python3 - "$("$inspect" --json "$work/clean.ts")" <<'EOF'
import json, sys
r = json.loads(sys.argv[1])
pids = r["pids"]
# -muxrate makes the rate constant: PCR accuracy is judged on all but the first 11 PCRs.
ok = (5.8 < r["duration_s"] < 6.1 and abs(r["bitrate_bps"] - 2e6) < 2e4 and r["pcr_pid"] == 256
      and r["pcr_accuracy_judged"] > 250
      and {"0", "256", "257", "4096", "8191"} <= set(pids) and pids["8191"]["packets"] > 0
      and sum(p["packets"] for p in pids.values()) == r["packets"] == r["bytes"] // 188)
if not ok:
    print(r)
sys.exit(0 if ok else 1)
EOF
}
check "the clean stream: no error, PCR accuracy judged, 6 s at 2 Mbit/s, every PID" clean_report

pelorin_check_cc() {
  local cc
  cc=$("$pcheck" --json "$work/clean.ts" | python3 -c 'import json,sys; print(json.load(sys.stdin)["cc_errors"])')
  [ "$cc" = 0 ] || { echo "pelorin-check: $cc cc errors"; return 1; }
}
check "pelorin-check counts no continuity error on the clean stream" pelorin_check_cc

$inject drop-packet --pid 256 "$work/clean.ts" "$work/drop.ts"
check "a video packet removed: 1 cc error, on PID 256" expect "$work/drop.ts" 1 cc_errors=1 pids.256.cc_errors=1

$inject bad-sync --pid 256 "$work/clean.ts" "$work/sync.ts"
check "a sync byte changed: 1 sync byte error, and its packet's cc error" \
  expect "$work/sync.ts" 1 sync_byte_errors=1 cc_errors=1

$inject break-crc "$work/clean.ts" "$work/crc.ts"
check "a PAT CRC broken: 1 CRC error (priority 2: exit 0)" expect "$work/crc.ts" 0 crc_errors=1

pat_gap() {
  local replaced
  replaced=$($inject drop-pat 2.0 2.8 "$work/clean.ts" "$work/pat.ts") || return 1
  [ "$replaced" -ge 6 ] || { echo "only $replaced PATs replaced"; return 1; }
  # PID 0's counter jumps by what was left out, an error unless that is a multiple of 16.
  expect "$work/pat.ts" 1 pat_errors=1 cc_errors=$((replaced % 16 ? 1 : 0))
}
check "PAT absent for 0.8 s: 1 PAT error" pat_gap

rtp_clean() {
  $inject rtp-wrap "$work/clean.ts" "$work/rtp.ts" &&
    expect "$work/rtp.ts" 0 rtp=true "packets=$(($(stat -c %s "$work/clean.ts") / 188))" &&
    "$inspect" --strip-rtp "$work/stripped.ts" "$work/rtp.ts" >/dev/null &&
    cmp "$work/stripped.ts" "$work/clean.ts"
}
check "RTP-wrapped: found, no error; --strip-rtp gives back the file byte for byte" rtp_clean
rtp_padded() {
  local datagrams=$(( ($(stat -c %s "$work/clean.ts") / 188 + 6) / 7 ))
  $inject rtp-wrap --padding 20 "$work/clean.ts" "$work/rtp-pad.ts" &&
    expect "$work/rtp-pad.ts" 0 rtp=true "packets=$(($(stat -c %s "$work/clean.ts") / 188))" \
      "rtp_padding_bytes=$((datagrams * 20))" &&
    "$inspect" --strip-rtp "$work/stripped-pad.ts" "$work/rtp-pad.ts" >/dev/null &&
    cmp "$work/stripped-pad.ts" "$work/clean.ts"
}
check "RTP with 20 bytes of padding per datagram: found, padding removed, no error" rtp_padded
parity() {
  $inject parity-204 "$work/clean.ts" "$work/parity.ts" &&
    expect "$work/parity.ts" 0 packet_size=204 "packets=$(($(stat -c %s "$work/clean.ts") / 188))"
}
check "204-byte packets: read as 188 and 16 bytes of parity, no error" parity
pcr_step() {  # pcr_step SECONDS: every PCR from 3 s on moved by SECONDS, without the flag
  $inject pcr-step "$1" 3.0 "$work/clean.ts" "$work/step.ts" &&
    expect "$work/step.ts" 0 pcr_discontinuity_errors=1 &&
    "$inspect" --json "$work/step.ts" | python3 -c '
import json, sys
r = json.load(sys.stdin)
sys.exit(0 if 5.8 < r["duration_s"] < 6.1 else "duration %s" % r["duration_s"])'
}
check "a PCR step of +0.5 s without the flag: one PCR_discontinuity_indicator_error, 6 s" pcr_step 0.5
check "a PCR step of +8 s without the flag: one PCR_discontinuity_indicator_error, 6 s" pcr_step 8
check "a PCR step of -2 s without the flag: one PCR_discontinuity_indicator_error, 6 s" pcr_step -2
# Small steps are no new time base but PCRs off their position: from 3 s on
# every PCR 10 us later is one PCR_accuracy_error (the first; the rest are in
# line with it), 0.4 us later is within the 500 ns.
pcr_nudge() {  # pcr_nudge SECONDS ERRORS
  $inject pcr-step "$1" 3.0 "$work/clean.ts" "$work/nudge.ts" && expect "$work/nudge.ts" 0 "pcr_accuracy_errors=$2"
}
pcr_nudges() { pcr_nudge 0.00001 1 && pcr_nudge 0.0000004 0; }
check "every PCR from 3 s on 10 us later: one PCR_accuracy_error; 0.4 us later: none" pcr_nudges
pcr_stop() {  # the video PID goes on, its PCRs taken out for a second: one repetition error
  local taken
  taken=$($inject pcr-stop 2.0 3.0 "$work/clean.ts" "$work/nopcr.ts") || return 1
  [ "$taken" -ge 10 ] || { echo "only $taken PCRs taken out"; return 1; }
  expect "$work/nopcr.ts" 0 pcr_repetition_errors=1
}
check "no PCR for 1 s while its PID goes on: one PCR_repetition_error" pcr_stop
# Null packets inserted between two PCRs whose values stay: the bytes between
# are placed by interpolation, so however many there are, PAT, PMT and PIDs
# are on time and the duration is the PCRs' span. At this constant rate the
# PCR after them is off by their time (0.75 s or 2.26 s): one
# PCR_accuracy_error; the next ones are in line with it again.
nulls_between() {  # nulls_between COUNT
  $inject insert-nulls "$1" 3.0 "$work/clean.ts" "$work/nulls-$1.ts" &&
    expect "$work/nulls-$1.ts" 0 clock_estimated_s=0.0 "packets=$(($(stat -c %s "$work/clean.ts") / 188 + $1))" \
      pcr_accuracy_errors=1 &&
    "$inspect" --json "$work/nulls-$1.ts" | python3 -c '
import json, sys
r = json.load(sys.stdin)
sys.exit(0 if 5.8 < r["duration_s"] < 6.1 else "duration %s" % r["duration_s"])'
}
check "1000 null packets between two PCRs: one PCR_accuracy_error, no other, 6 s" nulls_between 1000
check "3000 null packets between two PCRs: the same" nulls_between 3000

# The datagram left out holds only null and payload-only video packets: one gap, one video cc error.
$inject rtp-wrap --drop-middle --pid 256 "$work/clean.ts" "$work/rtp-gap.ts"
check "an RTP datagram removed: 1 gap, 1 cc error" \
  expect "$work/rtp-gap.ts" 1 rtp=true rtp_gaps=1 rtp_lost=1 cc_errors=1 pids.256.cc_errors=1

# The clock's PID stops: its packets from 5 s on become null packets, as in a
# CBR multiplex whose video input stopped. The clock goes on by the last rate,
# or by the other program's PCRs; the video PID's silence is one PID_error.
make_h264() {  # make_h264 OUT [more ffmpeg options]: 20 s of H.264 and MP2 at 4 Mbit/s
  local out=$1
  shift
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 \
    -f lavfi -i testsrc2=size=320x240:rate=25 -t 20 "$@" \
    -c:v libx264 -b:v 1M -c:a mp2 -b:a 128k -f mpegts -muxrate 4M "$out"
}
check "ffmpeg makes H.264 streams, one program and two" \
  make_h264 "$work/one.ts" -map 0:v -map 1:a &&
  make_h264 "$work/two.ts" -map 0:v -map 1:a -map 2:v -program title=A:st=0:st=1 -program title=B:st=2
clock_pid_cut() {
  $inject drop-pid --pid 256 5 99 "$work/one.ts" "$work/one-cut.ts" >/dev/null &&
    expect "$work/one-cut.ts" 1 pid_errors=1 clock_pids=[256] || return 1
  local est first
  est=$("$inspect" --json "$work/one-cut.ts" | python3 -c 'import json,sys; print(round(json.load(sys.stdin)["clock_estimated_s"]))')
  [ "$est" = 15 ] || { echo "clock estimated for $est s, wanted about 15"; return 1; }
  # Either program's video (256 or 258) may carry the clock first; the other takes over.
  first=$("$inspect" --json "$work/two.ts" | python3 -c 'import json,sys; print(json.load(sys.stdin)["pcr_pid"])')
  $inject drop-pid --pid "$first" 5 99 "$work/two.ts" "$work/two-cut.ts" >/dev/null &&
    expect "$work/two-cut.ts" 1 pid_errors=1 clock_estimated_s=0.0 "clock_pids=[$first,$((first == 256 ? 258 : 256))]"
}
check "the clock's PID cut after 5 s: one PID_error, exit 1, the clock goes on" clock_pid_cut
# The clock's PID goes on carrying video but no PCR from 5 s to the end: one
# PCR_repetition_error (priority 2: exit 0), and the other program's PCRs carry
# the clock from 40 ms after its last PCR (not 0.5 s, as for a PID that stops).
clock_pcr_stops() {
  local first
  first=$("$inspect" --json "$work/two.ts" | python3 -c 'import json,sys; print(json.load(sys.stdin)["pcr_pid"])')
  $inject pcr-stop --pid "$first" 5 99 "$work/two.ts" "$work/two-nopcr.ts" >/dev/null &&
    expect "$work/two-nopcr.ts" 0 pcr_repetition_errors=1 clock_estimated_s=0.0 \
      "clock_pids=[$first,$((first == 256 ? 258 : 256))]" || return 1
  "$inspect" "$work/two-nopcr.ts" | head -n 1 | grep -Eq 'then of PID [0-9]+ from 5\.0[0-7][0-9] s\)' ||
    { "$inspect" "$work/two-nopcr.ts" | head -n 1; return 1; }
}
check "the clock's PCRs stop after 5 s while its PID goes on: one PCR_repetition_error, the clock goes on" \
  clock_pcr_stops

# Without -muxrate the rate follows the pictures, several times the last
# pair's between two PCRs 40 ms apart: no PCR error, and PCR accuracy is not
# judged (no constant rate to judge it by), as the report says.
variable_rate() {
  ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 -t 6 \
    -c:v mpeg2video -b:v 1M -c:a mp2 -b:a 128k -f mpegts -pcr_period 20 "$work/vbr.ts" &&
    expect "$work/vbr.ts" 0 pcr_accuracy_judged=0 &&
    "$inspect" "$work/vbr.ts" | grep -q '^PCR_accuracy_error not judged'
}
check "a variable-rate stream, PCRs 40 ms apart by value: no PCR error, accuracy not judged" variable_rate

usage() {
  "$inspect" "$work/none.ts" >/dev/null 2>&1
  [ $? -eq 2 ] || return 1
  "$inspect" --bogus "$work/clean.ts" >/dev/null 2>&1
  [ $? -eq 2 ] || return 1
  "$inspect" --strip-rtp "$work/clean.ts" "$work/clean.ts" >/dev/null 2>&1
  [ $? -eq 2 ] && [ -s "$work/clean.ts" ] || return 1
  "$inspect" --help | grep -q Examples &&
    "$inspect" - <"$work/clean.ts" | tail -n 1 | grep -q '^OK: no priority-1 errors$'
}
check "usage and I/O errors exit 2; standard input; the text report" usage

verdict
