"""End to end: the real recorder, real sockets, the test-stream tools."""

import os
import signal
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import E_FAIL, BIND_FAILED, exit_status, not_under_wine, posix_only, record  # noqa: E402

GROUP = "239.255.0.1"


def setUpModule():
    harness.set_up_network()


class Recording(harness.RecorderTestCase):
    """What lands in the file."""

    def test_transport_stream_is_stored_byte_exact_including_the_last_partial_chunk(self):
        port = harness.next_port()
        out = self.path("ch1.ts")
        # 2171 datagrams: 43 full chunks and 21 datagrams in the partial last one.
        # Moderate rates throughout: these tests are about content, on a busy machine.
        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 3, "-f", out],
                        senders=[["--group", GROUP, "--port", port, "--count", 2171, "--rate", 2000]])
        self.assertRecorded(result)
        self.assertEqual(os.path.getsize(out), 2171 * 1316)
        verdict = self.assertExact(out, 2171, 0, "--mode", "ts")
        self.assertEqual(verdict["cc_errors"], 0)

    def test_largest_datagrams(self):
        port = harness.next_port()
        out = self.path("big.bin")
        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 3, "-f", out],
                        senders=[["--group", GROUP, "--port", port, "--mode", "raw", "--size", 65507,
                                  "--count", 101, "--rate", 200]])
        self.assertRecorded(result)
        self.assertExact(out, 101, 0, "--mode", "raw", "--size", 65507)

    def test_empty_datagrams_mid_stream_store_nothing_and_receiving_goes_on(self):
        port = harness.next_port()
        out = self.path("zero.bin")
        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 3, "-f", out],
                        senders=[["--group", GROUP, "--port", port, "--mode", "raw", "--count", 1500,
                                  "--zero-every", 7, "--rate", 2000]])
        self.assertRecorded(result)
        self.assertExact(out, 1500, 0, "--mode", "raw", "--size", 1316)

    def test_a_slow_stream_that_never_fills_a_chunk_is_still_stored(self):
        port = harness.next_port()
        out = self.path("slow.ts")
        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 2, "-f", out],
                        senders=[["--group", GROUP, "--port", port, "--count", 3, "--interval-ms", 200]])
        self.assertRecorded(result)
        self.assertExact(out, 3, 0)

    def test_no_traffic_gives_an_empty_file_after_the_length(self):
        out = self.path("silent.ts")
        result = record(["-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 1, "-f", out])
        self.assertRecorded(result)
        self.assertEqual(os.path.getsize(out), 0)
        self.assertGreaterEqual(result.elapsed, 1.0)

    def test_length_zero_records_and_ends(self):
        out = self.path("zero-length.ts")
        with open(out, "wb") as old:
            old.write(b"old contents" * 100000)
        result = record(["-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 0, "-f", out])
        self.assertRecorded(result)
        self.assertEqual(os.path.getsize(out), 0)  # truncated at open

    def test_sparse_traffic_does_not_delay_the_stop(self):
        port = harness.next_port()
        out = self.path("sparse.ts")
        # A datagram every 0.9 s for 9 s: the deadline must still be seen.
        sender = harness.start_sender("--group", GROUP, "--port", port, "--count", 10, "--interval-ms", 900)
        try:
            began = time.monotonic()
            result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 2, "-f", out])
            self.assertRecorded(result)
            self.assertLess(time.monotonic() - began, 7.0)
        finally:
            sender.communicate(timeout=30)


class Stalls(harness.RecorderTestCase):
    """What the receive buffer is for: a recorder that cannot run for a while
    (a disk flush, a busy core) finds every datagram still there after it."""

    @posix_only("SIGSTOP stalls the process; under Wine it would stop the launcher, not the recorder")
    def test_three_stalls_of_300_ms_at_50_mbit_lose_nothing(self):
        port = harness.next_port()
        out = self.path("stalls.ts")

        def stall(process):
            read = harness.udp_datagrams_read()
            for _ in range(3):
                # Each stall comes while the stream runs: once the recorder
                # has read another 1000 of its datagrams (about 0.2 s of it).
                self.assertTrue(harness.wait_for_reads(1000, read))
                read = harness.udp_datagrams_read()
                os.kill(process.pid, signal.SIGSTOP)
                time.sleep(0.3)
                os.kill(process.pid, signal.SIGCONT)

        before = harness.udp_drops()
        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 5, "-f", out],
                        senders=[["--group", GROUP, "--port", port, "--bitrate", 50, "--count", 12000]],
                        during=stall)
        self.assertRecorded(result)
        self.assertExact(out, 12000)  # about 2.5 s at 50 Mbit/s: the stalls fall inside it
        self.assertEqual(harness.udp_drops().get("RcvbufErrors"), before.get("RcvbufErrors"))


