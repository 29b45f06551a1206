#!/usr/bin/env python3
"""Injects one fault into a transport stream file, for the pelorin-inspect tests.

    inject_faults.py drop-packet --pid P IN OUT   a payload-only packet of P, mid-file, removed
    inject_faults.py bad-sync --pid P IN OUT      the same packet's sync byte changed to 0x46
    inject_faults.py break-crc IN OUT             one PAT section's CRC, mid-file, broken
    inject_faults.py drop-pat FROM TO IN OUT      PAT packets between FROM and TO seconds of PCR
                                                  time replaced by null packets; prints how many
    inject_faults.py drop-pid --pid P FROM TO IN OUT
                                                  the same for the packets of P (the multiplex keeps
                                                  its rate, as a muxer whose input stopped)
    inject_faults.py rtp-wrap [--drop-middle --pid P] IN OUT
                                                  RTP-wrapped: 12-byte version-2 header, 7 packets
                                                  per datagram; --drop-middle leaves out one
                                                  datagram of only null and payload-only P packets
    inject_faults.py parity-204 IN OUT            16 bytes of (uncomputed) parity after each packet
    inject_faults.py pcr-step STEP AT IN OUT      every PCR from AT seconds on moved by STEP seconds
    inject_faults.py pcr-stop [--pid P] FROM TO IN OUT
                                                  P's PCRs in [FROM, TO) seconds taken out, the
                                                  packets kept; prints how many
    inject_faults.py insert-nulls N AT IN OUT      N null packets inserted right after the clock's
                                                  first PCR at AT seconds or later (PCR values kept)
"""

import argparse
import struct
import sys

SIZE = 188
NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * 184


def packets(data):
    if len(data) % SIZE:
        sys.exit("not whole 188-byte packets")
    return [bytearray(data[i:i + SIZE]) for i in range(0, len(data), SIZE)]


def pid_of(p):
    return ((p[1] & 0x1F) << 8) | p[2]


def plain_payload(p, pid):
    """A packet of pid with payload only (no adaptation field, so no PCR) and no unit start."""
    return pid_of(p) == pid and (p[3] & 0x30) == 0x10 and not p[1] & 0x40


def middle_index(pkts, accept):
    for i in range(len(pkts) // 2, len(pkts)):
        if accept(pkts[i]):
            return i
    sys.exit("no packet to change")


def pcr_seconds(pkts):
    """Seconds of PCR time (of the first PID with a PCR) at each packet."""
    clock_pid, first, now, out = None, None, 0.0, []
    for p in pkts:
        if p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10:
            base = (p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7)
            pcr = base * 300 + (((p[10] & 1) << 8) | p[11])
            if clock_pid is None:
                clock_pid, first = pid_of(p), pcr
            if pid_of(p) == clock_pid:
                now = (pcr - first) / 27e6
        out.append(now)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("fault", choices=["drop-packet", "bad-sync", "break-crc", "drop-pat", "drop-pid", "rtp-wrap",
                                          "parity-204", "pcr-step", "pcr-stop", "insert-nulls"])
    parser.add_argument("args", nargs="+")
    parser.add_argument("--pid", type=int, default=256)
    parser.add_argument("--drop-middle", action="store_true")
    parser.add_argument("--padding", type=int, default=0, help="rtp-wrap: RTP padding bytes per datagram")
    a = parser.parse_args()
    *extra, src, dst = a.args
    with open(src, "rb") as f:
        pkts = packets(f.read())

    if a.fault == "drop-packet":
        del pkts[middle_index(pkts, lambda p: plain_payload(p, a.pid))]
    elif a.fault == "bad-sync":
        pkts[middle_index(pkts, lambda p: plain_payload(p, a.pid))][0] = 0x46
    elif a.fault == "break-crc":
        i = middle_index(pkts, lambda p: pid_of(p) == 0 and p[1] & 0x40 and (p[3] & 0x30) == 0x10)
        p = pkts[i]
        start = 5 + p[4]
        length = ((p[start + 1] & 0x0F) << 8) | p[start + 2]
        p[start + 3 + length - 1] ^= 0x01  # the CRC's last byte
    elif a.fault in ("drop-pat", "drop-pid"):
        pid = 0 if a.fault == "drop-pat" else a.pid
        begin, end = float(extra[0]), float(extra[1])
        times = pcr_seconds(pkts)
        replaced = 0
        for i, p in enumerate(pkts):
            if pid_of(p) == pid and begin <= times[i] < end:
                pkts[i] = bytearray(NULL_PACKET)
                replaced += 1
        print(replaced)
    elif a.fault == "rtp-wrap":
        groups = [pkts[i:i + 7] for i in range(0, len(pkts), 7)]
        if a.drop_middle:
            def only_plain(group):
                return (any(pid_of(p) == a.pid for p in group) and
                        all(pid_of(p) == 0x1FFF or plain_payload(p, a.pid) for p in group))
            k = next(k for k in range(len(groups) // 2, len(groups)) if only_plain(groups[k]))
        else:
            k = -1
        out = bytearray()
        for seq, group in enumerate(groups):
            if seq == k:
                continue
            out += struct.pack(">BBHII", 0xA0 if a.padding else 0x80, 33, seq & 0xFFFF, (seq * 900) & 0xFFFFFFFF,
                               0x5EED1234)
            out += b"".join(group)
            if a.padding:  # RFC 3550 5.1: the last byte counts the padding, itself included
                out += bytes(a.padding - 1) + bytes([a.padding])
        with open(dst, "wb") as f:
            f.write(out)
        return
    elif a.fault == "pcr-step":  # every PCR from AT seconds on moved by STEP seconds, unflagged
        step, at = float(extra[0]), float(extra[1])
        times = pcr_seconds(pkts)
        for i, p in enumerate(pkts):
            if times[i] >= at and p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10:
                base = (p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7)
                pcr = (base * 300 + (((p[10] & 1) << 8) | p[11]) + round(step * 27e6)) % ((1 << 33) * 300)
                base, ext = divmod(pcr, 300)
                p[6:12] = bytes([base >> 25 & 0xFF, base >> 17 & 0xFF, base >> 9 & 0xFF, base >> 1 & 0xFF,
                                 (base & 1) << 7 | 0x7E | ext >> 8, ext & 0xFF])
    elif a.fault == "pcr-stop":  # P's PCRs in [BEGIN, END) s taken out; their packets stay
        begin, end = float(extra[0]), float(extra[1])
        times = pcr_seconds(pkts)
        taken = 0
        for i, p in enumerate(pkts):
            if pid_of(p) == a.pid and begin <= times[i] < end and p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10:
                p[5] &= ~0x10
                p[6:12] = b"\xff" * 6  # stuffing now
                taken += 1
        print(taken)
    elif a.fault == "insert-nulls":
        count, at = int(extra[0]), float(extra[1])
        times = pcr_seconds(pkts)
        clock = next(pid_of(p) for p in pkts if p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10)
        i = next(i for i, p in enumerate(pkts)
                 if times[i] >= at and pid_of(p) == clock and p[3] & 0x20 and p[4] >= 7 and p[5] & 0x10)
        pkts[i + 1:i + 1] = [bytearray(NULL_PACKET) for _ in range(count)]
    elif a.fault == "parity-204":  # 16 bytes of Reed-Solomon parity after each packet (not computed)
        pkts = [p + bytes(range(16)) for p in pkts]
    with open(dst, "wb") as f:
        f.write(b"".join(pkts))


if __name__ == "__main__":
    main()
