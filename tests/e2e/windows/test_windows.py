#!/usr/bin/env python3
"""End-to-end tests of pelorin.exe under Wine.

Run inside a private network namespace (the script refuses to run where
any interface other than lo exists):

    unshare -n -- python3 test_windows.py --exe build/mingw/pelorin.exe

The namespace gets lo up with the multicast route, and a veth pair whose two
ends both stay in it. The wineserver for a private WINEPREFIX is started
inside the namespace too: Wine creates every socket in wineserver, so that is
where the namespace has to hold. Exit codes are read as full 32-bit values
through run_and_report.exe (built here with mingw-w64). Debugger output is
read from Wine's trace of OutputDebugString.
"""

import argparse
import os
import queue
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

E_FAIL = 0x80004005
BIND_FAILED = 2049
WSAEINVAL = 10022

USAGE = (
    "You must provide exactly 5 arguments: -i[interface] , -m[multicast address] , -p[port] , "
    "-l[recording length in seconds], -f[file]\n"
    'Example: pelorin.exe -i 192.168.0.2 -m 239.255.0.1 -p 5002 -l 3600 -f "C:\\\\Recording\\\\stream.ts.mpg" \n'
    "If you have only one NIC: pelorin.exe -i 0 ...\n"
)
SETUP_SEQUENCE = [
    "Create Socket called.\n",
    "Setting socket options...\n",
    "Joining to multicast group.\n",
    "MCAST_JOIN_GROUP option failed. Selecting NIC by it's Ipv4 ip\n",
    "Binding socket\n",
]
TIME_LINE = r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d"

# Addresses inside the test's own namespace.
GROUP = "239.255.42.1"
OTHER_GROUP = "239.255.42.2"
RECORDER_SIDE = "10.200.0.1"  # veth end the recorder binds to
SENDER_SIDE = "10.200.0.2"  # the other end, where the sender sends from
ABSENT_ADDRESS = "10.201.0.7"  # on no interface

CONFIG = {}