class Interfaces(harness.RecorderTestCase):
    """Which datagrams a recording receives."""

    def test_explicit_interface_receives_only_its_own_interface(self):
        port = harness.next_port()
        group = "239.255.0.3"
        out = self.path("veth.ts")
        result = record(["-i", harness.VETH_LOCAL, "-m", group, "-p", port, "-l", 3, "-f", out],
                        senders=[["--group", group, "--port", port, "--interface", harness.VETH_PEER,
                                  "--count", 1000, "--rate", 2000],
                                 ["--group", group, "--port", port, "--interface", "127.0.0.1",
                                  "--count", 1000, "--rate", 2000, "--start-index", 500000]])
        self.assertRecorded(result)
        self.assertExact(out, 1000, 0)

    @not_under_wine("a socket bound to 127.0.0.1 gets none of the group there (Linux delivers multicast only to "
                    "sockets bound to the group or the any-address, and Wine passes this bind on as it is)")
    def test_loopback_address_as_interface(self):
        port = harness.next_port()
        group = "239.255.0.4"
        out = self.path("lo.ts")
        result = record(["-i", "127.0.0.1", "-m", group, "-p", port, "-l", 2, "-f", out],
                        senders=[["--group", group, "--port", port, "--interface", "127.0.0.1",
                                  "--count", 1000, "--rate", 2000]])
        self.assertRecorded(result)
        self.assertExact(out, 1000, 0)

    @not_under_wine("its sockets keep Linux's IP_MULTICAST_ALL and IPV6_MULTICAST_ALL, so each recording also "
                    "gets the other group (test_windows.py checks what Wine does instead)")
    def test_two_groups_on_one_port_stay_apart(self):
        # Of each family: (interface, this recording's group, the other's group, where the senders send).
        cases = (("IPv4", "0", GROUP, "239.255.0.2", []),
                 ("IPv6", "lo", "ff0e::1", "ff0e::2", ["--interface", "lo"]))
        for family, interface, group, other_group, route in cases:
            with self.subTest(family=family):
                port = harness.next_port()
                first, second = self.path(f"a-{family}.ts"), self.path(f"b-{family}.ts")
                other = subprocess.Popen(harness.pelorin_command() +
                                         ["-i", interface, "-m", other_group, "-p", str(port), "-l", "3", "-f", second],
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                try:
                    self.assertRegex(other.stdout.readline().strip(), harness.START_LINE)
                    result = record(["-i", interface, "-m", group, "-p", port, "-l", 3, "-f", first],
                                    senders=[["--group", group, "--port", port, "--count", 1500, "--rate", 2000] + route,
                                             ["--group", other_group, "--port", port, "--count", 1500,
                                              "--rate", 2000, "--start-index", 100000] + route])
                finally:
                    out, err = other.communicate(timeout=30)
                self.assertRecorded(result)
                self.assertEqual(other.returncode, 0, out + err)
                self.assertExact(first, 1500, 0)
                self.assertExact(second, 1500, 100000)

    @not_under_wine("test_windows.py runs this case and finds out whether Wine filters by source")
    def test_source_specific_group_holds_only_its_own_source(self):
        port = harness.next_port()
        group = "232.1.1.1"
        senders = [["--group", group, "--port", port, "--interface", harness.VETH_PEER,
                    "--count", 1000, "--rate", 2000],
                   ["--group", group, "--port", port, "--interface", harness.VETH_PEER_OTHER,
                    "--count", 1000, "--rate", 2000, "--start-index", 500000]]
        own, any_source = self.path("ssm.ts"), self.path("asm.ts")
        other = subprocess.Popen(harness.pelorin_command() +
                                 ["-i", harness.VETH_LOCAL, "-m", group, "-p", str(port), "-l", "5",
                                  "-f", any_source],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.assertRegex(other.stdout.readline().strip(), harness.START_LINE)
            result = record(["-i", harness.VETH_LOCAL, "-m", f"{harness.VETH_PEER}@{group}", "-p", port,
                             "-l", 3, "-f", own], senders=senders)
        finally:
            out, err = other.communicate(timeout=30)
        self.assertRecorded(result)
        self.assertExact(own, 1000, 0)
        # The same group from any source: both streams, whole.
        self.assertEqual(other.returncode, 0, out + err)
        self.assertEqual(os.path.getsize(any_source), 2000 * 1316)
        verdict = harness.check(any_source)
        self.assertEqual((verdict["datagrams"], verdict["corrupt"], verdict["duplicates"]), (2000, 0, 0))

    @posix_only("Windows lets unicast to the bound address in (docs/windows.md)")
    def test_a_group_recording_holds_only_datagrams_sent_to_the_group(self):
        # Foreign datagrams of the stream's own size at the recording's port,
        # while the pattern stream runs: any one of them in the file breaks
        # it, and one dropped amid datagrams received in place leaves a gap
        # the next must close.
        second_local = "10.77.0.4"
        harness.run(f"ip addr add {second_local}/24 dev veth0", check=False)
        broadcast = "10.77.0.255"
        for interface, via in (("0", "127.0.0.1"), (harness.VETH_LOCAL, harness.VETH_PEER)):
            with self.subTest(interface=interface):
                port = harness.next_port()
                group = "239.255.0.9"
                out = self.path(f"only-{interface}.ts")

                other_group = "239.255.0.10"

                def intrude(process):
                    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as intruder, \
                            socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as member:
                        # Another group at the port, joined by another socket on this host.
                        member.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                        member.bind(("0.0.0.0", port))
                        member.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                                          socket.inet_aton(other_group) + socket.inet_aton("0.0.0.0"))
                        intruder.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
                        intruder.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 0)
                        intruder.bind((harness.VETH_PEER, 0))
                        for _ in range(20):
                            for target in ("127.0.0.1", harness.VETH_LOCAL, second_local, broadcast, other_group):
                                intruder.sendto((b"not the group!!!" * 83)[:1316], (target, port))
                            time.sleep(0.02)

                result = record(["-i", interface, "-m", group, "-p", port, "-l", 2, "-f", out],
                                senders=[["--group", group, "--port", port, "--interface", via,
                                          "--count", 1000, "--rate", 1000]], during=intrude)
                self.assertRecorded(result)
                self.assertExact(out, 1000, 0)

    def test_unicast_when_the_group_is_not_multicast(self):
        port = harness.next_port()
        out = self.path("unicast.ts")
        result = record(["-i", "0", "-m", "0", "-p", port, "-l", 2, "-f", out],
                        senders=[["--group", "127.0.0.1", "--port", port, "--count", 777, "--rate", 2000]])
        self.assertRecorded(result)
        self.assertExact(out, 777, 0)


