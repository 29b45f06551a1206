"""The Windows build under Wine: how a run ends and what it exits with
(usage and parse errors, a failed set-up, Ctrl-C, a standard output that is
the recording's own file). Run through test_windows.py.
"""

import os
import signal
import socket
import subprocess

import harness
from harness import BIND_FAILED, E_FAIL, hresult_from_win32
from wine_harness import ABSENT_ADDRESS, GROUP, SETUP_SEQUENCE, STATUS_CONTROL_C_EXIT, TIME_LINE, TIME_LINES, TRACE, \
    USAGE, WSAEINVAL, WindowsTestCase, pelorin, recording_args, stream, win_path, wine_process


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
