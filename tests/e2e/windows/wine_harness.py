"""What the Windows tests share: running pelorin.exe under Wine with its
debugger output read back, the checks of a normal run, and the private Wine
the runner (test_windows.py) starts inside the test's network namespace.

The wineserver of a private WINEPREFIX is started inside the namespace: Wine
creates every socket in wineserver, so that is where the namespace has to
hold. Exit codes are read as full 32-bit values through run_and_report.exe
(built here with mingw-w64); debugger output from Wine's trace of
OutputDebugString.
"""

import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
import harness  # noqa: E402

WSAEINVAL = 10022
STATUS_CONTROL_C_EXIT = 0xC000013A

USAGE = (
    "You must provide exactly 5 arguments: -i[interface] , -m[multicast address] , -p[port] , "
    "-l[recording length in seconds], -f[file]\n"
    'Example: pelorin.exe -i 192.168.0.2 -m 239.255.0.1 -p 5002 -l 3600 -f "C:\\\\Recording\\\\stream.ts.mpg" \n'
    "If you have only one NIC: pelorin.exe -i 0 ...\n"
)
SETUP_SEQUENCE = [
    "Create Socket called.\n",
    "Setting socket options...\n",
    "Joining to multicast group.\n",
    "MCAST_JOIN_GROUP option failed. Selecting NIC by it's Ipv4 ip\n",
    "Binding socket\n",
]
TIME_LINE = harness.TIME_LINE
TIME_LINES = r"^Recording started at %s\nRecording finished at %s\n$" % (TIME_LINE, TIME_LINE)

GROUP = "239.255.42.1"
OTHER_GROUP = "239.255.42.2"
ABSENT_ADDRESS = "10.201.0.7"  # on no interface
# Wine's trace of OutputDebugString; everything else of Wine stays quiet.
TRACE = "-all,warn+seh,warn+debugstr"

CONFIG = {}


def win_path(path):
    """The Windows name of a Unix path (Wine maps Z: to /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def parse_debug_output(stderr):
    """The strings the program gave OutputDebugStringW, in order, from Wine's
    trace (warn:seh in Wine 8, warn:debugstr in later versions)."""
    found = {"A": [], "W": []}
    for match in re.finditer(r'^[0-9a-f]+:warn:(?:seh|debugstr):OutputDebugString([AW]) L?"(.*)"$', stderr, re.M):
        found[match.group(1)].append(unescape(match.group(2)))
    # A version that traces both entries traces every string twice.
    return found["W"] or found["A"]


def unescape(text):
    out, i = [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"', "0": "\0"}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n in simple:
                out.append(simple[n])
                i += 2
                continue
            if n == "x":
                out.append(chr(int(text[i + 2 : i + 4], 16)))
                i += 4
                continue
            if n == "u":
                out.append(chr(int(text[i + 2 : i + 6], 16)))
                i += 6
                continue
        out.append(c)
        i += 1
    return "".join(out)


def long_directory(base, characters):
    """A directory under `base` whose Windows directory component (drive
    excluded, trailing backslash included) is `characters` long."""
    total = characters - len(win_path(base)[2:]) - 1  # what the new levels add
    levels = -(-total // 101)  # each adds a backslash and at most 100 characters
    assert total >= 2 * levels, "scratch directory path too long"
    path = base
    for level in range(levels):
        share = total // levels + (1 if level < total % levels else 0)
        path = os.path.join(path, chr(ord("d") + level) * (share - 1))
    assert len(win_path(path)[2:]) + 1 == characters
    return path




class Run:
    """One run of pelorin.exe: harness.Result with the debugger output."""

    def __init__(self, result):
        self.exit_code = result.returncode
        self.stdout = result.stdout
        self.stderr = result.stderr
        self.debug = parse_debug_output(result.stderr)
        self.elapsed = result.elapsed


def pelorin(args, senders=(), during=None, cwd=None, timeout=60, **environment):
    """pelorin.exe with `args` through harness.record, traced."""
    env = dict(os.environ, WINEDEBUG=TRACE, **environment)
    return Run(harness.record([str(a) for a in args], senders=senders, during=during, env=env, cwd=cwd,
                              timeout=timeout))


def recording_args(interface, group, port, length, path):
    return ["-i", interface, "-m", group, "-p", port, "-l", length, "-f", path]


def stream(group, port, count, first=0, interface="127.0.0.1", rate=1000):
    """pelorin-send arguments; Wine keeps up with about a thousand datagrams a
    second, and the 8 MiB receive buffer takes a burst above that."""
    return ["--group", group, "--port", port, "--interface", interface, "--count", count, "--rate", rate,
            "--start-index", first]


class WindowsTestCase(harness.RecorderTestCase):
    def assert_normal_run(self, run):
        self.assertEqual(run.exit_code, 0, run.stdout)
        self.assertRegex(run.stdout, TIME_LINES)
        self.assert_debug_of_a_recording(run.debug)

    def assert_debug_of_a_recording(self, debug):
        self.assertIn("Create Socket called.\n", debug)
        first = debug.index("Create Socket called.\n")
        self.assertEqual(debug[first:first + len(SETUP_SEQUENCE)], SETUP_SEQUENCE)
        # The 8 MiB buffer is granted or the set-up fell back cleanly; either
        # way the grant is reported right after the sequence.
        self.assertRegex(debug[first + len(SETUP_SEQUENCE)], r"^Receive buffer: \d+ bytes granted, 8388608 asked\n$")
        self.assertEqual(debug[first + len(SETUP_SEQUENCE) + 1], "Receiving..")
        self.assertEqual(debug.count("Stopped receiving:"), 1)
        self.assertGreater(debug.index("Stopped receiving:"), debug.index("Receiving.."))
        # Winsock keeps no drop count: the totals say so rather than claim 0.
        totals = [line for line in debug if line.startswith("Recording totals: ")]
        self.assertEqual(len(totals), 1, debug)
        self.assertRegex(totals[0], r"^Recording totals: \d+ datagrams, \d+ bytes stored, unknown dropped, 0 not written in time\n$")
        self.assertGreater(debug.index(totals[0]), debug.index("Stopped receiving:"))



def wine_process(marker):
    """The Unix process of the Windows program whose command line holds `marker`."""
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                command = f.read().decode(errors="replace")
        except (OSError, ValueError):
            continue
        if "pelorin.exe" in command and marker in command and "run_and_report" not in command:
            return int(entry)
    return None



def check_namespace():
    links = subprocess.run(["ip", "-o", "link", "show"], check=True, capture_output=True, text=True).stdout
    names = re.findall(r"^\d+: ([^:@]+)", links, re.M)
    if names != ["lo"]:
        sys.exit("refusing to run: this is not a fresh private network namespace (interfaces: %s); "
                 "start me with unshare -n -m" % ", ".join(names))


def build_launcher(workdir):
    output = os.path.join(workdir, "run_and_report.exe")
    subprocess.run(["x86_64-w64-mingw32-g++-posix", "-std=c++17", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
                    "-static", "-municode", "-o", output, os.path.join(HERE, "run_and_report.cpp")], check=True)
    return output


def start_wine(prefix):
    """A private prefix and its persistent wineserver, in this namespace."""
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINESERVER", "WINELOADER"):
        os.environ.pop(name, None)
    os.environ.update(WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                      LANG="C.UTF-8", LC_ALL="C.UTF-8")
    os.makedirs(prefix, exist_ok=True)
    subprocess.run(["wineserver", "-p"], check=True)
    subprocess.run(["wine", "wineboot", "-i"], check=True, timeout=600,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop_wine():
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL, timeout=60)