class Failures(harness.RecorderTestCase):
    """What a failure looks like: its lines, its exit status, no hanging."""

    def assertOnlyFinishLine(self, result, message=None, cause=""):
        """Standard output as always; on Linux, standard error has the
        system's words for the cause (test_operator.py has them all)."""
        expected = 2 if message else 1
        self.assertEqual(len(result.lines), expected, result.stdout)
        if message:
            self.assertEqual(result.lines[0], message)
        self.assertRegex(result.lines[-1], harness.FINISH_LINE)
        self.assertEqual(result.stderr, "" if harness.windows_build() else cause)

    @not_under_wine("it binds to the any-address instead and fails the join (test_windows.py checks that)")
    def test_address_the_host_lacks_fails_the_bind(self):
        out = self.path("never", "out.ts")
        port = harness.next_port()
        result = record(["-i", "10.99.99.99", "-m", GROUP, "-p", port, "-l", 30, "-f", out])
        self.assertEqual(result.returncode, exit_status(BIND_FAILED))
        self.assertOnlyFinishLine(result, cause=f"pelorin: bind 10.99.99.99:{port}: Cannot assign requested address (99)\n")
        self.assertFalse(os.path.exists(self.path("never")))
        self.assertLess(result.elapsed, 10)

    def test_missing_directory_is_created(self):
        out = self.path("new", "out.ts")
        result = record(["-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 0, "-f", out])
        self.assertRecorded(result)
        self.assertTrue(os.path.isfile(out))

    def test_missing_parent_directory_fails_at_once(self):
        out = self.path("a", "b", "out.ts")
        result = record(["-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 30, "-f", out])
        self.assertEqual(result.returncode, exit_status(E_FAIL))
        self.assertOnlyFinishLine(result, "Error occurred while opening output file.",
                                  f"pelorin: open {out}: No such file or directory (2)\n")
        self.assertLess(result.elapsed, 10)

    @not_under_wine("sockets are made in the wineserver, which stays in the tests' namespace with its route")
    def test_failed_join_is_reported_with_its_error(self):
        # A namespace of its own with no multicast route: the join has no interface.
        command = ("ip link set lo up; exec " +
                   " ".join(harness.pelorin_command()) +
                   f" -i 0 -m {GROUP} -p {harness.next_port()} -l 30 -f {self.path('x.ts')}")
        began = time.monotonic()
        completed = subprocess.run(["unshare", "-n", "sh", "-c", command], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, timeout=30)
        result = harness.Result(completed.returncode, completed.stdout, completed.stderr, time.monotonic() - began)
        self.assertEqual(result.returncode, exit_status(harness.hresult_from_win32(10049)))
        # Standard output keeps the Winsock number; standard error has Linux's own.
        self.assertOnlyFinishLine(result, "Joining multicast group failed: 10049",
                                  f"pelorin: join {GROUP} on 0.0.0.0: No such device (19)\n")
        self.assertFalse(os.path.exists(self.path("x.ts")))

    def test_disk_full_is_reported_and_what_was_written_stays(self):
        mount = self.path("full")
        os.mkdir(mount)
        harness.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount])
        try:
            port = harness.next_port()
            out = os.path.join(mount, "out.ts")
            result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 30, "-f", out],
                            senders=[["--group", GROUP, "--port", port, "--count", 1500, "--rate", 2000]])
            self.assertEqual(result.returncode, exit_status(E_FAIL), result.stdout)
            self.assertEqual(result.lines[1:2], ["Error occurred while writing output file."])
            self.assertRegex(result.lines[-1], harness.FINISH_LINE)
            self.assertLess(result.elapsed, 20)  # stopped at once, not after 30 s
            verdict = harness.check(out)
            self.assertGreater(verdict["datagrams"], 0)
            self.assertEqual(verdict["first"], 0)
            for key in ("gaps", "duplicates", "out_of_order", "corrupt"):
                self.assertEqual(verdict[key], 0, verdict)
        finally:
            harness.run(["umount", mount], check=False)


class CommandLine(harness.RecorderTestCase):
    def test_usage_and_parse_errors(self):
        usage = record([])
        self.assertEqual(usage.returncode, 0)
        self.assertEqual(len(usage.lines), 3)
        self.assertTrue(usage.lines[0].startswith("You must provide exactly 5 arguments"))
        port = record(["-i", "0", "-m", GROUP, "-p", "70000", "-l", "1", "-f", self.path("x")])
        self.assertEqual(port.lines, ["Error occurred while parsing port."])
        self.assertEqual(port.returncode, exit_status(E_FAIL))
        missing = record(["-i", "0", "-m", GROUP, "-P", "5000", "-l", "1", "-f", self.path("x")])
        self.assertEqual(len(missing.lines), 3)
        self.assertEqual(missing.returncode, exit_status(E_FAIL))
        self.assertFalse(os.path.exists(self.path("x")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
