"""One ordinary recording of the real program, for running it under a
checker such as valgrind (PELORIN_LAUNCHER): full chunks, the partial last
one, empty datagrams mid-stream, and a clean exit with nothing on standard
error."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import record  # noqa: E402

GROUP = "239.255.7.2"


def setUpModule():
    harness.set_up_network()


class OneRecording(harness.RecorderTestCase):
    def test_stream_is_stored_byte_exact(self):
        port = harness.next_port()
        out = self.path("one.ts")
        # 2021 datagrams: 40 full chunks and 21 datagrams in the partial last one.
        result = record(["-i", "0", "-m", GROUP, "-p", port, "-l", 3, "-f", out],
                        senders=[["--group", GROUP, "--port", port, "--count", 2021, "--rate", 2000,
                                  "--zero-every", 100]],
                        timeout=120)
        self.assertRecorded(result)
        self.assertExact(out, 2021, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
