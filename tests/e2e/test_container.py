#!/usr/bin/env python3
"""End to end: the OCI image as the recorder, run with podman on the host's
network (here the private namespace the tests run in).

Run by tests/variants.d/80-container.sh, which builds the image and passes
PELORIN_LAUNCHER (podman run and its options) and PELORIN (the image's name);
PELORIN_SEND and PELORIN_CHECK are tools of the host. Each case names its
container and its volume, so the cleanup can find them whatever happened.
"""

import os
import re
import sys
import time
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import record  # noqa: E402

GROUP = "239.255.2.1"
IMAGE_USER = (65532, 65532)  # the image's USER
PODMAN = os.environ.get("PODMAN", "podman").split()


def setUpModule():
    harness.set_up_network()


def podman(*args):
    return harness.run(PODMAN + [str(a) for a in args], check=False)


def sender(port, count, rate=1900):
    return ["--group", GROUP, "--port", port, "--count", count, "--rate", rate]


def socket_queue(port):
    """Bytes waiting in the receive queues of the UDP sockets bound to `port`."""
    waiting = 0
    with open("/proc/net/udp") as table:
        for row in list(table)[1:]:
            fields = row.split()
            if int(fields[1].split(":")[1], 16) == port:
                waiting += int(fields[4].split(":")[1], 16)
    return waiting


def wait_until_delivered(port, count, before, timeout=30):
    """True once the namespace has delivered `count` more datagrams than
    `before` and the recorder's socket has taken every one of them."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        delivered = int(harness.udp_drops().get("InDatagrams", 0)) - before
        if delivered >= count and socket_queue(port) == 0:
            return True
        time.sleep(0.02)
    return False


class Container(harness.RecorderTestCase):

    def setUp(self):
        super().setUp()
        self.name = f"pelorin-test-{os.getpid()}-{self.id().rsplit('.', 1)[1][:40]}"
        podman("volume", "create", self.name)
        self.addCleanup(podman, "volume", "rm", "--force", self.name)
        self.addCleanup(podman, "rm", "--force", "--time", "0", self.name)

    def in_container(self):
        """While in effect, the recorder runs under this case's name, with its volume."""
        launcher = os.environ["PELORIN_LAUNCHER"] + f" --name {self.name} --volume {self.name}:/recordings"
        return mock.patch.dict(os.environ, {"PELORIN_LAUNCHER": launcher})

    def recording(self, name):
        mountpoint = podman("volume", "inspect", "--format", "{{.Mountpoint}}", self.name).stdout.strip()
        return mountpoint, os.path.join(mountpoint, name)

    def test_a_recording_is_byte_exact_in_a_volume_owned_by_the_image_user(self):
        port = harness.next_port()
        # 20 Mbit/s of 1316-byte datagrams for 2 s, within a 4-s recording.
        with self.in_container():
            result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 4, "-f", "news.ts"],
                            senders=[sender(port, 3800)])
        self.assertRecorded(result)
        volume, path = self.recording("news.ts")
        self.assertExact(path, 3800)
        for what in (volume, path):
            with self.subTest(owner=what):
                status = os.stat(what)
                self.assertEqual((status.st_uid, status.st_gid), IMAGE_USER)

    def test_sigterm_to_the_container_ends_the_recording_with_everything_written(self):
        port = harness.next_port()
        count = 2171  # 43 full chunks and a partial one

        seen = {}

        def send_then_stop(process):
            before = int(harness.udp_drops().get("InDatagrams", 0))
            harness.start_sender(*sender(port, count, rate=2000)).communicate(timeout=30)
            seen["delivered"] = wait_until_delivered(port, count, before)
            # What an orchestrator does: SIGTERM, then SIGKILL after the grace period.
            seen["stop"] = podman("stop", "--time", 30, self.name)

        with self.in_container():
            result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 60, "-f", "stopped.ts"],
                            during=send_then_stop)
        self.assertTrue(seen["delivered"], "the recorder never took the stream")
        self.assertEqual(seen["stop"].returncode, 0, seen["stop"].stderr)
        # The recorder is the container's process 1 and ends by SIGTERM: 128 + 15.
        self.assertEqual(result.returncode, 143, result.stdout + result.stderr)
        self.assertEqual(len(result.lines), 2, result.stdout)
        self.assertRegex(result.lines[1], harness.FINISH_LINE)
        self.assertLess(result.elapsed, 30)
        self.assertExact(self.recording("stopped.ts")[1], count)

    def test_version_usage_and_exit_status_pass_through(self):
        version = os.environ["PELORIN_VERSION"]
        cases = [
            (["--version"], 0, "^pelorin " + re.escape(version) + "\n$"),
            ([], 0, "^You must provide exactly 5 arguments"),
            (["-i", "0", "-m", "300.1.1.1", "-p", 5002, "-l", 1, "-f", "x.ts"], 1,
             "^Error occurred while parsing multicast ip.\n$"),
            # Without a volume, into the image's own /recordings: the image's user may write there.
            (["-i", "0", "-m", GROUP, "-p", harness.next_port(), "-l", 0, "-f", "x.ts"], 0,
             "^Recording started at .*\nRecording finished at .*\n$"),
        ]
        for args, status, output in cases:
            with self.subTest(args=args):
                result = record(args)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertRegex(result.stdout, output)


if __name__ == "__main__":
    unittest.main()
