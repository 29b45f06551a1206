"""End to end: what tells an operator at once that a recording went wrong,
and what a dashboard reads while it runs. The system's own words for a
failure (Linux), --no-data, outputs checked before receiving, --metrics."""

import os
import socket
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import BIND_FAILED, E_FAIL, NO_DATA, exit_status, posix_only, record  # noqa: E402

GROUP = "239.255.3.1"
DATAGRAM = 1316


def setUpModule():
    harness.set_up_network()


class FailuresSayWhy(harness.RecorderTestCase):

    @posix_only("the cause line is the Linux build's")
    def test_each_failure_adds_the_systems_words_on_standard_error(self):
        port = harness.next_port()
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)  # no SO_REUSEADDR: the port is not shared
        holder.bind(("0.0.0.0", port))
        open_dir = self.path("open")
        os.chmod(self.dir, 0o777)
        unprivileged = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        cases = [
            # (who runs it, -i, port, -f, exit code, stdout before the finish line, stderr)
            ([], "10.9.9.9", harness.next_port(), self.path("a.ts"), BIND_FAILED, [],
             "pelorin: bind 10.9.9.9:{port}: Cannot assign requested address (99)\n"),
            ([], "0", port, self.path("b.ts"), BIND_FAILED, [],
             "pelorin: bind 0.0.0.0:{port}: Address already in use (98)\n"),
            (unprivileged, "0", 80, self.path("c.ts"), BIND_FAILED, [],
             "pelorin: bind 0.0.0.0:{port}: Permission denied (13)\n"),
            ([], "0", harness.next_port(), self.path("no", "such", "d.ts"), E_FAIL,
             ["Error occurred while opening output file."],
             "pelorin: open {file}: No such file or directory (2)\n"),
            ([], "0", harness.next_port(), open_dir, E_FAIL, ["Error occurred while opening output file."],
             "pelorin: open {file}: Is a directory (21)\n"),
        ]
        os.mkdir(open_dir)
        try:
            for who, interface, case_port, out, code, lines, stderr in cases:
                with self.subTest(interface=interface, port=case_port, out=out):
                    completed = subprocess.run(
                        who + harness.pelorin_command() + ["-i", interface, "-m", GROUP, "-p", str(case_port),
                                                           "-l", "20", "-f", out],
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=30)
                    self.assertEqual(completed.returncode, exit_status(code), completed.stdout + completed.stderr)
                    self.assertEqual(completed.stdout.splitlines()[:-1], lines)
                    self.assertRegex(completed.stdout.splitlines()[-1], harness.FINISH_LINE)
                    self.assertEqual(completed.stderr, stderr.format(port=case_port, file=out))
        finally:
            holder.close()


