"""Write failures of the real program: the file system refuses bytes in the
middle of a chunk, exactly at a chunk boundary, or when the buffered tail is
flushed at close; the reader of a named pipe recorded into goes away. Each is reported once, stops the recording at once, exits
with E_FAIL, and leaves the bytes before the failure intact.

A file-size limit on the recorder (RLIMIT_FSIZE) makes the failure
come at an exact byte; a tap socket in the same namespace receives the same
datagrams as the recorder and tells what the file must begin with.
"""

import os
import shlex
import socket
import struct
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import E_FAIL, exit_status, record  # noqa: E402

GROUP = "239.255.7.1"
CHUNK = 65800
WRITE_FAILED = "Error occurred while writing output file."


def setUpModule():
    harness.set_up_network()


class Tap:
    """Receives the group's datagrams alongside the recorder."""

    def __init__(self, group, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, 33, 8 << 20)  # SO_RCVBUFFORCE
        self.sock.bind(("", port))
        membership = struct.pack("4s4s", socket.inet_aton(group), socket.inet_aton("0.0.0.0"))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
        self.sock.settimeout(0.2)
        self.payloads = []
        self.stopping = False
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        while not self.stopping:
            try:
                self.payloads.append(self.sock.recv(65536))
            except socket.timeout:
                pass

    def stream(self):
        """Everything received, once the senders have ended: what is still in
        the socket's buffer (a busy machine may not have run the thread) is
        read until nothing more comes for a while."""
        self.stopping = True
        self.thread.join()
        self.sock.settimeout(0.5)
        try:
            while True:
                self.payloads.append(self.sock.recv(65536))
        except socket.timeout:
            pass
        self.sock.close()
        return b"".join(self.payloads)


def record_with_size_limit(limit, args, senders):
    """Records with a file-size limit on the recorder alone. SIGXFSZ is
    ignored in a shell that then execs the recorder (Python's subprocess
    would restore it to its default), so a write past the limit fails with
    EFBIG instead of ending the process."""
    previous = os.environ.get("PELORIN_LAUNCHER", "")
    wrapper = ["prlimit", f"--fsize={limit}", "sh", "-c", 'trap "" XFSZ; exec "$@"', "sh"]
    os.environ["PELORIN_LAUNCHER"] = " ".join(shlex.quote(word) for word in wrapper) + " " + previous
    try:
        return record(args, senders=senders, timeout=90)
    finally:
        os.environ["PELORIN_LAUNCHER"] = previous


