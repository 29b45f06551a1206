"""End to end: datagrams taken in batches. Back-to-back bursts of mixed sizes,
from empty to the largest, across chunk and segment boundaries: every one
stored whole, byte for byte, and each in one segment file only."""

import os
import random
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import posix_only, record  # noqa: E402

GROUP = "239.255.6.1"
# One burst: sizes around every limit (empty, a byte, a packet, a datagram
# of seven, the largest); 24 of them fill several chunks.
SIZES = [0, 1, 2, 187, 188, 1316, 1317, 1500, 4096, 9000, 65507, 3,
         1316, 32000, 65506, 100, 0, 1316, 60000, 7, 1316, 1316, 20000, 12]
BURST_GAP = 0.02
MAX_BURSTS = 40


def setUpModule():
    harness.set_up_network()


def payload(index, size):
    return random.Random(index).randbytes(size)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Batches(harness.RecorderTestCase):

    @posix_only("the batch path is the Linux receive")
    def test_mixed_size_bursts_across_chunk_and_segment_boundaries_are_stored_whole(self):
        port = harness.next_port()
        pattern = self.path("b-%Y%m%d-%H%M%S.ts")
        sent = []

        def send_bursts(process):
            self.assertTrue(harness.wait_for_membership(GROUP))
            # Bursts from 0.15 s before a whole second to 0.15 s after it.
            while not 0.70 <= time.time() % 1 <= 0.80:
                time.sleep(0.01)
            boundary = int(time.time()) + 1
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 0)
                sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
                for _ in range(MAX_BURSTS):
                    if time.time() >= boundary + 0.15:
                        break
                    for size in SIZES:
                        data = payload(len(sent), size)
                        sender.sendto(data, (GROUP, port))
                        sent.append(data)
                    time.sleep(BURST_GAP)

        result = record(["--segment=1", "-i", "0", "-m", GROUP, "-p", port, "-l", 3, "-f", pattern],
                        during=send_bursts)
        self.assertRecorded(result)
        files = sorted(os.path.join(self.dir, name) for name in os.listdir(self.dir))
        contents = [read(path) for path in files]
        expected = b"".join(sent)
        self.assertEqual(len(b"".join(contents)), len(expected), harness.udp_drops())
        self.assertTrue(b"".join(contents) == expected, "the joined segments differ from what was sent")
        # Every cut between files falls between two datagrams, and the bursts
        # were cut at least once.
        ends, total = set(), 0
        for data in sent:
            total += len(data)
            ends.add(total)
        cuts, total = [], 0
        for data in contents[:-1]:
            total += len(data)
            cuts.append(total)
        self.assertTrue(set(cuts) <= ends | {0}, cuts)
        self.assertGreaterEqual(sum(1 for data in contents if data), 2, [len(data) for data in contents])

    @posix_only("the batch path is the Linux receive")
    def test_runs_of_one_size_broken_by_other_sizes_are_stored_whole(self):
        # In one file a batch is received straight into the chunk while its
        # datagrams keep the size the last batch ended with: runs of one size,
        # broken by every other size, across many chunks.
        port = harness.next_port()
        out = self.path("runs.ts")
        # The run of 12-byte ones fills chunks by their count of arrivals
        # (1024), not by bytes, in the middle of a batch.
        burst = [1316] * 40 + SIZES + [188] * 30 + [1316] * 3 + [65507, 1316, 1316, 0, 1316] + [12] * 1100
        sent = []

        def send_bursts(process):
            self.assertTrue(harness.wait_for_membership(GROUP))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 0)
                sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
                for _ in range(12):
                    for size in burst:
                        data = payload(len(sent), size)
                        sender.sendto(data, (GROUP, port))
                        sent.append(data)
                    time.sleep(BURST_GAP)

        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 3, "-f", out], during=send_bursts)
        self.assertRecorded(result)
        expected = b"".join(sent)
        stored = read(out)
        self.assertEqual(len(stored), len(expected), harness.udp_drops())
        self.assertTrue(stored == expected, "the recording differs from what was sent")


if __name__ == "__main__":
    unittest.main()
