"""End to end: segmented recording around the clock. A restart within a
segment, a full disk with and without --keep, nested date folders, a segment
file removed while it is written, and the index of the segments (CSV, m3u8)."""

import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import E_FAIL, exit_status, record  # noqa: E402

GROUP = "239.255.3.2"
DATAGRAM = 1316
WRITE_FAILED = "Error occurred while writing output file."


def setUpModule():
    harness.set_up_network()


def files_under(root):
    found = []
    for directory, _, names in os.walk(root):
        found += [os.path.join(directory, name) for name in names]
    return sorted(found, key=lambda path: (os.path.getmtime(path), path))


def sender(port, *stream):
    return ["--group", GROUP, "--port", port] + list(stream)


class Rotation(harness.RecorderTestCase):

    def assertWholeDatagrams(self, paths):
        """Every file holds whole, byte-exact datagrams, each file's after the
        previous one's; the verdicts in order."""
        verdicts = []
        for path in paths:
            self.assertEqual(os.path.getsize(path) % DATAGRAM, 0, path)
            verdict = harness.check(path)
            self.assertEqual((verdict["corrupt"], verdict["trailing_bytes"], verdict["duplicates"],
                              verdict["out_of_order"]), (0, 0, 0, 0), f"{path}: {verdict}")
            if verdicts and verdict["datagrams"] and verdicts[-1]["datagrams"]:
                self.assertGreater(verdict["first"], verdicts[-1]["last"], path)
            verdicts.append(verdict)
        return verdicts

    def test_a_restart_within_the_segment_appends(self):
        # One hour-long segment: both runs write the same file. Not across
        # the turn of an hour.
        while time.time() % 3600 > 3590:
            time.sleep(1)
        port = harness.next_port()
        pattern = self.path("x-%Y%m%d%H.ts")
        stream = harness.start_sender(*sender(port, "--rate", 1000, "--count", 6000))
        try:
            for _ in range(2):
                result = record(["--segment=3600", "--report=" + self.path("r-%Y%m%d%H.json"), "-i", "0", "-m", GROUP,
                                 "-p", port, "-l", 1, "-f", pattern])
                self.assertRecorded(result)
        finally:
            stream.communicate(timeout=30)
        names = [name for name in os.listdir(self.dir) if name.endswith(".ts")]
        self.assertEqual(len(names), 1, names)
        # The second run's report: its own bytes and datagrams, which agree.
        with open(self.path(names[0].replace("x-", "r-").replace(".ts", ".json")), encoding="utf-8") as f:
            report = json.load(f)
        self.assertEqual(report["bytes"], report["datagrams"] * DATAGRAM, report)
        self.assertLess(report["bytes"], os.path.getsize(self.path(names[0])), report)
        # Both runs' datagrams in order: the first run's start is still there,
        # with one gap where the recorder was restarting.
        verdict = self.assertWholeDatagrams([self.path(names[0])])[0]
        self.assertLess(verdict["first"], 1000, verdict)
        self.assertGreater(verdict["last"], 1500, verdict)
        self.assertGreater(verdict["datagrams"], 1200, verdict)
        self.assertEqual(verdict["gaps"], 1, verdict)

    def mount_small_disk(self, megabytes):
        # Beside the test's directory, which is removed before cleanups run.
        disk = tempfile.mkdtemp(prefix="pelorin-disk-")
        # run-e2e gives the test a mount namespace of its own.
        harness.run(["mount", "-t", "tmpfs", "-o", f"size={megabytes}m", "tmpfs", disk])
        self.addCleanup(os.rmdir, disk)
        self.addCleanup(subprocess.run, ["umount", disk], check=False)
        return disk

    def test_a_full_disk(self):
        disk = self.mount_small_disk(4)
        port = harness.next_port()
        # 2.5 MB a second: the disk is full within two segments.
        options = ["-i", "0", "-m", GROUP, "-p", port, "-l", 4, "-f", os.path.join(disk, "x.ts")]
        stream = sender(port, "--bitrate", 20, "--duration", 5)
        for run in ("first", "again"):
            with self.subTest("--keep makes room", run=run):
                result = record(["--segment=1", "--keep=3"] + options, senders=[stream])
                self.assertRecorded(result)
                files = files_under(disk)
                self.assertGreaterEqual(len(files), 1, files)
                self.assertLessEqual(len(files), 3, files)
                verdicts = self.assertWholeDatagrams(files)
                # Recording went on to the end: the newest segment holds the
                # stream's last seconds.
                self.assertGreater(verdicts[-1]["datagrams"], 0, files)
                self.assertGreater(verdicts[-1]["last"], 7000, verdicts[-1])
        for path in files_under(disk):
            os.remove(path)
        with self.subTest("without --keep nothing is deleted"):
            result = record(["--segment=1"] + options, senders=[stream])
            self.assertEqual(result.returncode, exit_status(E_FAIL), result.stdout + result.stderr)
            self.assertEqual(result.lines[1:-1], [WRITE_FAILED], result.stdout)
            files = files_under(disk)
            self.assertGreaterEqual(len(files), 2, files)
            verdicts = self.assertWholeDatagrams(files)
            self.assertEqual(verdicts[0]["gaps"], 0, verdicts[0])
        for path in files_under(disk):
            os.remove(path)
        with self.subTest("a segment that cannot be deleted is passed over"):
            # An earlier run's oldest segment, a mount point: deleting it fails.
            pinned, source = os.path.join(disk, "x-20000101-000000.ts"), self.path("pinned.ts")
            for path in (pinned, source):
                open(path, "wb").close()
            os.utime(source, (946684800, 946684800))
            harness.run(["mount", "--bind", source, pinned])
            self.addCleanup(subprocess.run, ["umount", pinned], check=False)
            result = record(["--segment=1", "--keep=3"] + options, senders=[stream])
            self.assertRecorded(result)
            verdicts = self.assertWholeDatagrams([p for p in files_under(disk) if p != pinned])
            self.assertGreater(verdicts[-1]["last"], 7000, verdicts[-1])

    def test_nested_folders_a_removed_folder_and_the_index(self):
        root = self.path("rec")
        cases = [
            # (name, -f, --index, whether the folder goes mid-run)
            ("nested %M/%S folders, CSV index", "%M/%S/ch.ts", "list.csv", False),
            ("m3u8 index", "ch-%H%M%S.ts", "list.m3u8", False),
            ("the folder removed mid-run", "live/ch.ts", "list.csv", True),
        ]
        for number, (name, pattern, index, remove) in enumerate(cases):
            with self.subTest(name):
                top = os.path.join(root, str(number))
                port = harness.next_port()
                index_path = os.path.join(top, "index", index)
                removed = threading.Event()

                def remove_folder(process):
                    # Mid-way through the first segment, which is a long one:
                    # once it holds more than 600 datagrams.
                    live = os.path.join(top, "live")
                    deadline = time.monotonic() + 20
                    while time.monotonic() < deadline and process.poll() is None:
                        sizes = [os.path.getsize(os.path.join(live, n)) for n in os.listdir(live)] \
                            if os.path.isdir(live) else []
                        if sizes and max(sizes) > 600 * DATAGRAM:
                            shutil.rmtree(live)
                            removed.set()
                            return
                        time.sleep(0.01)

                segment = "--segment=3600" if remove else "--segment=1"
                result = record([segment, "--index=" + index_path, "--report=" + os.path.join(top, "r.json"),
                                 "-i", "0", "-m", GROUP, "-p", port, "-l", 3, "-f", os.path.join(top, pattern)],
                                senders=[sender(port, "--rate", 1000, "--count", 2500)],
                                during=remove_folder if remove else None)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                segments = [path for path in files_under(top) if path.endswith(".ts")]
                self.assertGreaterEqual(len(segments), 1 if remove else 3, segments)
                verdicts = self.assertWholeDatagrams(segments)
                if remove:
                    self.assertTrue(removed.is_set())
                    self.assertRegex(result.stderr, r"Segment file removed while recording: .*live/ch-\d{8}-\d{6}\.ts")
                    self.assertGreater(verdicts[0]["first"], 500, verdicts[0])  # a new file since the removal
                    with open(os.path.join(top, [n for n in os.listdir(top) if n.startswith("r")][0])) as f:
                        self.assertTrue(json.load(f)["file_removed"])
                else:
                    self.assertEqual(sum(v["datagrams"] for v in verdicts), 2500)
                with open(index_path, encoding="utf-8") as f:
                    text = f.read()
                if index.endswith(".csv"):
                    rows = list(csv.reader(text.splitlines()))
                    self.assertEqual(rows[0], ["name", "start", "end", "bytes", "datagrams", "outages",
                                               "ts_packets_lost"])
                    self.assertEqual([row[0] for row in rows[1:]], segments)
                    self.assertEqual([int(row[3]) for row in rows[1:]], [os.path.getsize(p) for p in segments])
                    for row in rows[1:]:
                        self.assertRegex(row[1], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
                        self.assertLess(row[1], row[2])
                else:
                    self.assertTrue(text.startswith("#EXTM3U\n") and text.endswith("#EXT-X-ENDLIST\n"), text)
                    listed = [line for line in text.splitlines() if line and not line.startswith("#")]
                    # Named from the playlist's own folder.
                    self.assertEqual(listed, [os.path.relpath(p, os.path.join(top, "index")) for p in segments])
                    self.assertEqual(text.count("#EXT-X-PROGRAM-DATE-TIME:"), len(segments))

    def test_a_pause_across_a_boundary_is_in_both_reports(self):
        # 1.4 s without a datagram from about 1.3 s into a two-second segment.
        # With --keep=1 the first segment goes while its report still waits:
        # that report is never written, and the second still says continued.
        # A stream that stops for good at about 1.5 s: one outage to the end.
        pause = ["--count", 3000, "--pause-after", 1200, "--pause-ms", 1400]
        for name, keep, length, stream in (("pause", [], 5, pause), ("keep", ["--keep=1"], 3, pause),
                                           ("stop", [], 5, ["--count", 1500])):
            with self.subTest(name):
                folder = self.path(name)
                while not 0.05 <= time.time() % 2 <= 0.2:
                    time.sleep(0.01)
                port = harness.next_port()
                result = record(["--segment=2", "--report=" + os.path.join(folder, "r.json"),
                                 "--index=" + os.path.join(folder, "i", "list.csv")] + keep +
                                ["-i", "0", "-m", GROUP, "-p", port, "-l", length, "-f", os.path.join(folder, "x.ts")],
                                senders=[sender(port, "--rate", 1000, *stream)])
                self.assertRecorded(result)
                reports = []
                for report in sorted(n for n in os.listdir(folder) if n.startswith("r-")):
                    with open(os.path.join(folder, report), encoding="utf-8") as f:
                        reports.append(json.load(f))
                parts = [(index, outage) for index, report in enumerate(reports) for outage in report["outages"]]
                # The index's outages are the reports', once the silence is settled.
                with open(os.path.join(folder, "i", "list.csv"), encoding="utf-8") as f:
                    rows = list(csv.reader(f))[1:]
                self.assertEqual([int(row[5]) for row in rows], [len(r["outages"]) for r in reports], rows)
                if name == "stop":
                    # Continued in every later segment, to the last; counted once.
                    self.assertEqual([[o.get("continued", False) for o in r["outages"]] for r in reports],
                                     [[False]] + [[True]] * (len(reports) - 1), reports)
                    continue
                if keep:
                    # one segment, its report, the index's folder
                    self.assertEqual(len(os.listdir(folder)), 3, os.listdir(folder))
                    self.assertEqual(len(parts), 1, reports)
                    self.assertEqual((parts[0][1].get("continued"), parts[0][1]["start"]), (True, 0), reports)
                    continue
                self.assertEqual(len(parts), 2, reports)
                (first, before), (second, after) = parts
                self.assertEqual(second, first + 1)
                self.assertEqual((before.get("continuing"), before.get("continued")), (True, None), before)
                self.assertEqual((after.get("continuing"), after.get("continued")), (None, True), after)
                self.assertAlmostEqual(before["end"], reports[first]["seconds"], delta=0.002)
                self.assertEqual(after["start"], 0)
                self.assertAlmostEqual(before["seconds"] + after["seconds"], 1.4, delta=0.15)

    def test_an_m3u8_index_plays_as_one_stream(self):
        if not (shutil.which("ffmpeg") and shutil.which("ffprobe")):
            self.skipTest("ffmpeg/ffprobe not installed (tests/variants.d/70-inspect.sh installs them)")
        clip = self.path("clip.ts")
        harness.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                     "testsrc=size=320x240:rate=25", "-t", "4", "-c:v", "mpeg2video", "-b:v", "1M", "-f", "mpegts",
                     "-muxrate", "2M", clip])
        port = harness.next_port()
        index = self.path("hls", "list.m3u8")
        result = record(["--segment=1", "--index=" + index, "-i", "0", "-m", GROUP, "-p", port, "-l", 6, "-f",
                         self.path("hls", "seg", "x.ts")],
                        senders=[sender(port, "--file", clip, "--no-loop", "--duration", 5)])
        self.assertRecorded(result)
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0",
                                index], capture_output=True, text=True)
        self.assertEqual(probe.returncode, 0, probe.stderr)
        # The whole clip, across every segment.
        self.assertGreater(float(probe.stdout.strip()), 3.5, probe.stdout)

if __name__ == "__main__":
    unittest.main(verbosity=2)
