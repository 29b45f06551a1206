"""Shared pieces of the end-to-end tests: the private network the tests run
in, the programs under test, and recordings made with them.

The tests run inside `unshare -n -m` (see run-e2e): every datagram stays in a
network namespace of their own. Programs come from the environment:
PELORIN (the recorder; PELORIN_LAUNCHER may prefix it, e.g. with wine),
PELORIN_SEND and PELORIN_CHECK (the test-stream tools). With
PELORIN_EXIT_CODES=windows the recorder is the Windows build: its launcher
reports the full 32-bit exit code on a line of standard error of its own.
"""

import json
import os
import re
import select
import shlex
import subprocess
import tempfile
import threading
import time
import unittest

VETH_LOCAL = "10.77.0.1"   # the recorder's side of the veth pair
VETH_PEER = "10.77.0.2"    # the sender's side
VETH_PEER_OTHER = "10.77.0.3"  # a second source on the sender's side
# The same three on IPv6 (nodad: usable at once), and the recorder's
# link-local address.
VETH_LOCAL6 = "fd77::1"
VETH_PEER6 = "fd77::2"
VETH_PEER6_OTHER = "fd77::3"
VETH_LINK_LOCAL6 = "fe80::77:1"
TIME_LINE = r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d"
START_LINE = re.compile(r"^Recording started at " + TIME_LINE + r"$")
FINISH_LINE = re.compile(r"^Recording finished at " + TIME_LINE + r"$")

_port = [5100]


def next_port():
    """A fresh port per test, so a straggler from one test cannot reach another."""
    _port[0] += 1
    return _port[0]


