#!/usr/bin/env python3
"""The Windows build under Wine: the shared end-to-end tests, then what only
Windows has.

Run inside a private network and mount namespace (the script refuses to run
where any interface other than lo exists):

    unshare -n -m -- python3 test_windows.py --exe build/mingw/pelorin.exe --tools build/default/tools

The shared cases (../test_recording.py, ../test_endings.py, ../test_ipv6.py)
run through harness.py with pelorin.exe as the recorder; they skip, with the
reason, what only POSIX has and what Wine cannot do. The cases in
test_windows_exits.py and test_windows_recording.py cover what only Windows
has: 32-bit exit codes, the debugger output, drive letters and UTF-16 names,
Ctrl-C, and a standard output that is the recording's own file.
wine_harness.py holds what they share and starts the private Wine.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from wine_harness import CONFIG, build_launcher, check_namespace, start_wine, stop_wine
import harness  # noqa: E402 (on the path wine_harness puts the shared tests)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True, help="pelorin.exe to test")
    parser.add_argument("--tools", required=True, help="directory of the Linux pelorin-send and pelorin-check")
    parser.add_argument("--workdir", help="scratch directory (default: a new temporary one)")
    parser.add_argument("tests", nargs="*", help="test names (e.g. test_windows_exits.StopTests), passed on to unittest")
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
        names = options.tests or ["test_recording", "test_endings", "test_ipv6", "test_windows_exits",
                                  "test_windows_recording"]
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
