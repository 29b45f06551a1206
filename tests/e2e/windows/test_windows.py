#!/usr/bin/env python3
"""The Windows build under Wine: the shared end-to-end tests, then what only
Windows has.

Run inside a private network and mount namespace (the script refuses to run
where any interface other than lo exists):

    unshare -n -m -- python3 test_windows.py --exe build/mingw/pelorin.exe --tools build/default/tools

The shared cases (../test_recording.py, ../test_endings.py) run through
harness.py with pelorin.exe as the recorder; they skip, with the reason, what
only POSIX has and what Wine cannot do. The cases here cover what only Windows
has: 32-bit exit codes, the debugger output, drive letters and UTF-16 names,
Ctrl-C, and a standard output that is the recording's own file.

The wineserver of a private WINEPREFIX is started inside the namespace: Wine
creates every socket in wineserver, so that is where the namespace has to
hold. Exit codes are read as full 32-bit values through run_and_report.exe
(built here with mingw-w64); debugger output from Wine's trace of
OutputDebugString.
"""

import argparse
import calendar
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import harness  # noqa: E402
from harness import BIND_FAILED, E_FAIL, hresult_from_win32  # noqa: E402
from test_health import REPORT_KEYS  # noqa: E402

WSAEINVAL = 10022
STATUS_CONTROL_C_EXIT = 0xC000013A

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
TIME_LINE = harness.TIME_LINE
TIME_LINES = r"^Recording started at %s\nRecording finished at %s\n$" % (TIME_LINE, TIME_LINE)

GROUP = "239.255.42.1"
OTHER_GROUP = "239.255.42.2"
ABSENT_ADDRESS = "10.201.0.7"  # on no interface
# Wine's trace of OutputDebugString; everything else of Wine stays quiet.
TRACE = "-all,warn+seh,warn+debugstr"

CONFIG = {}