def run(command, check=True):
    return subprocess.run(command, shell=isinstance(command, str), check=check,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def set_up_network():
    """lo with the multicast route, and a veth pair for an explicit interface.
    Once per namespace: a runner of several test files calls it again."""
    if run("ip link show veth0", check=False).returncode == 0:
        return
    run("ip link set lo up")
    run("ip route add 224.0.0.0/4 dev lo")
    run("ip link add veth0 type veth peer name veth1")
    run(f"ip addr add {VETH_LOCAL}/24 dev veth0")
    run(f"ip addr add {VETH_PEER}/24 dev veth1")
    run(f"ip addr add {VETH_PEER_OTHER}/24 dev veth1")
    # IPv6 multicast on lo needs a route of type local (an ordinary route
    # through lo rejects whatever it carries), ahead of the veth pair's own
    # multicast routes, so that a join on any interface lands on lo as for IPv4.
    run("ip -6 route add local ff00::/8 dev lo metric 1", check=False)
    for address, device in ((VETH_LOCAL6, "veth0"), (VETH_LINK_LOCAL6, "veth0"),
                            (VETH_PEER6, "veth1"), (VETH_PEER6_OTHER, "veth1")):
        run(f"ip -6 addr add {address}/64 dev {device} nodad", check=False)
    run("ip link set veth0 up")
    run("ip link set veth1 up")
    # Both ends live in this namespace: let veth0 accept datagrams whose
    # source is an address of our own.
    for interface in ("all", "default", "lo", "veth0", "veth1"):
        run(f"sysctl -qw net.ipv4.conf.{interface}.rp_filter=0")
        run(f"sysctl -qw net.ipv4.conf.{interface}.accept_local=1")
    # Mounts made by the tests (a small tmpfs) stay in this mount namespace.
    run("mount --make-rprivate /", check=False)
    deadline = time.time() + 10
    while "tentative" in run("ip addr show").stdout and time.time() < deadline:
        time.sleep(0.1)


def pelorin_command():
    launcher = shlex.split(os.environ.get("PELORIN_LAUNCHER", ""))
    return launcher + [os.environ["PELORIN"]]


def tool(name):
    return os.environ["PELORIN_" + name.upper()]


class Result:
    def __init__(self, returncode, stdout, stderr, elapsed):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.lines = stdout.splitlines()
        self.elapsed = elapsed


def start_sender(*args):
    return subprocess.Popen([tool("send")] + [str(a) for a in args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def record(args, senders=(), timeout=60, before_senders=None, during=None, env=None, cwd=None):
    """Runs the recorder with `args`; once it has printed its start line, runs
    each sender (a list of pelorin-send arguments) at the same time and waits
    for all of them, meanwhile calling `during(process)` on a thread of its
    own if given. Returns the recorder's Result."""
    began = time.monotonic()
    process = subprocess.Popen(pelorin_command() + [str(a) for a in args], env=env, cwd=cwd,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")
    first = ""
    if senders or during:
        ready, _, _ = select.select([process.stdout], [], [], timeout)
        if ready:
            first = process.stdout.readline()
        if START_LINE.match(first.strip()):
            if before_senders:
                before_senders()
            running = [start_sender(*sender) for sender in senders]
            meanwhile = threading.Thread(target=during, args=(process,)) if during else None
            if meanwhile:
                meanwhile.start()
            for sender in running:
                out, err = sender.communicate(timeout=timeout)
                if sender.returncode != 0:
                    process.kill()
                    raise AssertionError(f"sender failed: {out} {err}")
            if meanwhile:
                meanwhile.join()
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        raise AssertionError(f"recorder did not end within {timeout} s: {first}{out}{err}")
    returncode, err = reported_exit_code(process.returncode, err)
    return Result(returncode, first + out, err, time.monotonic() - began)


def check(path, *args):
    """pelorin-check's JSON verdict on a recording."""
    completed = run([tool("check"), "--json"] + [str(a) for a in args] + [path], check=False)
    if completed.returncode == 2:
        raise AssertionError(f"pelorin-check could not run: {completed.stderr}")
    return json.loads(completed.stdout)


def udp_drops():
    """The namespace's UDP counters: receive-buffer drops tell lost datagrams
    the recorder never saw from ones it lost itself."""
    with open("/proc/net/snmp") as snmp:
        rows = [line.split() for line in snmp if line.startswith("Udp:")]
    return dict(zip(rows[0][1:], rows[1][1:])) if len(rows) == 2 else {}


def udp_datagrams_read():
    """Datagrams that sockets in this namespace have read so far (the kernel
    counts one as each receive takes it off a socket)."""
    return int(udp_drops().get("InDatagrams", 0))


def wait_for_reads(count, since, timeout=30):
    """True once `count` datagrams have been read in this namespace since the
    reading `since` of udp_datagrams_read(): the recorder has them all."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if udp_datagrams_read() - since >= count:
            return True
        time.sleep(0.01)
    return False


class RecorderTestCase(unittest.TestCase):
    """A temporary directory per test and checks shared by the tests."""

    def setUp(self):
        self._directory = tempfile.TemporaryDirectory(prefix="pelorin-e2e-")
        self.dir = self._directory.name

    def tearDown(self):
        self._directory.cleanup()

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def assertRecorded(self, result):
        """A run that recorded: both time lines and nothing else, exit 0."""
        self.assertEqual(result.stderr, "")
        self.assertEqual(len(result.lines), 2, result.stdout)
        self.assertRegex(result.lines[0], START_LINE)
        self.assertRegex(result.lines[1], FINISH_LINE)
        self.assertEqual(result.returncode, 0, result.stdout)

    def assertExact(self, path, count, first=0, *args):
        verdict = check(path, "--expect-first", first, "--expect-count", count, *args)
        self.assertTrue(verdict["ok"], f"{verdict}; kernel {udp_drops()}")
        return verdict


E_FAIL = 0x80004005
BIND_FAILED = 2049
NO_DATA = 0x800705B4  # --no-data ended the recording


def hresult_from_win32(code):
    return 0x80070000 | (code & 0xFFFF)


def windows_build():
    return os.environ.get("PELORIN_EXIT_CODES") == "windows"


def posix_only(reason):
    """Skips a test of what only the POSIX build has."""
    return unittest.skipIf(windows_build(), "POSIX only: " + reason)


def not_under_wine(reason):
    """Skips a test that Wine, not the Windows build, cannot pass."""
    return unittest.skipIf(windows_build() and "wine" in os.environ.get("PELORIN_LAUNCHER", ""), "Wine: " + reason)


_EXIT_CODE_LINE = re.compile(r"^exit-code: 0x([0-9A-F]{8})\r?\n", re.M)


def reported_exit_code(returncode, stderr):
    """A Unix parent sees only the low 8 bits of a Windows exit code, so the
    Windows build's launcher prints the full code as its last line of
    standard error. Returns that code and standard error without the line."""
    found = list(_EXIT_CODE_LINE.finditer(stderr)) if windows_build() else []
    if not found:
        return returncode, stderr
    line = found[-1]
    return int(line.group(1), 16), stderr[:line.start()] + stderr[line.end():]


def exit_status(result_code):
    """The exit status a result code shows as: the code itself on Windows
    (PELORIN_EXIT_CODES=windows), the 8-bit POSIX table elsewhere."""
    if os.environ.get("PELORIN_EXIT_CODES") == "windows":
        return result_code
    if result_code == 0:
        return 0
    if result_code == E_FAIL:
        return 1
    if result_code == BIND_FAILED:
        return 2
    if result_code == NO_DATA:
        return 4
    return 3


def wait_for_membership(group, timeout=30):
    """True once some socket in this namespace has joined `group`: from then on
    the group's datagrams wait in the recorder's socket until it receives."""
    wanted = "%08X" % int.from_bytes(bytes(int(part) for part in group.split(".")), "little")
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/net/igmp") as igmp:
            if any(line.split()[0] == wanted for line in igmp if line.startswith("\t")):
                return True
        time.sleep(0.05)
    return False


_METRIC_NAME = re.compile(r"^[a-zA-Z_:][a-zA-Z0-9_:]*$")
_SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*",?)*)\} (\S+)$')
_LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\.)*)"')


def file_sampler(path, seconds, interval, snapshots):
    """A `during` action: appends the file's text to `snapshots` every
    `interval` seconds for `seconds`, while it exists (a metrics file being
    rewritten, say)."""
    def sample(process):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if os.path.exists(path):
                with open(path) as file:
                    snapshots.append(file.read())
            time.sleep(interval)
    return sample


def parse_metrics(text):
    """A Prometheus text exposition, checked line by line: every series has
    its HELP and TYPE first, counters are named _total, values are numbers.
    Returns {name: (type, {label: value}, value)}; raises AssertionError."""
    assert text.endswith("\n"), repr(text[-40:])
    helped, types, series = set(), {}, {}
    for line in text.splitlines():
        if line.startswith("# HELP "):
            name = line.split(" ", 3)[2]
            assert _METRIC_NAME.match(name) and name not in helped, line
            helped.add(name)
        elif line.startswith("# TYPE "):
            _, _, name, kind = line.split(" ")
            assert name in helped and name not in types and kind in ("counter", "gauge"), line
            assert (kind == "counter") == name.endswith("_total"), line
            types[name] = kind
        else:
            match = _SAMPLE.match(line)
            assert match, repr(line)
            name, labels, value = match.groups()
            assert name in types and name not in series, line
            series[name] = (types[name], dict(_LABEL.findall(labels)), float(value))
    assert set(types) == set(series) == helped, text
    return series


def promtool_problems(text):
    """What `promtool check metrics` (Debian: prometheus) finds wrong, "" for
    nothing; None where it is not installed."""
    import shutil
    if shutil.which("promtool") is None:
        return None
    completed = subprocess.run(["promtool", "check", "metrics"], input=text, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return "" if completed.returncode == 0 else completed.stdout or "failed"
