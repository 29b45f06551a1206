"""End to end: a recording ends well however it ends (signals, odd file names,
odd standard streams), and the recording stays byte-exact."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import E_FAIL, exit_status, posix_only, record  # noqa: E402

GROUP = "239.255.1.1"


def setUpModule():
    harness.set_up_network()


def sender(port, count):
    return ["--group", GROUP, "--port", port, "--count", count, "--rate", 2000]


def built_with_thread_sanitizer():
    with open(os.environ["PELORIN"], "rb") as program:
        return b"__tsan_init" in program.read()


@posix_only("signals; test_windows.py stops the Windows build with Ctrl-C")
@unittest.skipIf(built_with_thread_sanitizer(),
                 "ThreadSanitizer holds a signal back until its thread calls a function it intercepts, and the "
                 "main thread sleeps in a raw futex system call that it does not: the stop would come at the "
                 "deadline (RequestStop itself runs under it in the writer's unit tests)")
class Signals(harness.RecorderTestCase):
    """SIGINT, SIGTERM, SIGHUP after the start line: everything received is
    written, the partial last chunk too, both time lines come, and the process
    then ends by the same signal."""

    def stop_after_stream(self, signals, count=2171):
        port = harness.next_port()
        out = self.path("stopped.ts")

        def send_then_signal(process):
            before = harness.udp_datagrams_read()
            harness.start_sender(*sender(port, count)).communicate(timeout=30)
            # Stopped once the recorder has read every datagram of the stream.
            self.assertTrue(harness.wait_for_reads(count, before))
            for number in signals:
                os.kill(process.pid, number)

        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 60, "-f", out],
                        during=send_then_signal)
        return result, out

    def test_each_signal_stops_the_recording_and_keeps_every_datagram(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=number.name):
                # 2171 datagrams: 43 full chunks and a partial one.
                result, out = self.stop_after_stream([number])
                self.assertEqual(result.returncode, -number)
                self.assertEqual(result.stderr, "")
                self.assertEqual(len(result.lines), 2, result.stdout)
                self.assertRegex(result.lines[0], harness.START_LINE)
                self.assertRegex(result.lines[1], harness.FINISH_LINE)
                self.assertLess(result.elapsed, 30)
                self.assertExact(out, 2171, 0)

    def test_a_second_signal_during_the_stop_ends_the_process_at_once(self):
        port = harness.next_port()

        def two_signals(process):
            os.kill(process.pid, signal.SIGSTOP)
            # Both wait until it runs again. Two threads may take them at
            # once, so either one starts the stop and the other ends it.
            os.kill(process.pid, signal.SIGINT)
            os.kill(process.pid, signal.SIGTERM)
            os.kill(process.pid, signal.SIGCONT)

        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 60, "-f", self.path("twice.ts")],
                        during=two_signals)
        self.assertIn(result.returncode, (-signal.SIGINT, -signal.SIGTERM))
        self.assertEqual(len(result.lines), 1, result.stdout)  # ended before the finish line
        self.assertRegex(result.lines[0], harness.START_LINE)
        self.assertLess(result.elapsed, 30)

    def test_a_signal_ignored_at_start_stays_ignored(self):
        # As under nohup: the hang-up of the session must not end the recording.
        port = harness.next_port()
        out = self.path("nohup.ts")
        command = " ".join(harness.pelorin_command()) + f" -i 0 -m {GROUP} -p {port} -l 3 -f {out}"
        process = subprocess.Popen(["sh", "-c", f"trap '' HUP; exec {command}"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        self.assertRegex(process.stdout.readline().strip(), harness.START_LINE)
        harness.start_sender(*sender(port, 1000)).communicate(timeout=30)
        process.send_signal(signal.SIGHUP)
        out_text, err = process.communicate(timeout=30)
        self.assertEqual(process.returncode, 0, err)
        self.assertRegex(out_text.strip(), harness.FINISH_LINE)
        self.assertExact(out, 1000, 0)


class StandardStreams(harness.RecorderTestCase):
    """Standard output and the recording never mix."""

    @posix_only("/dev/stdout; test_windows.py records into the file standard output writes to")
    def test_recording_into_standard_output_moves_the_time_lines_to_standard_error(self):
        for into in ("file", "pipe"):
            with self.subTest(standard_output=into):
                port = harness.next_port()
                captured = self.path(f"stdout-{into}.ts")
                with open(captured, "wb") as sink:
                    process = subprocess.Popen(
                        harness.pelorin_command() + ["-i", "0", "-m", GROUP, "-p", str(port), "-l", "3",
                                                     "-f", "/dev/stdout"],
                        stdout=sink if into == "file" else subprocess.PIPE, stderr=subprocess.PIPE)
                    drained = []
                    if into == "pipe":
                        reader = threading.Thread(target=lambda: drained.append(process.stdout.read()))
                        reader.start()
                    first = process.stderr.readline()  # the start line, once receiving has begun
                    harness.start_sender(*sender(port, 1000)).communicate(timeout=30)
                    if into == "pipe":
                        # The reader thread alone reads the recording: communicate()
                        # would read standard output too and take part of it.
                        err = process.stderr.read()
                        process.wait(timeout=30)
                        reader.join()
                        sink.write(drained[0])
                    else:
                        _, err = process.communicate(timeout=30)
                    err = first + err
                self.assertEqual(process.returncode, 0, err)
                lines = err.decode().splitlines()
                self.assertEqual(len(lines), 2, err)
                self.assertRegex(lines[0], harness.START_LINE)
                self.assertRegex(lines[1], harness.FINISH_LINE)
                self.assertExact(captured, 1000, 0)

    @posix_only("closed descriptors 0, 1 and 2")
    def test_closed_standard_descriptors_never_become_the_recording(self):
        port = harness.next_port()
        out = self.path("closed.ts")
        command = " ".join(harness.pelorin_command()) + f" -i 0 -m {GROUP} -p {port} -l 3 -f {out}"
        process = subprocess.Popen(["sh", "-c", f"exec {command} <&- >&- 2>&-"])
        # It prints nothing anyone can see: its joined group tells it is there.
        self.assertTrue(harness.wait_for_membership(GROUP), "the recorder never joined the group")
        harness.start_sender(*sender(port, 1000)).communicate(timeout=30)
        self.assertEqual(process.wait(timeout=30), 0)
        self.assertExact(out, 1000, 0)

    @posix_only("FIFOs")
    def test_a_fifo_nobody_reads_fails_at_the_deadline(self):
        fifo = self.path("nobody.fifo")
        os.mkfifo(fifo)
        result = record(["-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 2, "-f", fifo])
        self.assertEqual(result.returncode, exit_status(E_FAIL))
        self.assertEqual(result.lines[0], "Error occurred while opening output file.")
        self.assertRegex(result.lines[1], harness.FINISH_LINE)
        self.assertGreaterEqual(result.elapsed, 2.0)
        self.assertLess(result.elapsed, 15)

    @posix_only("FIFOs")
    def test_a_fifo_records_once_its_reader_comes(self):
        port = harness.next_port()
        fifo = self.path("player.fifo")
        os.mkfifo(fifo)
        received = []

        def player():
            # The recorder joins before it opens its output: the reader comes
            # once it is there, and the open waits for it.
            harness.wait_for_membership(GROUP)
            with open(fifo, "rb") as stream:
                received.append(stream.read())

        reader = threading.Thread(target=player)
        reader.start()
        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 3, "-f", fifo], senders=[sender(port, 1000)])
        reader.join(timeout=30)
        self.assertRecorded(result)
        out = self.path("played.ts")
        with open(out, "wb") as copy:
            copy.write(received[0])
        self.assertExact(out, 1000, 0)


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


@posix_only("FIFOs and signals")
class StalledOutput(harness.RecorderTestCase):
    """An output that stops taking data never holds the recording: receiving
    ends at its time, the writer gets 10 s without progress, memory stays
    bounded."""

    QUEUE_CAP_KIB = 512 * 1024

    def start_into_fifo(self, fifo, port, length, report):
        return subprocess.Popen(harness.pelorin_command() + [f"--report={report}", "-i", "0", "-m", GROUP, "-p",
                                                             str(port), "-l", str(length), "-f", fifo],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def test_a_reader_that_never_reads(self):
        for stop in ("deadline", "SIGTERM"):
            with self.subTest(stop=stop):
                port = harness.next_port()
                fifo = self.path(f"stuck-{stop}.fifo")
                os.mkfifo(fifo)
                # Opened, never read: the first writes fill the pipe and the writer sits in the next one.
                reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
                try:
                    report = self.path(f"stuck-{stop}.json")
                    process = self.start_into_fifo(fifo, port, 2 if stop == "deadline" else 3600, report)
                    self.assertRegex(process.stdout.readline().strip(), harness.START_LINE)
                    # The length runs from after the start line, not from the program's loading.
                    began = time.monotonic()
                    peak = [0]

                    def watch():
                        while process.poll() is None:
                            peak[0] = max(peak[0], peak_rss_kib(process.pid))
                            time.sleep(0.2)

                    watcher = threading.Thread(target=watch)
                    watcher.start()
                    harness.start_sender("--group", GROUP, "--port", port, "--bitrate", 100, "--duration", 2
                                         ).communicate(timeout=30)
                    if stop == "SIGTERM":
                        stopped = time.monotonic()
                        process.send_signal(signal.SIGTERM)
                    out, err = process.communicate(timeout=60)
                    ended = time.monotonic()
                    watcher.join()
                finally:
                    os.close(reader)
                if stop == "deadline":
                    self.assertEqual(process.returncode, exit_status(E_FAIL), out + err)
                    self.assertEqual(out.splitlines()[0], "Error occurred while writing output file.")
                    self.assertRegex(out.splitlines()[1], harness.FINISH_LINE)
                    self.assertLess(ended - began, 2 + 10 + 2)
                else:
                    self.assertEqual(process.returncode, -signal.SIGTERM, out + err)
                    self.assertLess(ended - stopped, 12)
                self.assertLess(peak[0], self.QUEUE_CAP_KIB + 64 * 1024)
                # The report still tells what arrived, though little of it reached the pipe.
                with open(report) as text:
                    self.assertGreater(json.load(text)["datagrams"], 10000)

    def test_a_slow_reader_gets_everything_after_the_recording_time(self):
        port = harness.next_port()
        fifo = self.path("slow.fifo")
        os.mkfifo(fifo)
        received = bytearray()

        def slow_reader():
            with open(fifo, "rb", buffering=0) as stream:
                while True:
                    piece = stream.read(100000)  # 1 MB/s
                    if not piece:
                        return
                    received.extend(piece)
                    time.sleep(0.1)

        reader = threading.Thread(target=slow_reader)
        reader.start()
        # The stream outlasts the recording: what comes after its 2 s is not recorded, however
        # long the reader takes.
        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 2, "-f", fifo],
                        senders=[["--group", GROUP, "--port", port, "--bitrate", 20, "--duration", 5]])
        reader.join(timeout=60)
        self.assertRecorded(result)
        self.assertGreater(result.elapsed, 4)  # it waited for the reader, which took the time it needed
        out = self.path("slow.ts")
        with open(out, "wb") as copy:
            copy.write(received)
        verdict = harness.check(out)
        self.assertTrue(verdict["ok"], verdict)
        per_second = 20e6 / 8 / 1316
        self.assertGreater(verdict["datagrams"], 1.5 * per_second)
        self.assertLess(verdict["datagrams"], 2.6 * per_second)

    def test_standard_output_and_error_both_the_recording_print_nothing(self):
        port = harness.next_port()
        captured = self.path("both.ts")
        command = " ".join(harness.pelorin_command()) + f" -i 0 -m {GROUP} -p {port} -l 2 -f /dev/stdout"
        with open(captured, "wb") as sink:
            process = subprocess.Popen(["sh", "-c", f"exec {command} 2>&1"], stdout=sink)
            self.assertTrue(harness.wait_for_membership(GROUP), "the recorder never joined the group")
            harness.start_sender(*sender(port, 1000)).communicate(timeout=30)
            self.assertEqual(process.wait(timeout=30), 0)
        self.assertExact(captured, 1000, 0)


@posix_only("byte strings and locales; test_windows.py covers UTF-16 names")
class FileNames(harness.RecorderTestCase):
    """Every byte of the -f argument reaches the file system unchanged, in any locale."""

    def test_directory_and_file_are_created_byte_for_byte(self):
        cases = [
            ("UTF-8 in the C locale", "C", "Zürich".encode(), b"ch1.ts"),
            ("UTF-8 in C.UTF-8", "C.UTF-8", "Zürich".encode(), "Kanal ö.ts".encode()),
            ("Latin-1 byte in C.UTF-8", "C.UTF-8", b"L\xfcbeck", b"ch\xe41.ts"),
            ("a space", "C.UTF-8", b"two words", b"with space.ts"),
            ("outside the BMP", "C.UTF-8", "\U0001F3A5 camera".encode(), "\U0001D11E.ts".encode()),
            ("outside the BMP in the C locale", "C", "\U0001F3A5".encode(), b"c.ts"),
            ("an encoded lone surrogate", "C.UTF-8", b"odd\xed\xb3\x83", b"x.ts"),
        ]
        for number, (what, locale, directory, name) in enumerate(cases):
            with self.subTest(what):
                base = os.fsencode(self.path(str(number)))
                os.makedirs(base, exist_ok=True)
                out = os.path.join(base, directory, name)
                environment = dict(os.environ, LC_ALL=locale)
                command = [os.fsencode(part) for part in harness.pelorin_command()] + \
                    [b"-i", b"0", b"-m", GROUP.encode(), b"-p", str(harness.next_port()).encode(), b"-l", b"0",
                     b"-f", out]
                completed = subprocess.run(command, env=environment, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, timeout=30)
                self.assertEqual(completed.returncode, 0, completed.stdout + completed.stderr)
                self.assertEqual(completed.stderr, b"")
                self.assertEqual(os.listdir(base), [directory])
                self.assertEqual(os.listdir(os.path.join(base, directory)), [name])


if __name__ == "__main__":
    unittest.main()
