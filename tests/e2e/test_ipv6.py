"""End to end, IPv6: groups any-source and source-specific, interfaces by
address and by name, on lo and on the veth pair."""

import contextlib
import json
import os
import socket
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import VETH_LINK_LOCAL6, VETH_LOCAL6, VETH_PEER6, VETH_PEER6_OTHER, posix_only, record  # noqa: E402


WSAENOPROTOOPT = 10042


def setUpModule():
    harness.set_up_network()


@contextlib.contextmanager
def lo_member(group, port):
    """Another socket of this host joined to `group` on lo at `port`, so that
    the group's datagrams on lo are taken in, and only the recording's own
    interface choice can keep them out of it."""
    ipv6 = ":" in group
    with socket.socket(socket.AF_INET6 if ipv6 else socket.AF_INET, socket.SOCK_DGRAM) as member:
        member.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        member.bind(("::" if ipv6 else "0.0.0.0", port))
        if ipv6:
            member.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP, socket.inet_pton(socket.AF_INET6, group) +
                              struct.pack("@I", socket.if_nametoindex("lo")))
        else:
            member.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                              socket.inet_aton(group) + socket.inet_aton("127.0.0.1"))
        yield port


def stream(group, port, count, interface, first=0, rate=2000):
    return ["--group", group, "--port", port, "--interface", interface, "--count", count, "--rate", rate,
            "--start-index", first]


class Ipv6(harness.RecorderTestCase):
    def test_any_source_group_on_loopback(self):
        # The one case the Windows build runs too.
        port = harness.next_port()
        out = self.path("lo6.ts")
        result = record(["-i", "0", "-m", "ff0e::1:2", "-p", port, "-l", 3, "-f", out],
                        senders=[stream("ff0e::1:2", port, 1500, "lo")])
        if (harness.windows_build() and "wine" in os.environ.get("PELORIN_LAUNCHER", "") and
                result.returncode == harness.hresult_from_win32(WSAENOPROTOOPT) and
                result.lines[:1] == ["Joining multicast group failed: %d" % WSAENOPROTOOPT]):
            self.skipTest("Wine refuses MCAST_JOIN_GROUP at IPPROTO_IPV6 (WSAENOPROTOOPT, 10042): it has no "
                          "protocol-independent join, which the IPv6 recording uses")
        self.assertRecorded(result)
        self.assertExact(out, 1500, 0)

    @posix_only("the veth cases need the sockets of the POSIX build")
    def test_group_by_interface_address_and_name_only_from_that_interface(self):
        # Each recording names veth0 in one way; a stream on lo to the same
        # group and port must stay out of it. The name serves IPv4 as well.
        for interface, group, peer, other in ((VETH_LOCAL6, "ff0e::77", VETH_PEER6, "lo"),
                                              ("veth0", "ff0e::77", VETH_PEER6, "lo"),
                                              (VETH_LINK_LOCAL6 + "%veth0", "ff12::77", VETH_PEER6, "lo"),
                                              ("veth0", "239.255.0.77", harness.VETH_PEER, "127.0.0.1")):
            with self.subTest(interface=interface, group=group), lo_member(group, harness.next_port()) as port:
                out = self.path("veth6-%d.ts" % port)
                result = record(["-i", interface, "-m", group, "-p", port, "-l", 3, "-f", out],
                                senders=[stream(group, port, 1000, peer),
                                         stream(group, port, 1000, other, first=500000)])
                self.assertRecorded(result)
                self.assertExact(out, 1000, 0)

    @posix_only("source filtering of the POSIX build")
    def test_source_specific_group_holds_only_its_own_source(self):
        port = harness.next_port()
        group = "ff3e::1234"
        out, report = self.path("ssm6.ts"), self.path("ssm6.json")
        result = record(["--report=" + report, "-i", "veth0", "-m", f"{VETH_PEER6}@{group}", "-p", port, "-l", 3,
                         "-f", out],
                        senders=[stream(group, port, 1000, VETH_PEER6),
                                 stream(group, port, 1000, VETH_PEER6_OTHER, first=500000)])
        self.assertRecorded(result)
        self.assertExact(out, 1000, 0)
        # The kernel's arrival times and drop count, as for IPv4.
        with open(report, encoding="utf-8") as f:
            figures = json.load(f)
        self.assertEqual((figures["datagrams"], figures["timestamp_source"], figures["host_drops"]),
                         (1000, "kernel", 0))

    @posix_only("Windows lets unicast to the bound address in (docs/windows.md)")
    def test_unicast_and_other_groups_at_the_port_stay_out(self):
        port = harness.next_port()
        group, other_group = "ff0e::9", "ff0e::10"
        out = self.path("only6.ts")

        def intrude(process):
            with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as intruder, \
                    socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as member:
                # Another group at the port, joined by another socket on this
                # host: bound to that group, so that unicast finds only the
                # recording's socket to go to.
                member.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                member.bind((other_group, port))
                member.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP,
                                  socket.inet_pton(socket.AF_INET6, other_group) + bytes(4))
                intruder.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_HOPS, 0)
                for _ in range(20):
                    for target in ("::1", VETH_LOCAL6, other_group):
                        intruder.sendto(b"not the group!!!", (target, port))
                    time.sleep(0.02)

        result = record(["-i", "0", "-m", group, "-p", port, "-l", 2, "-f", out],
                        senders=[stream(group, port, 1000, "lo", rate=1000)], during=intrude)
        self.assertRecorded(result)
        self.assertExact(out, 1000, 0)


class Ipv6Failures(harness.RecorderTestCase):
    @posix_only("Wine binds an absent address to the any-address, and then has no IPv6 join")
    def test_held_port_and_absent_address_fail_the_bind(self):
        # fd77::1 is veth0's, not lo's: the zone must name the interface that
        # has the address. 0.0.0.1 (-i 1) is no address of this host, whatever
        # interface 1 is.
        for interface, group, hold in (("0", "ff0e::5", True), ("2001:db8::99", "ff0e::5", False),
                                       (VETH_LOCAL6 + "%lo", "ff0e::5", False), ("1", "239.255.0.5", False)):
            with self.subTest(interface=interface):
                port = harness.next_port()
                # A socket without address reuse holds the port for itself.
                with socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as holder:
                    if hold:
                        holder.bind(("::", port))
                    result = record(["-i", interface, "-m", group, "-p", port, "-l", 30,
                                     "-f", self.path(f"never{port}", "x.ts")])
                self.assertEqual(result.returncode, harness.exit_status(harness.BIND_FAILED), result.stdout)
                self.assertEqual(len(result.lines), 1, result.stdout)
                self.assertRegex(result.lines[0], harness.FINISH_LINE)
                self.assertFalse(os.path.exists(self.path(f"never{port}")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
