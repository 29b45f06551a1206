"""End to end: the live status line a person at a terminal sees.

Standard error goes to a pseudo-terminal, as in an interactive shell. The
other e2e tests, whose standard error is a pipe, check that scripts see
nothing of it (stderr == "").
"""

import os
import pty
import re
import fcntl
import json
import select
import signal
import struct
import subprocess
import termios
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

GROUP = "239.255.0.7"
STATUS = re.compile(r"^(\d+):(\d\d):(\d\d) / (\d+):(\d\d):(\d\d)  stored (\d+(?:\.\d+)? [kMGTP]?B)  "
                    r"(\d+(?:\.\d+)? [kMGT]?bit/s)( average)?  (\d+) datagrams(  no data(?: for (\d+) s)?)?"
                    r"(  IAT max \d+\.\d ms  MDI \d+\.\d:\d+)? *$")


def setUpModule():
    harness.set_up_network()


class Terminal:
    """The recorder with standard error (and, if asked, standard output) on
    a pseudo-terminal; collects what the terminal shows while it runs."""

    def __init__(self, args, stdout_on_terminal=False, columns=0):
        self.master, slave = pty.openpty()
        if columns:
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        self.port = int(args[args.index("-p") + 1]) if "-p" in args else 0
        self.began = time.monotonic()
        self.process = subprocess.Popen(
            harness.pelorin_command() + [str(a) for a in args],
            stdin=subprocess.DEVNULL, stderr=slave,
            stdout=slave if stdout_on_terminal else subprocess.PIPE)
        os.close(slave)
        self.shown = b""

    def read_for(self, seconds):
        """Collects terminal output for up to `seconds`; False once it ended."""
        deadline = time.monotonic() + seconds
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return True
            ready, _, _ = select.select([self.master], [], [], left)
            if not ready:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:  # the last holder of the terminal has gone
                return False
            if not data:
                return False
            self.shown += data

    def wait_until(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate(self.text()):
                return True
            if not self.read_for(0.2):
                return predicate(self.text())
        return False

    def finish(self, timeout=60):
        while self.read_for(timeout):
            pass
        out = self.process.stdout.read().decode() if self.process.stdout else ""
        self.process.wait(timeout=timeout)
        os.close(self.master)
        self.elapsed = time.monotonic() - self.began
        return out

    def text(self):
        # The terminal turns each newline into CR LF.
        return self.shown.decode().replace("\r\n", "\n")


def refreshes(text):
    """The status texts in the order shown, padding removed."""
    return [part.rstrip(" ") for part in re.split(r"[\r\n]", text) if part.strip(" ")]


class StatusLine(harness.RecorderTestCase):

    def assertStatus(self, line):
        match = STATUS.match(line)
        self.assertIsNotNone(match, repr(line))
        return match

    def test_a_recording_shows_its_progress_and_ends_with_the_totals(self):
        port = harness.next_port()
        out = self.path("ch.ts")
        terminal = Terminal(["-i", "0", "-m", GROUP, "-p", port, "-l", 4, "-f", out])
        try:
            self.assertTrue(terminal.wait_until(lambda text: "\r" in text, 20), terminal.text())
            sender = harness.start_sender("--group", GROUP, "--port", port, "--count", 3000, "--rate", 1500)
            sent, errors = sender.communicate(timeout=30)
            self.assertEqual(sender.returncode, 0, errors)
        finally:
            stdout = terminal.finish()

        self.assertEqual(terminal.process.returncode, 0)
        # Scripts reading standard output see exactly the two time lines.
        lines = stdout.splitlines()
        self.assertEqual(len(lines), 2, stdout)
        self.assertRegex(lines[0], harness.START_LINE)
        self.assertRegex(lines[1], harness.FINISH_LINE)
        self.assertExact(out, 3000, 0)

        text = terminal.text()
        # One line rewritten in place: the only newline ends the totals.
        self.assertEqual(text.count("\n"), 1, repr(text))
        self.assertTrue(text.endswith("\n"), repr(text))
        shown = refreshes(text)
        self.assertGreaterEqual(len(shown), 3, shown)
        for line in shown[:-1]:
            match = self.assertStatus(line)
            self.assertIsNone(match.group(9), line)  # no "average" while running
            self.assertEqual(match.group(4, 5, 6), ("0", "00", "04"))
        counts = [int(self.assertStatus(line).group(10)) for line in shown]
        self.assertEqual(counts, sorted(counts), shown)
        self.assertTrue(any(re.search(r" [kMG]bit/s ", line) for line in shown[:-1]), shown)

        final = self.assertStatus(shown[-1])
        self.assertEqual(final.group(9), " average")
        self.assertEqual(final.group(10), "3000")
        self.assertEqual(final.group(7), "3.95 MB")  # 3000 x 1316 bytes, all stored
        self.assertIsNone(final.group(11))

    def test_silence_is_flagged_after_three_seconds_and_cleared_by_data(self):
        port = harness.next_port()
        out = self.path("quiet.ts")
        terminal = Terminal(["-i", "0", "-m", GROUP, "-p", port, "-l", 10, "-f", out])
        try:
            self.assertTrue(terminal.wait_until(lambda text: "no data for" in text, 20), terminal.text())
            before = len(terminal.text())
            sender = harness.start_sender("--group", GROUP, "--port", port, "--count", 400, "--rate", 200)
            sent, errors = sender.communicate(timeout=30)
            self.assertEqual(sender.returncode, 0, errors)
            self.assertTrue(terminal.wait_until(lambda text: re.search(r" 400 datagrams", text[before:]), 10),
                            terminal.text())
        finally:
            terminal.finish()
        self.assertEqual(terminal.process.returncode, 0)

        shown = refreshes(terminal.text())
        warned = [line for line in shown if "no data for" in line]
        self.assertTrue(warned, shown)
        for line in warned:
            match = self.assertStatus(line)
            self.assertGreaterEqual(int(match.group(12)), 3, line)
        # Before anything arrived, nothing is counted.
        self.assertEqual(self.assertStatus(warned[0]).group(10), "0")
        after = [line for line in shown if " 400 datagrams" in line]
        self.assertNotIn("no data", after[0])
        self.assertEqual(self.assertStatus(shown[-1]).group(10), "400")
        self.assertNotIn("no data", shown[-1])

    def test_a_slow_stream_shows_each_second_at_the_next_refresh(self):
        # 0.2 Mbit/s, silent for 1.5 s in the middle: no chunk ever fills, yet
        # the line at second N shows second N's figures (the report's t = N - 1),
        # the silent second and the long gap that ends it included.
        port = harness.next_port()
        out, report = self.path("slow.ts"), self.path("slow.json")
        terminal = Terminal(["--report=" + report, "-i", "0", "-m", GROUP, "-p", port, "-l", 7, "-f", out])
        try:
            self.assertTrue(terminal.wait_until(lambda text: "\r" in text, 20), terminal.text())
            sender = harness.start_sender("--group", GROUP, "--port", port, "--count", 60, "--rate", 20,
                                          "--pause-after", 30, "--pause-ms", 1500)
            sent, errors = sender.communicate(timeout=30)
            self.assertEqual(sender.returncode, 0, errors)
        finally:
            terminal.finish()
        self.assertEqual(terminal.process.returncode, 0)
        with open(report, encoding="utf-8") as f:
            intervals = {i["t"]: i for i in json.load(f)["intervals"]}
        shown = {}
        for line in refreshes(terminal.text())[:-1]:
            match = re.search(r"^(\d+):(\d\d):(\d\d) .*  IAT max (\d+\.\d) ms", line)
            if match:
                h, m, sec = (int(g) for g in match.group(1, 2, 3))
                shown.setdefault(h * 3600 + m * 60 + sec, float(match.group(4)))
        silent = min(t for t, i in intervals.items() if i["datagrams"] == 0 and t > 0)
        gap = min(t for t, i in intervals.items() if i["iat_max_us"] >= 1000000)
        self.assertEqual(shown.get(silent + 1), 0.0, (silent, shown))
        self.assertAlmostEqual(shown.get(gap + 1, -1), intervals[gap]["iat_max_us"] / 1000, delta=0.06,
                               msg=(gap, shown))

    def test_nothing_received_ends_with_a_no_data_total_between_the_time_lines(self):
        out = self.path("none.ts")
        terminal = Terminal(["-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 1, "-f", out],
                            stdout_on_terminal=True)
        terminal.finish()
        self.assertEqual(terminal.process.returncode, 0)
        self.assertEqual(os.path.getsize(out), 0)
        # As a person sees it: start line, the status line ending in the
        # totals, then the finish line.
        lines = terminal.text().split("\n")
        self.assertEqual(lines[-1], "", lines)
        self.assertEqual(len(lines), 4, lines)
        self.assertRegex(lines[0], harness.START_LINE)
        self.assertRegex(lines[2], harness.FINISH_LINE)
        final = refreshes(lines[1])[-1]
        self.assertTrue(final.endswith("0 datagrams  no data"), final)
        self.assertIn(" average", final)

    def test_narrow_terminals_show_the_time_the_rate_and_what_is_wrong_first(self):
        # 80 columns: the time, the rate, the amount stored, IAT max and MDI in
        # compact forms; 40: the time, the rate and "no data".
        expected = {
            80: re.compile(r"^\d+:\d\d:\d\d/\d+:\d\d:\d\d  \S+ [kMG]?bit/s  \S+ [kMG]?B  IAT \d+\.\dms MDI \d+\.\d:\d+"),
            40: re.compile(r"^\d+:\d\d:\d\d/\d+:\d\d:\d\d {1,2}\S+ [kMG]?bit/s {1,2}no data \d+s$"),
        }
        for columns, wanted in expected.items():
            with self.subTest(columns=columns):
                port = harness.next_port()
                terminal = Terminal(["-i", "0", "-m", GROUP, "-p", port, "-l", 10, "-f", self.path("w.ts")],
                                    columns=columns)
                try:
                    self.assertTrue(terminal.wait_until(lambda text: "\r" in text, 20), terminal.text())
                    sender = harness.start_sender("--group", GROUP, "--port", port, "--count", 2000, "--rate", 1000)
                    sender.communicate(timeout=30)
                    self.assertTrue(terminal.wait_until(lambda text: any(
                        wanted.match(part) for part in refreshes(text)), 20), terminal.text())
                    # Seen: the rest of the 10 s adds nothing but the final line.
                    terminal.process.send_signal(signal.SIGINT)
                finally:
                    terminal.finish()
                self.assertTrue(all(len(part) < columns for part in refreshes(terminal.text())), terminal.text())

    def test_failures_before_the_recording_show_no_status(self):
        terminal = Terminal(["-i", "10.99.99.99", "-m", GROUP, "-p", harness.next_port(), "-l", 30,
                             "-f", self.path("x.ts")])
        stdout = terminal.finish()
        self.assertEqual(terminal.process.returncode, harness.exit_status(harness.BIND_FAILED))
        # No status line; only the cause of the failure, on Linux.
        self.assertNotIn("\r", terminal.text())
        self.assertEqual(terminal.text(),
                         "pelorin: bind 10.99.99.99:%d: Cannot assign requested address (99)\n" % terminal.port)
        self.assertRegex(stdout.strip(), harness.FINISH_LINE)


if __name__ == "__main__":
    unittest.main(verbosity=2)
