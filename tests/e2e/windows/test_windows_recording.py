"""The Windows build under Wine: recordings and what they write (debugger
output, health report, metrics file, segments and their index, shared ports,
source-specific groups, UTF-16 and long paths, drive letters). Run through
test_windows.py.
"""

import calendar
import json
import os
import subprocess
import time
from unittest import mock

import harness
from harness import E_FAIL
from test_health import REPORT_KEYS
from wine_harness import CONFIG, GROUP, OTHER_GROUP, TIME_LINES, WindowsTestCase, long_directory, pelorin, \
    recording_args, stream, win_path


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