def win_path(path):
    """The Windows name of a Unix path (Wine maps Z: to /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(command, **kwargs):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs)


def hresult_from_win32(code):
    return code if code <= 0 else (code & 0xFFFF) | 0x80070000


def datagram(index, size):
    """Datagram `index`: its big-endian number, then a pattern of it."""
    head = struct.pack(">Q", index)
    body = bytes((index * 7 + i) & 0xFF for i in range(max(size - 8, 0)))
    return (head + body)[:size]


class Sender:
    """Sends a bounded list of datagrams to a group, paced, then stops.

    Wine's overlapped receives take a trip through wineserver each: on a
    2-core machine a recorder under Wine keeps up with about a thousand
    datagrams a second. The tests check what is stored, not speed, so
    they send at under half that rate per recording."""

    def __init__(self, group, port, interface, datagrams, gap=0.002):
        self.target = (group, port)
        self.datagrams = datagrams
        self.gap = gap
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 0)
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(interface))

    def send_all(self):
        try:
            for payload in self.datagrams:
                self.sock.sendto(payload, self.target)
                # Big datagrams fill the recorder's socket buffer fast.
                time.sleep(self.gap if len(payload) < 8192 else 10 * self.gap)
        finally:
            self.sock.close()


class Outcome:
    def __init__(self, stdout, stderr):
        self.stdout = stdout
        self.stderr = stderr
        codes = re.findall(r"^exit-code: 0x([0-9A-F]{8})$", stderr, re.M)
        self.exit_code = int(codes[-1], 16) if codes else None
        self.debug = parse_debug_output(stderr)


def parse_debug_output(stderr):
    """The strings the program gave OutputDebugStringW, in order, from Wine's
    trace (warn:seh in Wine 8, warn:debugstr in later versions)."""
    found = {"A": [], "W": []}
    for match in re.finditer(r'^[0-9a-f]+:warn:(?:seh|debugstr):OutputDebugString([AW]) L?"(.*)"$', stderr, re.M):
        found[match.group(1)].append(unescape(match.group(2)))
    # A version that traces both entries traces every string twice.
    return found["W"] or found["A"]


def unescape(text):
    out, i = [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "0": "\0"}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n in simple:
                out.append(simple[n])
                i += 2
                continue
            if n == "x":
                out.append(chr(int(text[i + 2 : i + 4], 16)))
                i += 4
                continue
            if n == "u":
                out.append(chr(int(text[i + 2 : i + 6], 16)))
                i += 6
                continue
        out.append(c)
        i += 1
    return "".join(out)


class Wine:
    """A private Wine prefix and its wineserver, both inside this namespace."""

    def __init__(self, workdir):
        self.prefix = os.path.join(workdir, "prefix")
        self.env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINESERVER", "WINELOADER"):
            self.env.pop(name, None)
        self.env.update(
            WINEPREFIX=self.prefix,
            WINEARCH="win64",
            WINEDEBUG="-all,warn+seh,warn+debugstr",
            WINEDLLOVERRIDES="mscoree,mshtml=",
            LANG="C.UTF-8",
            LC_ALL="C.UTF-8",
        )

    def start(self):
        os.makedirs(self.prefix, exist_ok=True)
        quiet = dict(self.env, WINEDEBUG="-all")
        # A persistent server: one start-up for every run of the test set.
        subprocess.run(["wineserver", "-p"], env=quiet, check=True)
        subprocess.run(["wine", "wineboot", "-i"], env=quiet, check=True, timeout=600,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        quiet = dict(self.env, WINEDEBUG="-all")
        subprocess.run(["wineserver", "-k"], env=quiet, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=quiet, stderr=subprocess.DEVNULL, timeout=60)

    def drive_c(self):
        return os.path.join(self.prefix, "drive_c")


class Recorder:
    """pelorin.exe running under Wine through run_and_report.exe."""

    def __init__(self, args, cwd=None):
        wine = CONFIG["wine"]
        command = ["wine", CONFIG["launcher"], win_path(CONFIG["exe"])] + list(args)
        self.process = subprocess.Popen(command, env=wine.env, cwd=cwd or CONFIG["workdir"],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, errors="replace")
        self.lines = queue.Queue()
        self.stdout_parts = []
        self.stderr_parts = []
        self.readers = [
            threading.Thread(target=self._read, args=(self.process.stdout, self.stdout_parts, True), daemon=True),
            threading.Thread(target=self._read, args=(self.process.stderr, self.stderr_parts, False), daemon=True),
        ]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, parts, announce):
        for line in stream:
            parts.append(line)
            if announce:
                self.lines.put(line)
        if announce:
            self.lines.put(None)

    def wait_for_line(self, prefix, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            try:
                line = self.lines.get(timeout=remaining)
            except queue.Empty:
                return False
            if line is None:
                return False
            if line.startswith(prefix):
                return True

    def finish(self, timeout):
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("pelorin.exe did not end within %d s" % timeout)
        for reader in self.readers:
            reader.join(timeout=30)
        return Outcome("".join(self.stdout_parts), "".join(self.stderr_parts))

    def running(self):
        return self.process.poll() is None


def long_directory(base, characters):
    """A directory under `base` whose Windows directory component (drive
    excluded, trailing backslash included) is `characters` long."""
    total = characters - len(win_path(base)[2:]) - 1  # what the new levels add
    levels = -(-total // 101)  # each adds a backslash and at most 100 characters
    assert total >= 2 * levels, "scratch directory path too long"
    path = base
    for level in range(levels):
        share = total // levels + (1 if level < total % levels else 0)
        path = os.path.join(path, chr(ord("d") + level) * (share - 1))
    assert len(win_path(path)[2:]) + 1 == characters
    return path


def run_pelorin(args, timeout=120, cwd=None):
    return Recorder(args, cwd=cwd).finish(timeout)


def recording_args(interface, group, port, length, path):
    return ["-i", interface, "-m", group, "-p", str(port), "-l", str(length), "-f", path]


class PortMixin:
    next_port = 41000

    @classmethod
    def port(cls):
        PortMixin.next_port += 1
        return PortMixin.next_port


class CommandLineTests(unittest.TestCase, PortMixin):
    def test_wrong_argument_count_prints_usage_and_succeeds(self):
        for args in ([], ["-i", "0"], recording_args("0", GROUP, 5000, 1, "x.ts") + ["extra"]):
            with self.subTest(count=len(args) + 1):
                outcome = run_pelorin(args)
                self.assertEqual(outcome.stdout, USAGE)
                self.assertEqual(outcome.exit_code, 0)

    def test_parse_errors_exit_with_e_fail(self):
        target = win_path(os.path.join(CONFIG["workdir"], "never-written", "out.ts"))

        def line(**changes):
            settings = {"-i": "0", "-m": GROUP, "-p": "5000", "-l": "1", "-f": target}
            settings.update({"-" + name: value for name, value in changes.items()})
            return [text for pair in settings.items() for text in pair]

        port_first = ["-p", "70000", "-i", "nic", "-m", GROUP, "-l", "1", "-f", target]
        upper_case = ["-i", "0", "-m", GROUP, "-P", "5000", "-l", "1", "-f", target]
        cases = [
            (line(i="300.1.2.3"), "Error occurred while parsing NIC ip.\n"),
            (line(i=""), "Error occurred while parsing NIC ip.\n"),
            (line(i="255.255.255.255"), "Error occurred while parsing NIC ip.\n"),
            (line(m="group"), "Error occurred while parsing multicast ip.\n"),
            (line(p="70000"), "Error occurred while parsing port.\n"),
            (line(p="port"), "Error occurred while parsing port.\n"),
            (line(l="abc"), "Error occurred while parsing recording length.\n"),
            (port_first, "Error occurred while parsing port.\n"),  # the first bad value counts
            (upper_case, USAGE),  # option names are case-sensitive: -p is missing
        ]
        for args, expected in cases:
            with self.subTest(args=args):
                outcome = run_pelorin(args)
                self.assertEqual(outcome.stdout, expected)
                self.assertEqual(outcome.exit_code, E_FAIL)
                self.assertNotIn("Create Socket called.\n", outcome.debug)
        self.assertFalse(os.path.exists(os.path.join(CONFIG["workdir"], "never-written")))


class SocketSetupTests(unittest.TestCase, PortMixin):
    def test_failed_bind_exits_2049_without_file(self):
        port = self.port()
        # A socket without address reuse holds the port: every other bind to
        # it is refused, whatever options the second socket sets.
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("0.0.0.0", port))
        try:
            target = os.path.join(CONFIG["workdir"], "bind-failed", "out.ts")
            outcome = run_pelorin(recording_args("0", GROUP, port, 1, win_path(target)))
        finally:
            holder.close()
        self.assertRegex(outcome.stdout, r"^Recording finished at %s\n$" % TIME_LINE)
        self.assertEqual(outcome.exit_code, BIND_FAILED)
        self.assertEqual(outcome.debug[-len(SETUP_SEQUENCE) - 1:], SETUP_SEQUENCE + ["Binding failed\n"])
        self.assertFalse(os.path.exists(os.path.dirname(target)))

    def test_address_the_host_lacks_records_nothing(self):
        target = os.path.join(CONFIG["workdir"], "absent-address", "out.ts")
        outcome = run_pelorin(recording_args(ABSENT_ADDRESS, GROUP, self.port(), 1, win_path(target)))
        # Windows refuses the bind (2049). Wine 8 binds a datagram socket whose
        # address no interface has to the any-address instead, and the
        # membership on that missing interface is then refused (WSAEINVAL),
        # which the program reports as a failed set-up of its own.
        if outcome.exit_code == BIND_FAILED:
            self.assertRegex(outcome.stdout, r"^Recording finished at %s\n$" % TIME_LINE)
            self.assertEqual(outcome.debug[-1], "Binding failed\n")
        else:
            self.assertEqual(outcome.exit_code, hresult_from_win32(WSAEINVAL))
            self.assertRegex(outcome.stdout,
                             r"^Joining multicast group failed: %d\nRecording finished at %s\n$" % (WSAEINVAL, TIME_LINE))
        self.assertIn("Setting output interface failed\n", outcome.debug)
        self.assertNotIn("Receiving..", outcome.debug)
        self.assertFalse(os.path.exists(os.path.dirname(target)))


class RecordingTests(unittest.TestCase, PortMixin):
    LENGTH = 4  # seconds; the sender is done within about one

    def record(self, interface, sender_interface, datagrams, path, cwd=None, group=GROUP):
        """Runs one recording while `datagrams` are sent to the group; returns
        the outcome and the bytes the recording must hold."""
        port = self.port()
        recorder = Recorder(recording_args(interface, group, port, self.LENGTH, path), cwd=cwd)
        started = recorder.wait_for_line("Recording started at")
        if started:
            Sender(group, port, sender_interface, datagrams).send_all()
            still_running = recorder.running()
        outcome = recorder.finish(timeout=self.LENGTH + 60)
        self.assertTrue(started, "no start line: %r" % outcome.stdout)
        self.assertTrue(still_running, "the recording ended before the sender did")
        return outcome, b"".join(datagrams)

    def assert_normal_run(self, outcome):
        self.assertEqual(outcome.exit_code, 0)
        self.assertRegex(outcome.stdout, r"^Recording started at %s\nRecording finished at %s\n$" % (TIME_LINE, TIME_LINE))
        debug = outcome.debug
        self.assertIn("Create Socket called.\n", debug)
        first = debug.index("Create Socket called.\n")
        self.assertEqual(debug[first:first + len(SETUP_SEQUENCE)], SETUP_SEQUENCE)
        # The 8 MiB buffer is granted or the set-up fell back cleanly; either
        # way the grant is reported right after the sequence.
        self.assertRegex(debug[first + len(SETUP_SEQUENCE)], r"^Receive buffer: \d+ bytes granted, 8388608 asked\n$")
        self.assertEqual(debug[first + len(SETUP_SEQUENCE) + 1], "Receiving..")
        self.assertEqual(debug.count("Stopped receiving:"), 1)
        self.assertGreater(debug.index("Stopped receiving:"), debug.index("Receiving.."))
        # Winsock keeps no drop count: the totals say so rather than claim 0.
        totals = [line for line in debug if line.startswith("Recording totals: ")]
        self.assertEqual(len(totals), 1, debug)
        self.assertRegex(totals[0], r"^Recording totals: \d+ datagrams, \d+ bytes stored, unknown dropped\n$")
        self.assertGreater(debug.index(totals[0]), debug.index("Stopped receiving:"))

    def assert_file(self, path, expected):
        with open(path, "rb") as f:
            actual = f.read()
        self.assertEqual(len(actual), len(expected))
        self.assertTrue(actual == expected, "the recording differs from what was sent")

    def test_any_interface_records_every_payload_byte_exact(self):
        # Small, big and empty datagrams; more than a few chunks, with a
        # partly filled last one.
        sizes = [65507 if k % 60 == 59 else 0 if k % 45 == 44 else 1316 for k in range(400)]
        datagrams = [datagram(k, size) for k, size in enumerate(sizes)]
        path = os.path.join(CONFIG["workdir"], "any.ts")
        with open(path, "wb") as f:
            f.write(b"old contents " * 200000)  # must be gone: the file is truncated
        outcome, expected = self.record("0", "127.0.0.1", datagrams, win_path(path))
        self.assert_normal_run(outcome)
        self.assert_file(path, expected)

    def test_explicit_interface_address(self):
        # The veth end's address selects that interface for the membership.
        datagrams = [datagram(k, 1316) for k in range(300)]
        path = os.path.join(CONFIG["workdir"], "veth.ts")
        outcome, expected = self.record(RECORDER_SIDE, SENDER_SIDE, datagrams, win_path(path))
        self.assert_normal_run(outcome)
        self.assert_file(path, expected)

    def test_two_recordings_share_one_port(self):
        # IPTV puts many channels on one port. Each recording must hold its
        # own group's stream, complete and in order. Windows delivers a group
        # only to the sockets that joined it; Wine's sockets are Linux sockets
        # that keep Linux's default of receiving every group joined on the
        # host (IP_MULTICAST_ALL), so there the other group's stream is
        # interleaved, and must then be exactly that stream.
        port = self.port()
        streams = {GROUP: [datagram(k, 1316) for k in range(200)],
                   OTHER_GROUP: [datagram(500000 + k, 1316) for k in range(200)]}
        paths = {group: os.path.join(CONFIG["workdir"], "group-%s.ts" % group) for group in streams}
        recorders = {group: Recorder(recording_args("0", group, port, self.LENGTH, win_path(paths[group])))
                     for group in streams}
        started = all(r.wait_for_line("Recording started at") for r in recorders.values())
        if started:
            # Under Wine each recorder receives both streams: half the pace.
            threads = [threading.Thread(target=Sender(group, port, "127.0.0.1", streams[group], gap=0.004).send_all)
                       for group in streams]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        outcomes = {group: r.finish(timeout=self.LENGTH + 60) for group, r in recorders.items()}
        self.assertTrue(started)
        for group, other in ((GROUP, OTHER_GROUP), (OTHER_GROUP, GROUP)):
            with self.subTest(group=group):
                self.assert_normal_run(outcomes[group])
                with open(paths[group], "rb") as f:
                    data = f.read()
                self.assertEqual(len(data) % 1316, 0)
                records = [data[i:i + 1316] for i in range(0, len(data), 1316)]
                own = [r for r in records if r in streams[group]]
                foreign = [r for r in records if r not in streams[group]]
                self.assertTrue(own == streams[group], "own group's stream incomplete or out of order: %d of %d records, %d foreign" % (len(own), len(streams[group]), len(foreign)))
                self.assertTrue(foreign in ([], streams[other]), "foreign bytes in the recording")

    def test_unicode_output_path(self):
        datagrams = [datagram(k, 1316) for k in range(120)]
        path = os.path.join(CONFIG["workdir"], "запись-é-录像.ts")
        outcome, expected = self.record("0", "127.0.0.1", datagrams, win_path(path))
        self.assert_normal_run(outcome)
        self.assert_file(path, expected)

    def test_directory_component_of_300_characters(self):
        # Too long for the 256-character buffer: the directory is not created,
        # and the open with the full path decides. An existing directory
        # therefore records...
        directory = long_directory(os.path.join(CONFIG["workdir"], "long"), 300)
        os.makedirs(directory)
        datagrams = [datagram(k, 1316) for k in range(120)]
        path = os.path.join(directory, "out.ts")
        outcome, expected = self.record("0", "127.0.0.1", datagrams, win_path(path))
        self.assert_normal_run(outcome)
        self.assert_file(path, expected)
        # ... and a missing one is not made.
        missing = os.path.join(directory[:-1], "out.ts")
        outcome = run_pelorin(recording_args("0", GROUP, self.port(), 3600, win_path(missing)))
        self.assertEqual(outcome.exit_code, E_FAIL)
        self.assertEqual(os.listdir(os.path.dirname(directory)), [os.path.basename(directory)])


class OutputFileTests(unittest.TestCase, PortMixin):
    def test_missing_directory_is_created_on_the_path_drive(self):
        # The working directory is on C:, the path on Z:. The directory must
        # be made where the path says, not on the current drive.
        parent = os.path.join(CONFIG["workdir"], "drive-test")
        os.makedirs(parent)
        path = os.path.join(parent, "new-directory", "out.ts")
        drive_c = CONFIG["wine"].drive_c()
        outcome = run_pelorin(recording_args("0", GROUP, self.port(), 0, win_path(path)), cwd=drive_c)
        self.assertEqual(outcome.exit_code, 0)
        self.assertRegex(outcome.stdout, r"^Recording started at %s\nRecording finished at %s\n$" % (TIME_LINE, TIME_LINE))
        self.assertTrue(os.path.isfile(path))
        relative = os.path.relpath(parent, "/")
        self.assertFalse(os.path.exists(os.path.join(drive_c, relative)), "directory made on the current drive")

    def test_existing_file_is_truncated(self):
        path = os.path.join(CONFIG["workdir"], "truncate.ts")
        with open(path, "wb") as f:
            f.write(b"x" * 100000)
        outcome = run_pelorin(recording_args("0", GROUP, self.port(), 0, win_path(path)))
        self.assertEqual(outcome.exit_code, 0)
        self.assertEqual(os.path.getsize(path), 0)

    def test_open_failure_in_missing_parent_fails_at_once(self):
        path = os.path.join(CONFIG["workdir"], "no-parent", "no-directory", "out.ts")
        # An hour-long recording: the failure must end the run right away.
        outcome = run_pelorin(recording_args("0", GROUP, self.port(), 3600, win_path(path)), timeout=60)
        self.assertRegex(outcome.stdout,
                         r"^Error occurred while opening output file.\nRecording finished at %s\n$" % TIME_LINE)
        self.assertEqual(outcome.exit_code, E_FAIL)
        self.assertFalse(os.path.exists(os.path.join(CONFIG["workdir"], "no-parent")))


def set_up_namespace():
    links = run(["ip", "-o", "link", "show"]).stdout
    names = re.findall(r"^\d+: ([^:@]+)", links, re.M)
    if names != ["lo"]:
        sys.exit("refusing to run: this is not a fresh private network namespace (interfaces: %s); "
                 "start me with unshare -n" % ", ".join(names))
    for command in (
        "ip link set lo up",
        "ip route add 224.0.0.0/4 dev lo",
        "ip link add pelorin0 type veth peer name pelorin1",
        "ip addr add %s/24 dev pelorin0" % RECORDER_SIDE,
        "ip addr add %s/24 dev pelorin1" % SENDER_SIDE,
        "ip link set pelorin0 up",
        "ip link set pelorin1 up",
    ):
        run(command.split())
    # Both veth ends are local addresses of this namespace: accept datagrams
    # that arrive with a local source address.
    for name in ("all", "pelorin0", "pelorin1"):
        for key, value in (("rp_filter", "0"), ("accept_local", "1")):
            with open("/proc/sys/net/ipv4/conf/%s/%s" % (name, key), "w") as f:
                f.write(value)


def build_launcher(workdir):
    output = os.path.join(workdir, "run_and_report.exe")
    run(["x86_64-w64-mingw32-g++-posix", "-std=c++17", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
         "-static", "-municode", "-o", output, os.path.join(HERE, "run_and_report.cpp")])
    return output


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, help="pelorin.exe to test")
    parser.add_argument("--workdir", help="scratch directory (default: a new temporary one)")
    parser.add_argument("unittest_args", nargs="*", help="test names, passed on to unittest")
    options = parser.parse_args()

    set_up_namespace()
    workdir = options.workdir or tempfile.mkdtemp(prefix="pelorin-wine-")
    os.makedirs(workdir, exist_ok=True)
    CONFIG["exe"] = os.path.abspath(options.exe)
    CONFIG["workdir"] = os.path.join(workdir, "files")
    os.makedirs(CONFIG["workdir"], exist_ok=True)
    CONFIG["launcher"] = build_launcher(workdir)
    wine = Wine(workdir)
    CONFIG["wine"] = wine
    wine.start()
    try:
        loader = unittest.TestLoader()
        if options.unittest_args:
            suite = loader.loadTestsFromNames(options.unittest_args, sys.modules[__name__])
        else:
            suite = loader.loadTestsFromModule(sys.modules[__name__])
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        wine.stop()
        if not options.workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    passed = result.testsRun - failed - len(result.skipped) - len(result.expectedFailures)
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