class WriteFailures(harness.RecorderTestCase):
    def run_case(self, limit, length, sender):
        port = harness.next_port()
        out = self.path("out.ts")
        tap = Tap(GROUP, port)
        try:
            result = record_with_size_limit(
                limit, ["-i", "0", "-m", GROUP, "-p", port, "-l", length, "-f", out],
                [["--group", GROUP, "--port", port] + sender])
        finally:
            sent = tap.stream()
        stored_size = os.path.getsize(out) if os.path.exists(out) else None
        # The system's own words for it, on standard error.
        self.assertEqual(result.stderr, f"pelorin: write {out}: File too large (27)\n")
        self.assertEqual(result.returncode, exit_status(E_FAIL), f"{result.stdout} stored {stored_size} bytes")
        self.assertEqual(len(result.lines), 3, result.stdout)
        self.assertRegex(result.lines[0], harness.START_LINE)
        self.assertEqual(result.lines[1], WRITE_FAILED)
        self.assertRegex(result.lines[2], harness.FINISH_LINE)
        with open(out, "rb") as f:
            stored = f.read()
        self.assertGreater(len(sent), limit, "the sender must offer more than the limit")
        self.assertEqual(len(stored), limit)
        self.assertTrue(stored == sent[:limit], "the stored bytes are not the stream's first bytes")
        return result

    def test_disk_refuses_bytes_in_the_middle_of_a_chunk(self):
        # Two full chunks and 5000 bytes of the third, which is cut there.
        result = self.run_case(2 * CHUNK + 5000, 30, ["--count", 300, "--rate", 2000])
        self.assertLess(result.elapsed, 20)  # stopped at once, not after 30 s

    def test_disk_refuses_the_first_byte_of_a_chunk(self):
        result = self.run_case(2 * CHUNK, 30, ["--count", 300, "--rate", 2000])
        self.assertLess(result.elapsed, 20)

    def test_full_file_system_in_the_middle_of_a_chunk(self):
        # A 128 KiB tmpfs holds one full chunk and part of the second. Small,
        # so that few datagrams must arrive before it is full: on a busy
        # machine a long stream risks losses at the socket that would hide
        # what this test is about.
        mount = self.path("small")
        os.mkdir(mount)
        harness.run(["mount", "-t", "tmpfs", "-o", "size=128k", "tmpfs", mount])
        try:
            port = harness.next_port()
            out = os.path.join(mount, "out.ts")
            tap = Tap(GROUP, port)
            try:
                result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 30, "-f", out],
                                senders=[["--group", GROUP, "--port", port, "--count", 300, "--rate", 2000]],
                                timeout=90)
            finally:
                sent = tap.stream()
            stored_size = os.path.getsize(out) if os.path.exists(out) else None
            self.assertEqual(result.stderr, f"pelorin: write {out}: No space left on device (28)\n")
            self.assertEqual(result.returncode, exit_status(E_FAIL), f"{result.stdout} stored {stored_size} bytes")
            self.assertEqual(result.lines[1:], [WRITE_FAILED, result.lines[-1]])
            self.assertRegex(result.lines[-1], harness.FINISH_LINE)
            self.assertLess(result.elapsed, 20)
            with open(out, "rb") as f:
                stored = f.read()
            self.assertGreater(len(stored), CHUNK)
            self.assertLess(len(stored), 2 * CHUNK)
            self.assertTrue(stored == sent[:len(stored)],
                            f"the stored bytes are not the stream's first bytes: {harness.check(out)}")
        finally:
            harness.run(["umount", mount], check=False)

    def test_buffered_tail_cannot_be_flushed_at_close(self):
        # 500-byte datagrams: two chunks of 132 datagrams (66000 bytes) are
        # written whole; the last datagram, 500 bytes, is still in the
        # stream's buffer when the file is closed, and cannot be stored.
        self.run_case(2 * 66000, 1, ["--mode", "raw", "--size", 500, "--count", 265, "--rate", 2000])


class BrokenPipe(harness.RecorderTestCase):
    def test_reader_of_a_named_pipe_goes_away(self):
        # A pipe's reader that leaves is a failed write like any other (as on
        # Windows), not a signal that ends the recorder without a word.
        port = harness.next_port()
        fifo = self.path("live.ts")
        os.mkfifo(fifo)
        wanted = 100000
        received = []

        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # lets the recorder's open go ahead
        os.set_blocking(reader, True)

        def read_some_then_leave():
            got = 0
            while got < wanted:
                block = os.read(reader, wanted - got)
                if not block:
                    break
                received.append(block)
                got += len(block)
            os.close(reader)

        # Started once the recorder has opened the pipe (its start line comes
        # after the open): before, a read would see no writer and end at once.
        thread = threading.Thread(target=read_some_then_leave)
        tap = Tap(GROUP, port)
        try:
            result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 30, "-f", fifo],
                            senders=[["--group", GROUP, "--port", port, "--count", 600, "--rate", 2000]],
                            timeout=90, before_senders=thread.start)
        finally:
            sent = tap.stream()
            if thread.is_alive():
                thread.join(timeout=30)
        self.assertEqual(result.stderr, f"pelorin: write {fifo}: Broken pipe (32)\n")
        self.assertEqual(result.returncode, exit_status(E_FAIL), result.stdout)
        self.assertEqual(len(result.lines), 3, result.stdout)
        self.assertEqual(result.lines[1], WRITE_FAILED)
        self.assertRegex(result.lines[2], harness.FINISH_LINE)
        self.assertLess(result.elapsed, 20)
        stored = b"".join(received)
        self.assertEqual(len(stored), wanted)
        self.assertTrue(stored == sent[:wanted], "the bytes read are not the stream's first bytes")


if __name__ == "__main__":
    unittest.main(verbosity=2)
