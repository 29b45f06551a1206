"""End to end: segmented recording (--segment, --keep). A pattern stream cut
into files on whole UTC seconds: their names, each file on its own, the files
joined back, their reports; the oldest deleted; a segment that cannot be
opened; a stop by SIGTERM; the outputs and values refused."""

import json
import math
import os
import re
import signal
import sys
import time
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import E_FAIL, exit_status, record  # noqa: E402

GROUP = "239.255.3.1"
DATAGRAM = 1316
COUNT = 5700  # about 3 s at 20 Mbit/s
REFUSED = "--segment needs a regular output file, not standard output, a pipe or a device."
OPEN_FAILED = "Error occurred while opening output file."


def setUpModule():
    harness.set_up_network()


def utc_name(pattern, second):
    return time.strftime(pattern, time.gmtime(second))


def files_under(root):
    found = []
    for directory, _, names in os.walk(root):
        found += [os.path.relpath(os.path.join(directory, name), root) for name in names]
    return sorted(found)


def start_just_after_a_multiple_of(seconds):
    """Waits until a whole multiple of `seconds` (UTC) has just passed, so a
    recording started now has most of its first segment ahead of it."""
    while not 0.05 <= time.time() % seconds <= 0.3:
        time.sleep(0.01)


class Segments(harness.RecorderTestCase):

    def segments(self, root, expected, began, ended, reports=None):
        """The files under `root` whose names `expected` (a strftime pattern,
        relative to root) gives for a second between `began` and `ended`, in
        time order as (second, path); any other file fails the test, except
        those `reports` names the same way."""
        seconds = {utc_name(expected, s): s for s in range(math.floor(began), math.floor(ended) + 1)}
        names = [name for name in files_under(root)
                 if reports is None or name not in {utc_name(reports, s) for s in seconds.values()}]
        self.assertTrue(set(names) <= set(seconds), f"{names} beyond {sorted(seconds)}")
        return sorted((seconds[name], os.path.join(root, name)) for name in names)

    def assertJoinedExact(self, paths, count):
        """Each file holds whole datagrams that follow the previous file's;
        joined in order, they are the stream, byte for byte."""
        previous = None
        for path in paths:
            verdict = harness.check(path)
            self.assertTrue(verdict["ok"] or os.path.getsize(path) == 0, f"{path}: {verdict}")
            self.assertEqual(os.path.getsize(path) % DATAGRAM, 0, path)
            if verdict["datagrams"] == 0:
                continue
            if previous is not None:
                self.assertEqual(verdict["first"], previous + 1, f"{path} does not follow on: {verdict}")
            previous = verdict["last"]
        joined = self.path("joined.ts")
        with open(joined, "wb") as out:
            for path in paths:
                with open(path, "rb") as segment:
                    out.write(segment.read())
        self.assertExact(joined, count, 0)

    def test_one_second_segments_join_back_into_the_stream(self):
        steady = ["--bitrate", 20, "--count", COUNT, "--duration", 10]
        # A silence across a boundary while a chunk is partly filled: the
        # boundary is seen by the clock, and the stream resumes in the next
        # segment.
        silence = ["--rate", 2000, "--count", 4000, "--pause-after", 2025, "--pause-ms", 1500]
        # (name, the stream, -f and --report relative to a directory of
        # their own, the names expected for both)
        cases = [
            ("no conversion: a time before the extension, the directory made, a report each", steady,
             "new/x.ts", "new/x-%Y%m%d-%H%M%S.ts", "new/r.json", "new/r-%Y%m%d-%H%M%S.json"),
            ("conversions in the directory part", steady, "%H%M%S/x.ts", "%H%M%S/x.ts", None, None),
            ("conversions in the file name", steady, "new/seg-%Y%m%d%H%M%S.ts", "new/seg-%Y%m%d%H%M%S.ts",
             None, None),
            ("a silence of 1.5 s", silence, "x.ts", "x-%Y%m%d-%H%M%S.ts", None, None),
        ]
        for number, (name, stream, pattern, expected, report, expected_report) in enumerate(cases):
            with self.subTest(name):
                root = self.path(str(number))
                os.mkdir(root)
                port = harness.next_port()
                options = ["--segment=1"] + (["--report=" + os.path.join(root, report)] if report else [])
                began = time.time()
                result = record(options + ["-i", "0", "-m", GROUP, "-p", port, "-l", 5, "-f",
                                           os.path.join(root, pattern)],
                                senders=[["--group", GROUP, "--port", port] + stream])
                ended = time.time()
                self.assertRecorded(result)
                segments = self.segments(root, expected, began, ended, expected_report)
                seconds = [second for second, _ in segments]
                self.assertIn(len(segments), (5, 6), segments)
                self.assertEqual(seconds, list(range(seconds[0], seconds[0] + len(seconds))), segments)
                self.assertJoinedExact([path for _, path in segments], stream[stream.index("--count") + 1])
                if report:
                    self.assertEqual(len(files_under(root)), 2 * len(segments), files_under(root))
                    for second, path in segments:
                        with open(os.path.join(root, utc_name(expected_report, second)), encoding="utf-8") as f:
                            figures = json.load(f)
                        self.assertEqual((figures["file"], figures["bytes"]), (path, os.path.getsize(path)))

    def test_keep_owns_its_patterns_files_and_their_reports(self):
        root = self.path("kept")
        os.mkdir(root)
        # An earlier run's segment and report (older than this run's) go; a
        # file the pattern could not have named stays.
        unrelated = os.path.join(root, "x-unrelated.ts")
        for name in ("x-unrelated.ts", "x-20000101-000000.ts", "r-20000101-000000.json"):
            with open(os.path.join(root, name), "wb") as f:
                f.write(b"old")
        port = harness.next_port()
        # The stream outlasts the recording, so the newest segments hold data.
        began = time.time()
        result = record(["--segment=1", "--keep=2", "--report=" + os.path.join(root, "r.json"), "-i", "0",
                         "-m", GROUP, "-p", port, "-l", 5, "-f", os.path.join(root, "x.ts")],
                        senders=[["--group", GROUP, "--port", port, "--bitrate", 20, "--duration", 6]])
        ended = time.time()
        self.assertRecorded(result)
        with open(unrelated, "rb") as f:
            self.assertEqual(f.read(), b"old")
        os.remove(unrelated)
        reports = sorted(name for name in os.listdir(root) if name.endswith(".json"))
        for name in reports:
            os.rename(os.path.join(root, name), self.path(name))
        kept = self.segments(root, "x-%Y%m%d-%H%M%S.ts", began, ended)
        self.assertEqual(len(kept), 2, kept)
        # The run's last two seconds: of its 5 or 6 segments, the fifth and
        # sixth or the fourth and fifth.
        self.assertEqual(kept[1][0], kept[0][0] + 1)
        self.assertGreaterEqual(kept[1][0], math.floor(began) + 4, kept)
        previous = None
        for _, path in kept:
            verdict = harness.check(path)
            self.assertTrue(verdict["ok"] and verdict["datagrams"] > 0, f"{path}: {verdict}")
            if previous is not None:
                self.assertEqual(verdict["first"], previous + 1, verdict)
            previous = verdict["last"]
        # Each kept segment's report, and no other.
        self.assertEqual(reports, [utc_name("r-%Y%m%d-%H%M%S.json", second) for second, _ in kept])

    def test_a_segment_that_cannot_be_opened_stops_and_keeps_the_earlier_one(self):
        # Root writes into a directory of mode 0555 anyway: the recorder runs
        # as nobody, and its directory turns read-only after the first segment
        # is open.
        nobody = 65534
        os.chmod(self.dir, 0o755)
        root = self.path("read-only")
        os.mkdir(root)
        os.chown(root, nobody, nobody)
        port = harness.next_port()
        start_just_after_a_multiple_of(2)
        with mock.patch.dict(os.environ, PELORIN_LAUNCHER=f"setpriv --reuid={nobody} --regid={nobody} --clear-groups"):
            # A moderate rate: without privileges the receive buffer is small.
            result = record(["--segment=2", "-i", "0", "-m", GROUP, "-p", port, "-l", 30, "-f",
                             os.path.join(root, "x.ts")],
                            senders=[["--group", GROUP, "--port", port, "--rate", 500, "--count", 2000]],
                            before_senders=lambda: os.chmod(root, 0o555))
        self.assertEqual(result.returncode, exit_status(E_FAIL), result.stdout + result.stderr)
        # The next segment cannot be made: the system's words for it.
        self.assertRegex(result.stderr, r"^pelorin: open %s/x-\d{8}-\d{6}\.ts: Permission denied \(13\)\n$" % re.escape(root))
        self.assertEqual(len(result.lines), 3, result.stdout)
        self.assertRegex(result.lines[0], harness.START_LINE)
        self.assertEqual(result.lines[1], OPEN_FAILED)
        self.assertRegex(result.lines[2], harness.FINISH_LINE)
        self.assertLess(result.elapsed, 20)  # stopped at the boundary, not after 30 s
        names = os.listdir(root)
        self.assertEqual(len(names), 1, names)
        verdict = harness.check(os.path.join(root, names[0]))
        self.assertTrue(verdict["ok"], verdict)
        self.assertEqual(verdict["first"], 0, verdict)
        self.assertLess(verdict["datagrams"], 2000, verdict)

    def test_sigterm_mid_segment_keeps_everything_received(self):
        root = self.path("stopped")
        port = harness.next_port()
        count = 5000  # 2.5 s: from the first segment well into the second

        def send_then_stop(process):
            before = harness.udp_datagrams_read()
            harness.start_sender("--group", GROUP, "--port", port, "--rate", 2000, "--count", count) \
                .communicate(timeout=60)
            # Stopped once the recorder has read the whole stream.
            harness.wait_for_reads(count, before)
            process.send_signal(signal.SIGTERM)

        start_just_after_a_multiple_of(2)
        began = time.time()
        result = record(["--segment=2", "-i", "0", "-m", GROUP, "-p", port, "-l", 3600, "-f",
                         os.path.join(root, "x.ts")], during=send_then_stop)
        ended = time.time()
        self.assertEqual(result.returncode, -signal.SIGTERM, result.stdout + result.stderr)
        self.assertEqual(len(result.lines), 2, result.stdout)
        self.assertRegex(result.lines[0], harness.START_LINE)
        self.assertRegex(result.lines[1], harness.FINISH_LINE)
        segments = [path for _, path in self.segments(root, "x-%Y%m%d-%H%M%S.ts", began, ended)]
        self.assertGreaterEqual(len(segments), 2, segments)
        self.assertGreater(os.path.getsize(segments[-1]), 0, "the stop came after the stream, not mid-segment")
        self.assertJoinedExact(segments, count)

    def test_outputs_and_values_refused(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        out = self.path("never", "x.ts")
        cases = [
            (["--segment=1"], "/dev/stdout", REFUSED),
            (["--segment=1"], fifo, REFUSED),
            (["--segment=1"], "/dev/null", REFUSED),
            (["--segment=0"], out, "Error occurred while parsing segment length."),
            (["--segment=86401"], out, "Error occurred while parsing segment length."),
            (["--segment=hour"], out, "Error occurred while parsing segment length."),
            (["--segment=1", "--keep=0"], out, "Error occurred while parsing segment count."),
            (["--segment=1", "--keep=1000001"], out, "Error occurred while parsing segment count."),
            (["--keep=2"], out, "--keep needs --segment."),
            (["--segment=1x"], out, "Error occurred while parsing segment length."),
            (["--segment=2d"], out, "Error occurred while parsing segment length."),  # over a day
            (["--segment=1", "--keep=7d"], out, "Error occurred while parsing segment count."),
            (["--index=" + self.path("never", "i.csv")], out, "--index needs --segment."),
            # names that two consecutive segments would share
            (["--segment=1"], self.path("never", "ch-%Y%m%d-%H%M.ts"),
             "Segment names would repeat: the -f pattern needs %S for --segment=1."),
            (["--segment=1800"], self.path("never", "news-%H.ts"),
             "Segment names would repeat: the -f pattern needs %M for --segment=1800."),
            (["--segment=1", "--index=/proc/i.csv"], out,
             ("Error occurred while writing index file.", "pelorin: open /proc/i.csv: No such file or directory (2)")),
        ]
        for options, path, line in cases:
            with self.subTest(options=options, path=path):
                # Refused before anything else: a FIFO without a reader would
                # hold up the open for the whole length.
                result = record(options + ["-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 30,
                                           "-f", path], timeout=10)
                # With -f /dev/stdout, what is printed goes to standard error.
                self.assertEqual((result.stdout + result.stderr).splitlines(),
                                 [line] if isinstance(line, str) else list(line))
                self.assertEqual(result.returncode, exit_status(E_FAIL))
                self.assertFalse(os.path.exists(self.path("never")))

        # A ring of names that repeats only after a full cycle, and a length
        # with its unit.
        for option, pattern in (("--segment=3600", "news-%H.ts"), ("--segment=1h", "news-%H.ts"),
                                ("--segment=2s", "two-%S.ts")):
            with self.subTest(option=option, pattern=pattern):
                began = time.time()
                result = record([option, "-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 0, "-f",
                                 self.path("ring", pattern)])
                self.assertRecorded(result)
                named = {utc_name(pattern, s) for s in range(math.floor(began), math.floor(time.time()) + 1)}
                self.assertTrue(named & set(os.listdir(self.path("ring"))), os.listdir(self.path("ring")))
        # The largest values are taken: one segment, named from the start.
        began = time.time()
        result = record(["--segment=86400", "--keep=1000000", "-i", "0", "-m", GROUP, "-p", harness.next_port(),
                         "-l", 0, "-f", self.path("day", "x.ts")])
        self.assertRecorded(result)
        self.assertEqual(len(self.segments(self.path("day"), "x-%Y%m%d-%H%M%S.ts", began, time.time())), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