def win_path(path):
    """The Windows name of a Unix path (Wine maps Z: to /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


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




class Run:
    """One run of pelorin.exe: harness.Result with the debugger output."""

    def __init__(self, result):
        self.exit_code = result.returncode
        self.stdout = result.stdout
        self.stderr = result.stderr
        self.debug = parse_debug_output(result.stderr)
        self.elapsed = result.elapsed


def pelorin(args, senders=(), during=None, cwd=None, timeout=60, **environment):
    """pelorin.exe with `args` through harness.record, traced."""
    env = dict(os.environ, WINEDEBUG=TRACE, **environment)
    return Run(harness.record([str(a) for a in args], senders=senders, during=during, env=env, cwd=cwd,
                              timeout=timeout))


def recording_args(interface, group, port, length, path):
    return ["-i", interface, "-m", group, "-p", port, "-l", length, "-f", path]


def stream(group, port, count, first=0, interface="127.0.0.1", rate=1000):
    """pelorin-send arguments; Wine keeps up with about a thousand datagrams a
    second, and the 8 MiB receive buffer takes a burst above that."""
    return ["--group", group, "--port", port, "--interface", interface, "--count", count, "--rate", rate,
            "--start-index", first]


class WindowsTestCase(harness.RecorderTestCase):
    def assert_normal_run(self, run):
        self.assertEqual(run.exit_code, 0, run.stdout)
        self.assertRegex(run.stdout, TIME_LINES)
        self.assert_debug_of_a_recording(run.debug)

    def assert_debug_of_a_recording(self, debug):
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
        self.assertRegex(totals[0], r"^Recording totals: \d+ datagrams, \d+ bytes stored, unknown dropped, 0 not written in time\n$")
        self.assertGreater(debug.index(totals[0]), debug.index("Stopped receiving:"))


class CommandLineTests(WindowsTestCase):
    def test_version_usage_and_parse_errors(self):
        target = win_path(self.path("never-written", "out.ts"))

        def line(**changes):
            settings = {"-i": "0", "-m": GROUP, "-p": "5000", "-l": "1", "-f": target}
            settings.update({"-" + name: value for name, value in changes.items()})
            return [text for pair in settings.items() for text in pair]

        cases = [
            (["--version"], "pelorin 1.1.0\n", 0),
            ([], USAGE, 0),
            (["-i", "0"], USAGE, 0),
            (line() + ["extra"], USAGE, 0),
            (line(i="300.1.2.3"), "Error occurred while parsing NIC ip.\n", E_FAIL),
            (line(i=""), "Error occurred while parsing NIC ip.\n", E_FAIL),
            (line(i="255.255.255.255"), "Error occurred while parsing NIC ip.\n", E_FAIL),
            (line(m="group"), "Error occurred while parsing multicast ip.\n", E_FAIL),
            (line(m="10.1.2.3@239.255.0.1@1.2.3.4"), "Error occurred while parsing multicast ip.\n", E_FAIL),
            (line(p="port"), "Error occurred while parsing port.\n", E_FAIL),
            (line(l="abc"), "Error occurred while parsing recording length.\n", E_FAIL),
            # The first bad value counts.
            (["-p", "70000", "-i", "nic", "-m", GROUP, "-l", "1", "-f", target], "Error occurred while parsing port.\n",
             E_FAIL),
            # Option names are case-sensitive: -p is missing.
            (["-i", "0", "-m", GROUP, "-P", "5000", "-l", "1", "-f", target], USAGE, E_FAIL),
        ]
        for args, expected, code in cases:
            with self.subTest(args=args):
                run = pelorin(args)
                self.assertEqual(run.stdout, expected)
                self.assertEqual(run.exit_code, code)
                self.assertNotIn("Create Socket called.\n", run.debug)
        self.assertFalse(os.path.exists(self.path("never-written")))


class SocketSetupTests(WindowsTestCase):
    def test_failed_bind_exits_2049_without_file(self):
        port = harness.next_port()
        # A socket without address reuse holds the port: every other bind to
        # it is refused, whatever options the second socket sets.
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("0.0.0.0", port))
        try:
            target = self.path("bind-failed", "out.ts")
            run = pelorin(recording_args("0", GROUP, port, 1, win_path(target)))
        finally:
            holder.close()
        self.assertRegex(run.stdout, r"^Recording finished at %s\n$" % TIME_LINE)
        self.assertEqual(run.exit_code, BIND_FAILED)
        self.assertEqual(run.debug[-len(SETUP_SEQUENCE) - 1:], SETUP_SEQUENCE + ["Binding failed\n"])
        self.assertFalse(os.path.exists(os.path.dirname(target)))

    def test_address_the_host_lacks_records_nothing(self):
        target = self.path("absent-address", "out.ts")
        run = pelorin(recording_args(ABSENT_ADDRESS, GROUP, harness.next_port(), 1, win_path(target)))
        # Windows refuses the bind (2049). Wine 8 binds a datagram socket whose
        # address no interface has to the any-address instead, and the
        # membership on that missing interface is then refused (WSAEINVAL),
        # which the program reports as a failed set-up of its own.
        if run.exit_code == BIND_FAILED:
            self.assertRegex(run.stdout, r"^Recording finished at %s\n$" % TIME_LINE)
            self.assertEqual(run.debug[-1], "Binding failed\n")
        else:
            self.assertEqual(run.exit_code, hresult_from_win32(WSAEINVAL))
            self.assertRegex(run.stdout,
                             r"^Joining multicast group failed: %d\nRecording finished at %s\n$" % (WSAEINVAL, TIME_LINE))
        self.assertIn("Setting output interface failed\n", run.debug)
        self.assertNotIn("Receiving..", run.debug)
        self.assertFalse(os.path.exists(os.path.dirname(target)))


class RecordingTests(WindowsTestCase):
    def test_debugger_output_of_a_recording(self):
        port = harness.next_port()
        out = self.path("traced.ts")
        run = pelorin(recording_args("0", GROUP, port, 3, win_path(out)), senders=[stream(GROUP, port, 600)])
        self.assert_normal_run(run)
        totals = [line for line in run.debug if line.startswith("Recording totals: ")]
        self.assertEqual(totals, ["Recording totals: 600 datagrams, %d bytes stored, unknown dropped, 0 not written in time\n" % (600 * 1316)])
        self.assertExact(out, 600, 0)

    def test_health_report_of_a_recording(self):
        port = harness.next_port()
        out, report = self.path("health.ts"), self.path("health.json")
        run = pelorin(["--report=" + win_path(report)] + recording_args("0", GROUP, port, 3, win_path(out)),
                      senders=[stream(GROUP, port, 600)])
        self.assert_normal_run(run)
        self.assertExact(out, 600, 0)
        self.assertFalse(os.path.exists(report + ".tmp"))
        with open(report, encoding="utf-8") as f:
            figures = json.load(f)
        self.assertEqual(set(figures), REPORT_KEYS)
        self.assertEqual((figures["datagrams"], figures["bytes"]), (600, os.path.getsize(out)))
        self.assertEqual(sum(second["bytes"] for second in figures["intervals"]), os.path.getsize(out))
        # The Windows build times a datagram as its receive completes, and
        # Winsock keeps no drop count.
        self.assertEqual(figures["timestamp_source"], "completion")
        self.assertIsNone(figures["host_drops"])
        self.assertEqual(figures["file"], win_path(out))

    def test_metrics_file_of_a_recording(self):
        port = harness.next_port()
        out, metrics = self.path("metrics.ts"), self.path("prom", "ch.prom")
        snapshots = []

        watch = harness.file_sampler(metrics, 2.5, 0.3, snapshots)

        run = pelorin(["--metrics=" + win_path(metrics)] + recording_args("0", GROUP, port, 4, win_path(out)),
                      senders=[stream(GROUP, port, 600)], during=watch)
        self.assert_normal_run(run)
        self.assertExact(out, 600, 0)
        with open(metrics) as file:
            final = harness.parse_metrics(file.read())
        self.assertTrue(snapshots)
        for text in snapshots:
            self.assertEqual(harness.parse_metrics(text)["pelorin_receiving"][2], 1.0)
        self.assertEqual(final["pelorin_receiving"][2], 0.0)
        # The totals line's figures; Winsock keeps no drop count, so no series for it.
        totals = [line for line in run.debug if line.startswith("Recording totals: ")]
        self.assertEqual(totals, ["Recording totals: %d datagrams, %d bytes stored, unknown dropped, %d not written in time\n"
                                  % (final["pelorin_datagrams_total"][2], final["pelorin_stored_bytes_total"][2],
                                     final["pelorin_not_written_datagrams_total"][2])])
        self.assertEqual((final["pelorin_datagrams_total"][2], final["pelorin_stored_bytes_total"][2]),
                         (600, os.path.getsize(out)))
        self.assertNotIn("pelorin_host_dropped_datagrams_total", final)
        self.assertEqual(final["pelorin_datagrams_total"][1],
                         {"group": GROUP, "source": "", "port": str(port), "interface": "0.0.0.0"})
        self.assertFalse(os.path.exists(metrics + ".tmp"))

    def test_no_data_ends_a_silent_recording_with_its_own_code(self):
        out = self.path("silent.ts")
        run = pelorin(["--no-data=2"] + recording_args("0", GROUP, harness.next_port(), 30, win_path(out)))
        self.assertEqual(run.exit_code, harness.NO_DATA, run.stdout)
        self.assertRegex(run.stdout, TIME_LINES)
        self.assertLess(run.elapsed, 20)
        self.assertIn("No data for 2 s: recording ended\n", run.debug)
        self.assertGreater(run.debug.index("No data for 2 s: recording ended\n"), run.debug.index("Stopped receiving:"))

    def test_one_second_segments_join_back_byte_exact(self):
        port = harness.next_port()
        directory = self.path("segments")
        # 2.5 s of stream with a silence of 1.5 s after a partly filled
        # chunk: a boundary falls in it.
        index = self.path("index", "list.csv")
        run = pelorin(["--segment=1", "--index=" + win_path(index)] +
                      recording_args("0", GROUP, port, 6, win_path(os.path.join(directory, "x.ts"))),
                      senders=[stream(GROUP, port, 2500) + ["--pause-after", 1025, "--pause-ms", 1500]])
        self.assert_normal_run(run)
        names = sorted(os.listdir(directory))
        seconds = [calendar.timegm(time.strptime(name, "x-%Y%m%d-%H%M%S.ts")) for name in names]
        self.assertIn(len(names), (6, 7), names)
        self.assertEqual(seconds, list(range(seconds[0], seconds[0] + len(seconds))), names)
        paths = [os.path.join(directory, name) for name in names]
        sizes = [os.path.getsize(path) for path in paths]
        self.assertEqual([size % 1316 for size in sizes], [0] * len(sizes), sizes)
        self.assertEqual([line for line in run.debug if line.startswith("Segment closed: ")],
                         ["Segment closed: %s, %d bytes, %d datagrams\n" % (win_path(path), size, size // 1316)
                          for path, size in zip(paths, sizes)])
        # The index lists every segment, in order, with its size.
        with open(index, encoding="utf-8") as f:
            rows = [line.split(",") for line in f.read().splitlines()]
        self.assertEqual(rows[0], ["name", "start", "end", "bytes", "datagrams", "outages", "ts_packets_lost"])
        self.assertEqual([(row[0], int(row[3])) for row in rows[1:]],
                         [(win_path(path), size) for path, size in zip(paths, sizes)])
        joined = self.path("joined.ts")
        with open(joined, "wb") as out:
            for path in paths:
                with open(path, "rb") as segment:
                    out.write(segment.read())
        self.assertExact(joined, 2500, 0)

    def test_keep_deletes_a_waiting_report_with_its_segment(self):
        # A steady stream: each closed segment's report waits for the next
        # datagram, and --keep=1 deletes that segment meanwhile.
        port = harness.next_port()
        directory = self.path("kept")
        run = pelorin(["--segment=1", "--keep=1", "--report=" + win_path(os.path.join(directory, "r.json"))] +
                      recording_args("0", GROUP, port, 3, win_path(os.path.join(directory, "x.ts"))),
                      senders=[stream(GROUP, port, 4000)])
        self.assert_normal_run(run)
        names = sorted(os.listdir(directory))
        self.assertEqual([name[0] for name in names], ["r", "x"], names)

    def test_two_recordings_share_one_port(self):
        # IPTV puts many channels on one port. Windows delivers a group only
        # to the sockets that joined it; Wine's sockets are Linux sockets that
        # keep Linux's default of receiving every group joined on the host
        # (IP_MULTICAST_ALL), so there each recording also holds the other
        # group's stream, whole.
        port = harness.next_port()
        first, second = self.path("a.ts"), self.path("b.ts")
        other = subprocess.Popen(harness.pelorin_command() + recording_args("0", OTHER_GROUP, str(port), "3", second),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.assertRegex(other.stdout.readline().strip(), harness.START_LINE)
            run = pelorin(recording_args("0", GROUP, port, 3, first),
                          senders=[stream(GROUP, port, 500, rate=500),
                                   stream(OTHER_GROUP, port, 500, first=100000, rate=500)])
        finally:
            out, err = other.communicate(timeout=60)
        self.assert_normal_run(run)
        self.assertEqual(harness.reported_exit_code(other.returncode, err)[0], 0, out + err)
        for path, own in ((first, 0), (second, 100000)):
            with self.subTest(recording=path):
                verdict = harness.check(path)
                if verdict["datagrams"] == 500:
                    self.assertExact(path, 500, own)
                else:
                    self.assertEqual((verdict["datagrams"], verdict["corrupt"], verdict["duplicates"]), (1000, 0, 0),
                                     verdict)

    def test_source_specific_group_holds_only_its_own_source(self):
        # Two sources send to one group and port; the recording asks for one.
        port = harness.next_port()
        group = "232.1.1.1"
        out = self.path("ssm.ts")
        run = pelorin(recording_args(harness.VETH_LOCAL, "%s@%s" % (harness.VETH_PEER, group), port, 3, out),
                      senders=[stream(group, port, 500, interface=harness.VETH_PEER, rate=500),
                               stream(group, port, 500, first=500000, interface=harness.VETH_PEER_OTHER, rate=500)])
        self.assert_normal_run(run)
        if os.path.getsize(out) == 0 and CONFIG["wine_version"].startswith("wine-8."):
            self.skipTest("Wine 8 hands Winsock's ip_mreq_source (group, source, interface) to Linux unchanged, "
                          "whose field order is (group, interface, source): Linux joins on the source's interface "
                          "and filters for the interface's address, so nothing arrives (%s)" % CONFIG["wine_version"])
        self.assertExact(out, 500, 0)

    def test_unicode_output_paths(self):
        # UTF-16 from the command line to the file system: letters of three
        # scripts, a character outside the BMP (a surrogate pair) and a space.
        cases = [
            ("запись-é", "录像.ts"),
            ("\U0001F3A5 camera", "\U0001D11E.ts"),
            ("two words", "with space.ts"),
        ]
        for number, (directory, name) in enumerate(cases):
            with self.subTest(directory=directory, name=name):
                port = harness.next_port()
                out = self.path(str(number), directory, name)
                os.makedirs(self.path(str(number)))
                run = pelorin(recording_args("0", GROUP, port, 3, win_path(out)), senders=[stream(GROUP, port, 200)])
                self.assert_normal_run(run)
                self.assertEqual(os.listdir(self.path(str(number))), [directory])
                self.assertEqual(os.listdir(self.path(str(number), directory)), [name])
                self.assertExact(out, 200, 0)

    def test_directory_component_of_300_characters(self):
        # Too long for _wsplitpath_s's 256-character buffer: the directory is
        # not created, and the open with the full path decides. An existing
        # directory therefore records...
        directory = long_directory(self.path("long"), 300)
        os.makedirs(directory)
        port = harness.next_port()
        out = os.path.join(directory, "out.ts")
        run = pelorin(recording_args("0", GROUP, port, 3, win_path(out)), senders=[stream(GROUP, port, 200)])
        self.assert_normal_run(run)
        self.assertExact(out, 200, 0)
        # ... and a missing one is not made.
        missing = os.path.join(directory[:-1], "out.ts")
        run = pelorin(recording_args("0", GROUP, harness.next_port(), 3600, win_path(missing)))
        self.assertEqual(run.exit_code, E_FAIL)
        self.assertEqual(os.listdir(os.path.dirname(directory)), [os.path.basename(directory)])

    def test_missing_directory_is_created_on_the_path_drive(self):
        # The working directory is on C:, the path on Z:. The directory must
        # be made where the path says, not on the current drive.
        out = self.path("new-directory", "out.ts")
        drive_c = os.path.join(CONFIG["prefix"], "drive_c")
        with mock.patch.dict(os.environ, PELORIN=win_path(CONFIG["exe"])):
            run = pelorin(recording_args("0", GROUP, harness.next_port(), 0, win_path(out)), cwd=drive_c)
        self.assert_normal_run(run)
        self.assertTrue(os.path.isfile(out))
        relative = os.path.relpath(self.dir, "/")
        self.assertFalse(os.path.exists(os.path.join(drive_c, relative)), "directory made on the current drive")


def wine_process(marker):
    """The Unix process of the Windows program whose command line holds `marker`."""
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                command = f.read().decode(errors="replace")
        except (OSError, ValueError):
            continue
        if "pelorin.exe" in command and marker in command and "run_and_report" not in command:
            return int(entry)
    return None


class StopTests(WindowsTestCase):
    def test_ctrl_c_writes_everything_and_exits_0xC000013A(self):
        # Wine turns SIGINT to a Windows process into CTRL_C_EVENT for its
        # console control handlers, as a Ctrl-C at its console would.
        port = harness.next_port()
        out = self.path("ctrl-c-%d.ts" % port)
        signalled = []

        def send_then_ctrl_c(process):
            before = harness.udp_datagrams_read()
            harness.start_sender(*stream(GROUP, port, 1171)).communicate(timeout=30)
            # Ctrl-C once the recorder has read the whole stream.
            harness.wait_for_reads(1171, before)
            pid = wine_process(os.path.basename(out))
            if pid is not None:
                os.kill(pid, signal.SIGINT)
                signalled.append(pid)

        run = pelorin(recording_args("0", GROUP, port, 60, out), during=send_then_ctrl_c)
        self.assertTrue(signalled, "pelorin.exe's process not found")
        self.assertEqual(run.exit_code, STATUS_CONTROL_C_EXIT, run.stdout)
        self.assertRegex(run.stdout, TIME_LINES)
        self.assertLess(run.elapsed, 30)
        self.assert_debug_of_a_recording(run.debug)
        # 1171 datagrams: 23 full chunks and a partial one, all written.
        self.assertExact(out, 1171, 0)

    def test_standard_output_that_is_the_output_file_gets_no_time_lines(self):
        # As cmd.exe's "pelorin.exe ... -f out.ts > out.ts" would: the file
        # standard output writes to is the recording, so the time lines go to
        # standard error and the recording stays byte-exact.
        port = harness.next_port()
        out = self.path("stdout.ts")
        env = dict(os.environ, WINEDEBUG=TRACE, RUN_AND_REPORT_STDOUT=win_path(out))
        process = subprocess.Popen(harness.pelorin_command() + recording_args("0", GROUP, str(port), "3", win_path(out)),
                                   env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")
        err = []
        # The start line comes on standard error now, among Wine's trace.
        for line in process.stderr:
            err.append(line)
            if harness.START_LINE.match(line.strip()):
                harness.start_sender(*stream(GROUP, port, 600)).communicate(timeout=30)
                break
        stdout, rest = process.communicate(timeout=60)
        code, stderr = harness.reported_exit_code(process.returncode, "".join(err) + rest)
        self.assertEqual(code, 0, stderr)
        self.assertEqual(stdout, "")
        time_lines = [line for line in stderr.splitlines() if line.startswith("Recording ")]
        self.assertEqual(len(time_lines), 2, stderr)
        self.assertRegex(time_lines[0], harness.START_LINE)
        self.assertRegex(time_lines[1], harness.FINISH_LINE)
        self.assertExact(out, 600, 0)

def check_namespace():
    links = subprocess.run(["ip", "-o", "link", "show"], check=True, capture_output=True, text=True).stdout
    names = re.findall(r"^\d+: ([^:@]+)", links, re.M)
    if names != ["lo"]:
        sys.exit("refusing to run: this is not a fresh private network namespace (interfaces: %s); "
                 "start me with unshare -n -m" % ", ".join(names))


def build_launcher(workdir):
    output = os.path.join(workdir, "run_and_report.exe")
    subprocess.run(["x86_64-w64-mingw32-g++-posix", "-std=c++17", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
                    "-static", "-municode", "-o", output, os.path.join(HERE, "run_and_report.cpp")], check=True)
    return output


def start_wine(prefix):
    """A private prefix and its persistent wineserver, in this namespace."""
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINESERVER", "WINELOADER"):
        os.environ.pop(name, None)
    os.environ.update(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                      LANG="C.UTF-8", LC_ALL="C.UTF-8")
    os.makedirs(prefix, exist_ok=True)
    subprocess.run(["wineserver", "-p"], check=True)
    subprocess.run(["wine", "wineboot", "-i"], check=True, timeout=600,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop_wine():
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL, timeout=60)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, help="pelorin.exe to test")
    parser.add_argument("--tools", required=True, help="directory of the Linux pelorin-send and pelorin-check")
    parser.add_argument("--workdir", help="scratch directory (default: a new temporary one)")
    parser.add_argument("tests", nargs="*", help="test names (e.g. test_windows.StopTests), passed on to unittest")
    options = parser.parse_args()

    check_namespace()
    harness.set_up_network()
    workdir = options.workdir or tempfile.mkdtemp(prefix="pelorin-wine-")
    os.makedirs(workdir, exist_ok=True)
    CONFIG["prefix"] = os.path.join(workdir, "prefix")
    launcher = build_launcher(workdir)
    # What the shared tests read to run the Windows build.
    CONFIG["exe"] = os.path.abspath(options.exe)
    # A Unix path, which run_and_report.exe finds on Z: from a working
    # directory there (the shared tests' own).
    os.environ.update(PELORIN=CONFIG["exe"], PELORIN_LAUNCHER="wine " + launcher,
                      PELORIN_EXIT_CODES="windows",
                      PELORIN_SEND=os.path.join(os.path.abspath(options.tools), "pelorin-send"),
                      PELORIN_CHECK=os.path.join(os.path.abspath(options.tools), "pelorin-check"))
    start_wine(CONFIG["prefix"])
    CONFIG["wine_version"] = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    try:
        # Imported now: their skip decorators read the environment.
        sys.modules.setdefault("test_windows", sys.modules[__name__])
        names = options.tests or ["test_recording", "test_endings", "test_ipv6", "test_windows"]
        suite = unittest.TestLoader().loadTestsFromNames(names)
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        stop_wine()
        if not options.workdir:
            shutil.rmtree(workdir, ignore_errors=True)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    passed = result.testsRun - failed - len(result.skipped) - len(result.expectedFailures)
    print("%d skipped: %s" % (len(result.skipped), "; ".join(sorted({reason for _, reason in result.skipped}))))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