class NoData(harness.RecorderTestCase):

    def test_a_silent_group_ends_after_the_limit_with_its_own_status(self):
        out = self.path("silent.ts")
        result = record(["--no-data=2", "-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 30, "-f", out])
        self.assertEqual(result.returncode, exit_status(NO_DATA), result.stdout + result.stderr)
        self.assertEqual(result.stderr, "")
        self.assertEqual(len(result.lines), 2, result.stdout)
        self.assertRegex(result.lines[0], harness.START_LINE)
        self.assertRegex(result.lines[1], harness.FINISH_LINE)
        self.assertGreater(result.elapsed, 1.9)
        self.assertLess(result.elapsed, 10)  # not the 30 s of its length
        self.assertEqual(os.path.getsize(out), 0)

    def test_a_stream_that_stops_ends_the_limit_later_with_everything_written(self):
        out = self.path("stops.ts")
        port = harness.next_port()
        began = time.monotonic()
        result = record(["--no-data=2", "-i", "0", "-m", GROUP, "-p", port, "-l", 30, "-f", out],
                        senders=[["--group", GROUP, "--port", port, "--count", 1000, "--rate", 1000]])
        self.assertEqual(result.returncode, exit_status(NO_DATA), result.stdout + result.stderr)
        self.assertEqual(len(result.lines), 2, result.stdout)
        self.assertLess(time.monotonic() - began, 12)
        self.assertGreater(result.elapsed, 2.9)  # one second of stream, then the two seconds
        self.assertExact(out, 1000, 0)

    def test_without_the_option_a_silent_recording_runs_its_length(self):
        result = record(["-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 3, "-f", self.path("x.ts")])
        self.assertRecorded(result)
        self.assertGreater(result.elapsed, 2.9)


class OutputsCheckedAtStart(harness.RecorderTestCase):

    def test_a_report_that_cannot_be_written_fails_before_receiving(self):
        out = self.path("never.ts")
        for option, line in (("--report=", "Error occurred while writing report file."),
                             ("--metrics=", "Error occurred while writing metrics file.")):
            with self.subTest(option=option):
                result = record([option + self.path("no", "such", "r.out"), "-i", "0", "-m", GROUP,
                                 "-p", harness.next_port(), "-l", 30, "-f", out])
                self.assertEqual(result.returncode, exit_status(E_FAIL))
                self.assertEqual(result.lines[:-1], [line])
                self.assertRegex(result.lines[-1], harness.FINISH_LINE)
                self.assertLess(result.elapsed, 10)
                self.assertFalse(os.path.exists(out))

    def test_one_missing_level_is_created_as_for_the_output_file(self):
        report = self.path("reports", "r.json")
        result = record(["--report=" + report, "-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 1,
                         "-f", self.path("r.ts")])
        self.assertRecorded(result)
        self.assertTrue(os.path.isfile(report))


class Metrics(harness.RecorderTestCase):

    def test_the_file_parses_counters_only_grow_and_the_last_state_stays(self):
        metrics = self.path("prom", "ch1.prom")
        out = self.path("m.ts")
        port = harness.next_port()
        snapshots = []

        # Until the sender has finished, and one refresh more.
        watch = harness.file_sampler(metrics, 3.5, 0.2, snapshots)

        result = record(["--metrics=" + metrics, "-i", "0", "-m", GROUP, "-p", port, "-l", 5, "-f", out],
                        senders=[["--group", GROUP, "--port", port, "--count", 2000, "--rate", 1000]],
                        during=watch)
        self.assertRecorded(result)
        self.assertExact(out, 2000, 0)
        with open(metrics) as file:
            final = file.read()
        parsed = [harness.parse_metrics(text) for text in snapshots + [final]]
        self.assertGreater(len(parsed), 3)
        labels = {"group": GROUP, "source": "", "port": str(port), "interface": "0.0.0.0"}
        for series in parsed:
            self.assertTrue(all(found[1] == labels for found in series.values()), series)
            self.assertEqual(series["pelorin_receiving"][2], 1.0 if series is not parsed[-1] else 0.0)
        for earlier, later in zip(parsed, parsed[1:]):
            for name, (kind, _, value) in earlier.items():
                if kind == "counter":
                    self.assertGreaterEqual(later[name][2], value, name)
        last = {name: value for name, (_, _, value) in parsed[-1].items()}
        # The same counters as the totals line at the end.
        self.assertEqual(last["pelorin_datagrams_total"], 2000)
        self.assertEqual(last["pelorin_stored_bytes_total"], os.path.getsize(out))
        self.assertEqual(last["pelorin_received_bytes_total"], 2000 * DATAGRAM)
        self.assertEqual(last["pelorin_not_written_datagrams_total"], 0)
        self.assertEqual(last["pelorin_ts_packets_lost_total"], 0)
        self.assertEqual(last["pelorin_ts_packets_lost_estimated_total"], 0)
        self.assertGreater(last["pelorin_seconds_since_last_datagram"], 1)  # the quiet last seconds
        self.assertAlmostEqual(last["pelorin_start_time_seconds"], time.time() - result.elapsed, delta=5)
        problems = harness.promtool_problems(final)
        if problems is not None:
            self.assertEqual(problems, "")
        self.assertFalse(os.path.exists(metrics + ".tmp"))


if __name__ == "__main__":
    unittest.main()
