#!/usr/bin/env python3
"""The recorder benchmark. Run through bench/run, which builds the programs,
installs the peers and starts this script inside a private network and mount
namespace (as root). Nothing here sends outside that namespace.

For each recorder and rate: a paced stream of numbered 1316-byte datagrams
(seven 188-byte transport stream packets) from tools/pelorin-send, recorded
for a fixed time, checked byte by byte with tools/pelorin-check; CPU seconds
(user + system, from the recorder's own rusage) per GB stored and peak RSS.
"""

import argparse
import datetime
import glob
import json
import os
import platform
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# bench/run exports BUILD_DIR when it was asked for a build directory of its own.
BUILD = os.environ.get("BUILD_DIR") or os.path.join(ROOT, "build", "default")
PELORIN = os.path.join(BUILD, "pelorin")
SEND = os.path.join(BUILD, "tools", "pelorin-send")
CHECK = os.path.join(BUILD, "tools", "pelorin-check")
RAWRECV = os.path.join(BUILD, "bench", "pelorin-rawrecv")
OUT_DIR = os.path.join(ROOT, "bench", "out")

DEFAULT_RATES = [100, 250, 500, 1000, 1500, 2000, 3000]
ALL_RECORDERS = ["pelorin", "multicat", "ffmpeg", "socat", "rawrecv", "rawrecv-131600"]
PEERS = ["multicat", "ffmpeg", "socat"]
DATAGRAM = 1316
PORT = 5000
IFACE = "127.0.0.1"
# What a careful user gives the peers: a receive buffer as large as the
# system allows without privileges (net.core.rmem_max, 4 MiB here).
PEER_RCVBUF = 4 * 1024 * 1024
# What pelorin asks for (SO_RCVBUFFORCE first, so root gets all of it).
PELORIN_RCVBUF = 8 * 1024 * 1024
# Other pelorin builds to bench beside this one, by recorder name (--pelorin-bin).
OTHER_PELORINS = {}
# What a segment's name adds to the recording's: -%Y%m%d-%H%M%S.
SEGMENT_STAMP = r"-\d{8}-\d{6}"


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- recorders

def pelorin_variant(name):
    """For a pelorin recorder name, (binary, options before the five pairs,
    segment seconds or None); None for any other recorder. The name is
    `pelorin` or a build given by --pelorin-bin, then any of `+report` (a
    report beside the recording) and `+segmentN` (--segment=N)."""
    base, *extras = name.split("+")
    binary = PELORIN if base == "pelorin" else OTHER_PELORINS.get(base)
    if binary is None:
        return None
    options, segment = [], None
    for extra in extras:
        found = re.fullmatch(r"segment(\d+)", extra)
        if extra == "report":
            options.append("report")
        elif found:
            segment = int(found.group(1))
            options.append("--segment=%d" % segment)
        else:
            raise ValueError("unknown pelorin variant: " + name)
    return binary, options, segment


def is_pelorin(name):
    return pelorin_variant(name) is not None


def recorder_command(name, group, path, seconds):
    """Returns (argv, stop): stop is None when the recorder ends by itself,
    else the signal that ends it cleanly."""
    variant = pelorin_variant(name)
    if variant:
        binary, options, _ = variant
        # The report sits beside the recording, in this benchmark's directory.
        options = ["--report=%s.json" % os.path.splitext(path)[0] if o == "report" else o for o in options]
        # Ends by itself 2..4 s after the stream, which starts within a
        # second of the recorder.
        return [binary] + options + ["-i", "0", "-m", group, "-p", str(PORT), "-l", str(int(seconds) + 2),
                                     "-f", path], None
    if name == "multicat":
        # -u/-U: no RTP on either side; 1316-byte payload chunks.
        return ["multicat", "-u", "-U", "-m", str(DATAGRAM), "@%s:%d/ifaddr=%s" % (group, PORT, IFACE), path], \
            signal.SIGTERM
    if name == "ffmpeg":
        url = "udp://%s:%d?localaddr=%s&fifo_size=100000&buffer_size=%d&overrun_nonfatal=1&timeout=2000000" % (
            group, PORT, IFACE, PEER_RCVBUF)
        # ffmpeg blocked in a read does not stop on a signal; the time-out
        # ends it cleanly, with its buffers written, 2 s after the stream.
        return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "data", "-i", url,
                "-map", "0", "-c", "copy", "-f", "data", "-y", path], None
    if name == "socat":
        return ["socat", "-u", "-b", "65536",
                "UDP4-RECV:%d,ip-add-membership=%s:%s,rcvbuf=%d" % (PORT, group, IFACE, PEER_RCVBUF),
                "OPEN:%s,creat,trunc" % path], signal.SIGTERM
    if name == "rawrecv":
        # The same buffer pelorin asks for, past rmem_max as pelorin gets it
        # as root, so the yardstick is held to what pelorin is given.
        return [RAWRECV, group, str(PORT), IFACE, str(PELORIN_RCVBUF), path, "--force"], signal.SIGTERM
    if name == "rawrecv-131600":
        # The yardstick held to pelorin's old receive buffer: what that
        # buffer alone allows.
        return [RAWRECV, group, str(PORT), IFACE, "131600", path], signal.SIGTERM
    raise ValueError(name)


# ------------------------------------------------------------ kernel figures

def igmp_users(group):
    """Members of `group` on any interface of this namespace."""
    key = "%08X" % struct.unpack("<I", socket.inet_aton(group))[0]
    users = 0
    try:
        with open("/proc/net/igmp") as f:
            for line in f:
                fields = line.split()
                if len(fields) >= 2 and fields[0] == key:
                    users += int(fields[1])
    except OSError:
        pass
    return users


def socket_inodes(pid):
    inodes = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    except OSError:
        pass
    return inodes


def socket_drops(pid):
    """Datagrams the kernel dropped at the recorder's UDP sockets (full
    receive buffer), or None when the process has no socket any more."""
    inodes = socket_inodes(pid)
    if not inodes:
        return None
    drops = 0
    found = False
    with open("/proc/net/udp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if len(fields) >= 13 and fields[9] in inodes:
                drops += int(fields[12])
                found = True
    return drops if found else None


def socket_rcvbuf(pid):
    """The receive buffer the kernel gave the recorder's UDP socket, in bytes
    (the `rb` of `ss -m`: twice what was asked), or None."""
    try:
        out = subprocess.run(["ss", "-H", "-u", "-a", "-n", "-m", "-p"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout
    except OSError:
        return None
    entries, current = [], ""
    for line in out.splitlines():
        if line[:1].isspace():
            current += " " + line.strip()
        else:
            if current:
                entries.append(current)
            current = line
    if current:
        entries.append(current)
    sizes = []
    for entry in entries:
        if "pid=%d," % pid in entry:
            found = re.search(r"\brb(\d+)", entry)
            if found:
                sizes.append(int(found.group(1)))
    return max(sizes) if sizes else None


def softnet_drops():
    """Packets dropped before any socket (backlog full), all CPUs."""
    total = 0
    with open("/proc/net/softnet_stat") as f:
        for line in f:
            total += int(line.split()[1], 16)
    return total


# ------------------------------------------------------------------ one run

# Every recorder started, so that a run that fails half-way ends them rather
# than leaving them on the box.
STARTED = []


class Run:
    def __init__(self, recorder, group, path, seconds, start_index=0):
        self.recorder = recorder
        self.group = group
        self.path = path
        self.seconds = seconds
        self.start_index = start_index
        argv, self.stop = recorder_command(recorder, group, path, seconds)
        self.log = open(path + ".log", "w+")
        self.users_before = igmp_users(group)
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        STARTED.append(self.proc)
        self.drops = None
        self.rcvbuf = None
        self.hwm_kib = 0
        self.rusage = None
        self.status = None

    def wait_joined(self, timeout=10.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if igmp_users(self.group) > self.users_before and socket_drops(self.proc.pid) is not None:
                self.rcvbuf = socket_rcvbuf(self.proc.pid)
                return True
            if self.proc.poll() is not None:
                return False
            time.sleep(0.02)
        return False

    def note_drops(self):
        self.drops = socket_drops(self.proc.pid)
        self.sample_rss()

    def sample_rss(self):
        # The high-water mark of the process's own memory. rusage's maxrss
        # would also count the forked Python image the program replaced.
        try:
            with open("/proc/%d/status" % self.proc.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        self.hwm_kib = max(self.hwm_kib, int(line.split()[1]))
        except OSError:
            pass

    def finish(self, timeout):
        # os.kill, not send_signal: that polls, and a poll that reaps the
        # process would leave wait4 below nothing to wait for.
        if self.stop is not None and self.proc.returncode is None:
            try:
                os.kill(self.proc.pid, self.stop)
            except ProcessLookupError:
                pass
        end = time.monotonic() + timeout
        while True:
            self.sample_rss()
            pid, status, rusage = os.wait4(self.proc.pid, os.WNOHANG)
            if pid != 0:
                self.status = os.waitstatus_to_exitcode(status)
                self.rusage = rusage
                self.proc.returncode = self.status
                break
            if time.monotonic() > end:
                self.proc.kill()
                timeout = 5
                end = time.monotonic() + 5
                self.status = "killed"
            time.sleep(0.02)
        self.log.seek(0)
        self.log_text = self.log.read()[-2000:]
        self.log.close()


def start_sender(group, rate, seconds, start_index=0):
    argv = [SEND, "--group", group, "--port", str(PORT), "--interface", IFACE, "--ttl", "0", "--mode", "ts",
            "--bitrate", str(rate), "--duration", str(seconds), "--start-index", str(start_index), "--json"]
    return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def sender_result(proc):
    out, err = proc.communicate()
    if proc.returncode != 0:
        raise RuntimeError("pelorin-send failed: " + err.strip())
    return json.loads(out.strip().splitlines()[-1])


def recorded_files(path, segmented):
    """The files of one recording: `path`, or with segments the files named
    from it with their start time, in name order (which is time order)."""
    if not segmented:
        return [path] if os.path.exists(path) else []
    stem, ext = os.path.splitext(path)
    pattern = re.compile(re.escape(os.path.basename(stem)) + SEGMENT_STAMP + re.escape(ext) + "$")
    return sorted(p for p in glob.glob(glob.escape(stem) + "-*") if pattern.match(os.path.basename(p)))


def check_files(paths, first, count):
    """pelorin-check over the files joined end to end, as one recording."""
    argv = [CHECK, "--json", "--expect-first", str(first), "--expect-count", str(count)]
    if len(paths) == 1:
        res = subprocess.run(argv + paths, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    else:
        cat = subprocess.Popen(["cat", "--"] + paths, stdout=subprocess.PIPE)
        res = subprocess.run(argv + ["-"], stdin=cat.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
        cat.stdout.close()
        cat.wait()
    if res.returncode not in (0, 1):
        return {"ok": False, "datagrams": 0, "missing": count, "corrupt": 0, "error": res.stderr.strip()}
    return json.loads(res.stdout)


def report_datagrams(path):
    """(reports, datagrams they count) of a recording's JSON reports: one, or
    one per segment."""
    stem = os.path.splitext(path)[0]
    pattern = re.compile(re.escape(os.path.basename(stem)) + "(" + SEGMENT_STAMP + r")?\.json$")
    reports, datagrams = 0, 0
    for p in glob.glob(glob.escape(stem) + "*.json"):
        if pattern.match(os.path.basename(p)):
            try:
                with open(p) as f:
                    datagrams += json.load(f)["datagrams"]
                reports += 1
            except (OSError, ValueError, KeyError):
                pass
    return reports, datagrams


def remove_outputs(path):
    """The recording, its segments, reports and log."""
    stem = os.path.splitext(path)[0]
    pattern = re.compile(re.escape(os.path.basename(stem)) + "(" + SEGMENT_STAMP + r")?(\..*)?$")
    for p in glob.glob(glob.escape(stem) + "*"):
        if pattern.match(os.path.basename(p)) and not os.path.isdir(p):
            try:
                os.unlink(p)
            except OSError:
                pass


def measure(run, sent, first):
    """The record for one finished run."""
    variant = pelorin_variant(run.recorder)
    files = recorded_files(run.path, variant and variant[2])
    size = sum(os.path.getsize(p) for p in files)
    check = check_files(files, first, sent["datagrams"]) if size else \
        {"ok": not sent["datagrams"], "missing": sent["datagrams"]}
    good = check.get("datagrams", 0) - check.get("corrupt", 0)
    lost = check.get("missing", sent["datagrams"])
    ru = run.rusage
    cpu = (ru.ru_utime + ru.ru_stime) if ru else None
    rec = {
        "recorder": run.recorder,
        "group": run.group,
        "sent": sent["datagrams"],
        "sent_mbit": round(sent["mbit_per_s"], 1),
        "stored": good,
        "lost": lost,
        "loss_pct": round(100.0 * lost / sent["datagrams"], 4) if sent["datagrams"] else 0.0,
        "byte_exact": bool(check.get("ok")),
        "unexpected": check.get("unexpected", 0),
        "bytes": size,
        "cpu_s": round(cpu, 3) if cpu is not None else None,
        "cpu_s_per_gb": round(cpu / (size / 1e9), 3) if cpu is not None and size else None,
        "peak_rss_mib": round(run.hwm_kib / 1024.0, 1) if run.hwm_kib else None,
        "sock_drops": run.drops,
        "rcvbuf": run.rcvbuf,
        "exit": run.status,
    }
    if not check.get("ok"):
        # What pelorin-check found, so that a failed run says how it failed.
        rec["check"] = {k: check[k] for k in ("gaps", "duplicates", "out_of_order", "corrupt", "trailing_bytes",
                                              "cc_errors", "sync_errors", "error") if check.get(k)}
    if variant and variant[2]:
        rec["segments"] = len(files)
    if variant and "report" in variant[1]:
        rec["reports"], rec["report_datagrams"] = report_datagrams(run.path)
    if not check.get("ok") and run.status not in (0, None):
        rec["log"] = run.log_text.strip()[-300:]
    return rec


def finish_runs(runs, seconds, sent, starts, rate, load, **fields):
    """Waits for every recorder of a case, measures each against what its
    sender sent from its first index, and removes the recordings."""
    for run in runs:
        run.finish(timeout=seconds + 10)
    records = []
    for k, run in enumerate(runs):
        rec = measure(run, sent[k], starts[k])
        rec.update(fields)
        rec["rate_mbit"] = rate
        rec["load1"] = round(load, 2)
        records.append(rec)
        remove_outputs(run.path)
    return records


def one_run(recorder, rate, seconds, workdir):
    group = "239.1.1.1"
    path = os.path.join(workdir, "%s-%d.ts" % (recorder, rate))
    remove_outputs(path)
    load = os.getloadavg()[0]
    run = Run(recorder, group, path, seconds)
    if not run.wait_joined():
        run.finish(5)
        return {"recorder": recorder, "rate_mbit": rate, "error": "did not join the group",
                "log": run.log_text.strip()[-300:]}
    time.sleep(0.2)  # let a multi-threaded peer start reading
    softnet_before = softnet_drops()
    sender = start_sender(group, rate, seconds)
    sent = sender_result(sender)
    time.sleep(0.5)  # what is in flight reaches the socket and the file
    run.note_drops()
    softnet = softnet_drops() - softnet_before
    run.finish(timeout=seconds + 10)
    rec = measure(run, sent, 0)
    rec["rate_mbit"] = rate
    rec["softnet_drops"] = softnet
    rec["load1"] = round(load, 2)
    remove_outputs(path)
    return rec


def channels_run(recorder, count, rate, seconds, workdir, case="channels"):
    """`count` recordings at once, one group each, all on one port."""
    runs = []
    load = os.getloadavg()[0]
    for k in range(count):
        group = "239.1.2.%d" % (k + 1)
        path = os.path.join(workdir, "channel%d.ts" % (k + 1))
        remove_outputs(path)
        # Started one after another, and their senders slowed by the load:
        # a recorder ending by its own clock could end before its sender has,
        # which would count the harness's lateness as loss. Each records
        # long enough and is stopped with Ctrl-C once every sender is done.
        run = Run(recorder, group, path, seconds + 60)
        run.stop = signal.SIGINT
        runs.append(run)
    for run in runs:
        if not run.wait_joined():
            for r in runs:
                r.finish(5)
            return [{"recorder": recorder, "case": "channels", "error": "a recorder did not join"}]
    time.sleep(0.2)
    # Each channel's datagram numbers live in their own range, so a datagram
    # of another group in a file shows as an unexpected index.
    starts = [(k + 1) * 100000000 for k in range(count)]
    senders = [start_sender(run.group, rate, seconds, starts[k]) for k, run in enumerate(runs)]
    sent = [sender_result(s) for s in senders]
    time.sleep(0.5)
    for run in runs:
        run.note_drops()
    return finish_runs(runs, seconds, sent, starts, rate=rate, load=load, case=case)


def slow_disk_run(rate, seconds, drain_mb_s, workdir):
    """pelorin writing into a pipe that a reader empties at `drain_mb_s`: what
    its queue (bounded, 512 MiB at most) costs in memory while the disk is
    slower than the stream, and whether all of it reaches the disk after the
    stream has ended."""
    group = "239.1.3.1"
    fifo = os.path.join(workdir, "slow.fifo")
    if os.path.exists(fifo):
        os.unlink(fifo)
    os.mkfifo(fifo)
    reader = subprocess.Popen([sys.executable, "-c", SLOW_READER, fifo, str(drain_mb_s)], stdout=subprocess.PIPE,
                              text=True)
    run = Run("pelorin", group, fifo, seconds)
    run.wait_joined()
    time.sleep(0.2)
    sent = sender_result(start_sender(group, rate, seconds))
    time.sleep(0.5)
    run.note_drops()
    run.finish(timeout=600)
    stored = int(reader.communicate()[0].strip() or 0)
    os.unlink(fifo)
    remove_outputs(fifo)
    return {"case": "slow_disk", "recorder": "pelorin", "rate_mbit": rate, "drain_mb_s": drain_mb_s,
            "seconds": seconds, "sent": sent["datagrams"], "sent_bytes": sent["bytes"],
            "peak_rss_mib": round(run.hwm_kib / 1024.0, 1) if run.hwm_kib else None, "sock_drops": run.drops,
            "exit": run.status, "stored_bytes": stored}


# A CPU-bound process at normal priority that ends by itself at its deadline.
HOG = r"""
import sys, time
end = time.monotonic() + float(sys.argv[1])
while time.monotonic() < end:
    pass
"""


class Hogs:
    """`count` CPU-bound processes on the box for at most `seconds`: the load
    of the loaded mode. Plain children at nice 0, so they compete with the
    recorders in the same scheduler group rather than in one of their own."""

    def __init__(self, count, seconds):
        self.procs = [subprocess.Popen([sys.executable, "-c", HOG, str(seconds)], stdin=subprocess.DEVNULL)
                      for _ in range(count)]
        self.started = time.monotonic()
        time.sleep(1.0)  # running, and counted in the load average, before the recorders start

    def stop(self):
        """Ends the hogs; returns the CPU seconds they got and how long they ran."""
        cpu = 0.0
        for proc in self.procs:
            if proc.poll() is None:
                proc.terminate()
        for proc in self.procs:
            _, _, usage = os.wait4(proc.pid, 0)
            proc.returncode = 0
            cpu += usage.ru_utime + usage.ru_stime
        return round(cpu, 1), round(time.monotonic() - self.started, 1)


def side_by_side_run(recorders, rate, seconds, workdir):
    """The recorders at the same moment on one stream, one group and port:
    both see the same datagrams and the same load. The last one listed is
    started last, so pelorin, which stops by itself after a fixed time, goes
    last to keep its margin after the stream."""
    group = "239.1.4.1"
    load = os.getloadavg()[0]
    runs = []
    for recorder in recorders:
        path = os.path.join(workdir, "%s-side.ts" % recorder)
        remove_outputs(path)
        run = Run(recorder, group, path, seconds)
        if not run.wait_joined():
            for r in runs + [run]:
                r.finish(5)
            return [{"recorder": recorder, "rate_mbit": rate, "error": "did not join the group",
                     "log": run.log_text.strip()[-300:]}]
        runs.append(run)
    time.sleep(0.2)
    softnet_before = softnet_drops()
    sent = sender_result(start_sender(group, rate, seconds))
    time.sleep(0.5)
    for run in runs:
        run.note_drops()
    softnet = softnet_drops() - softnet_before
    return finish_runs(runs, seconds, [sent] * len(runs), [0] * len(runs), rate=rate, load=load,
                       softnet_drops=softnet)


SLOW_READER = r"""
import sys, time
path, rate = sys.argv[1], float(sys.argv[2]) * 1e6
total = 0
start = time.monotonic()
with open(path, 'rb', buffering=0) as f:
    while True:
        block = f.read(65536)
        if not block:
            break
        total += len(block)
        ahead = total / rate - (time.monotonic() - start)
        if ahead > 0:
            time.sleep(ahead)
print(total)
"""


# ------------------------------------------------------------ aggregation

def median(values):
    values = sorted(v for v in values if v is not None)
    if not values:
        return None
    mid = len(values) // 2
    return values[mid] if len(values) % 2 else (values[mid - 1] + values[mid]) / 2


def aggregate(recorder, rate, runs):
    ok = [r for r in runs if "error" not in r]
    lossless = bool(ok) and len(ok) == len(runs) and all(r["lost"] == 0 and r["byte_exact"] for r in ok)
    return {
        "recorder": recorder,
        "rate_mbit": rate,
        "runs": len(runs),
        "lossless": lossless,
        "sent_mbit": median([r.get("sent_mbit") for r in ok]),
        "sent": [r.get("sent") for r in ok],
        "lost": [r.get("lost") for r in ok],
        "loss_pct_max": max([r.get("loss_pct", 100.0) for r in ok], default=100.0),
        "byte_exact": all(r.get("byte_exact") for r in ok) if ok else False,
        "cpu_s_per_gb": median([r.get("cpu_s_per_gb") for r in ok]),
        "peak_rss_mib": max([r.get("peak_rss_mib") or 0 for r in ok], default=None),
        "sock_drops": [r.get("sock_drops") for r in ok],
        "softnet_drops": sum(r.get("softnet_drops", 0) for r in ok),
        "rcvbuf": max([r.get("rcvbuf") or 0 for r in ok], default=0) or None,
        "load1": [r.get("load1") for r in ok],
        "errors": [r["error"] for r in runs if "error" in r],
    }


def highest_lossless(aggs, recorder, rates):
    """The highest rate up to which every rate tried was lossless."""
    best = None
    for rate in rates:
        a = aggs.get((recorder, rate))
        if a is None or not a["lossless"]:
            break
        best = rate
    return best


def fmt(v, spec="%.2f", none="-"):
    return none if v is None else spec % v


def print_table(aggs, recorders, rates):
    print("%-16s %6s %8s %6s %-9s %11s %7s %8s %9s %10s %s" % (
        "recorder", "rate", "sent", "runs", "lossless", "max loss %", "exact", "cpu s/GB", "RSS MiB",
        "rcvbuf KiB", "sock drops per run"))
    for recorder in recorders:
        for rate in rates:
            a = aggs.get((recorder, rate))
            if a is None:
                continue
            print("%-16s %6d %8s %6d %-9s %11s %7s %8s %9s %10s %s" % (
                recorder, rate, fmt(a["sent_mbit"], "%.0f"), a["runs"], "yes" if a["lossless"] else "no",
                fmt(a["loss_pct_max"], "%.4f"), "yes" if a["byte_exact"] else "no", fmt(a["cpu_s_per_gb"]),
                fmt(a["peak_rss_mib"], "%.1f"), fmt(a.get("rcvbuf") and a["rcvbuf"] / 1024.0, "%.0f"),
                ",".join(str(d) for d in a["sock_drops"])))
    print()
    print("highest lossless rate (every rate up to it lossless in all runs):")
    for recorder in recorders:
        h = highest_lossless(aggs, recorder, rates)
        print("  %-16s %s" % (recorder, "%d Mbit/s" % h if h else "none"))


def best_peer(aggs, rates, peers, cpu_rate):
    def key(peer):
        h = highest_lossless(aggs, peer, rates) or 0
        a = aggs.get((peer, cpu_rate))
        cpu = a["cpu_s_per_gb"] if a and a["cpu_s_per_gb"] is not None else float("inf")
        return (-h, cpu)
    candidates = [p for p in peers if any(k[0] == p for k in aggs)]
    return sorted(candidates, key=key)[0] if candidates else None


def ratio(a, b):
    return None if a is None or not b else a / b


def print_targets(aggs, rates, cpu_rate):
    peer = best_peer(aggs, rates, PEERS, cpu_rate)
    h_p = highest_lossless(aggs, "pelorin", rates)
    lines = ["targets (ratios from this run):"]
    if peer:
        h_b = highest_lossless(aggs, peer, rates)
        h_r = highest_lossless(aggs, "rawrecv", rates)
        c = lambda r: (aggs.get((r, cpu_rate)) or {}).get("cpu_s_per_gb")
        lines.append("  best peer: %s (highest lossless %s, cpu %s s/GB at %d)" % (
            peer, h_b, fmt(c(peer)), cpu_rate))
        lines.append("  highest lossless: pelorin %s = %s x best peer (target >= 1.5), %s x rawrecv (target >= 0.9)" % (
            h_p, fmt(ratio(h_p, h_b)), fmt(ratio(h_p, h_r))))
        lines.append("  cpu s/GB at %d: pelorin %s = %s x best peer (target <= 0.75), %s x rawrecv (target <= 1.3)" % (
            cpu_rate, fmt(c("pelorin")), fmt(ratio(c("pelorin"), c(peer))), fmt(ratio(c("pelorin"), c("rawrecv")))))
    rss = [a["peak_rss_mib"] for (r, _), a in aggs.items() if r == "pelorin" and a["peak_rss_mib"]]
    if rss:
        lines.append("  pelorin peak RSS, any rate: %.1f MiB (target <= 16)" % max(rss))
    print("\n".join(lines))


def main_pelorin(recorders):
    """The pelorin recorder of the channels case: the last one listed."""
    return ([r for r in recorders if is_pelorin(r)] or ["pelorin"])[-1]


def print_variants(aggs, recorders, rates, cpu_rate):
    """Each pelorin recorder beside the first one listed, when there are several."""
    variants = [r for r in recorders if is_pelorin(r)]
    if len(variants) < 2:
        return
    base = variants[0]
    c = lambda r: (aggs.get((r, cpu_rate)) or {}).get("cpu_s_per_gb")
    print("pelorin recorders beside %s:" % base)
    for r in variants:
        h = highest_lossless(aggs, r, rates)
        print("  %-18s highest lossless %-5s cpu s/GB at %d: %s = %s x %s" % (
            r, h or "none", cpu_rate, fmt(c(r)), fmt(ratio(c(r), c(base)), "%.3f"), base))


# ----------------------------------------------------------------- main

def setup_namespace():
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "route", "add", "224.0.0.0/4", "dev", "lo"], check=True)


def make_workdir(requested, size):
    if requested:
        os.makedirs(requested, exist_ok=True)
        return requested, False
    path = tempfile.mkdtemp(prefix="pelorin-bench.")
    # Private mount namespace (bench/run): the recordings live in memory, so
    # what is measured is the recorder, not this machine's disk.
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", path], check=True)
    return path, True


def machine_line():
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d cores, %s, kernel %s" % (cpu, os.cpu_count(), platform.node(), platform.release())


def version_of(name):
    try:
        if name == "ffmpeg":
            out = subprocess.run(["ffmpeg", "-version"], stdout=subprocess.PIPE, text=True).stdout
            return out.split("\n")[0]
        out = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", name], stdout=subprocess.PIPE,
                             text=True).stdout
        return "%s %s" % (name, out)
    except OSError:
        return name + " ?"


def snapshot_binaries():
    """Copies the programs this benchmark runs to a private directory: the
    build tree is shared, and a rebuild in the middle of a sweep would
    otherwise swap or remove a binary between two runs."""
    global PELORIN, SEND, CHECK, RAWRECV
    private = tempfile.mkdtemp(prefix="pelorin-bench-bin.")
    copies = []
    for path in (PELORIN, SEND, CHECK, RAWRECV):
        copy = os.path.join(private, os.path.basename(path))
        shutil.copy2(path, copy)
        copies.append(copy)
    PELORIN, SEND, CHECK, RAWRECV = copies
    for name, path in OTHER_PELORINS.items():
        OTHER_PELORINS[name] = os.path.join(private, name)
        shutil.copy2(path, OTHER_PELORINS[name])
    return private


def main():
    parser = argparse.ArgumentParser(prog="bench/run", description=__doc__.split("\n\n")[0],
                                     epilog="BUILD_DIR=DIR bench/run ... builds and benches the programs of build "
                                            "directory DIR (configured if it is not yet) instead of build/default.")
    parser.add_argument("--compare", type=int, metavar="RATE",
                        help="quick mode: pelorin, the best peer and rawrecv at one rate, one run each")
    parser.add_argument("--loaded", type=int, nargs="?", const=200, metavar="RATE",
                        help="loaded mode: pelorin and the best peer on one stream at RATE (default 200) with "
                             "CPU-bound processes on the box, then the channels case under the same load")
    parser.add_argument("--hogs", type=int, default=2, help="CPU-bound processes in loaded mode (default 2)")
    parser.add_argument("--peer", choices=PEERS,
                        help="the peer for --compare and --loaded (default: best of the last full run)")
    parser.add_argument("--rates", default=",".join(map(str, DEFAULT_RATES)), help="Mbit/s, comma separated")
    parser.add_argument("--recorders", default=",".join(ALL_RECORDERS),
                        help="comma separated; a pelorin recorder may add +report (--report beside the recording) "
                             "and +segmentN (--segment=N, checked on its files joined in name order), e.g. "
                             "pelorin+report; in loaded mode the pelorin recorders listed run beside the peer "
                             "(default: pelorin); the channels case records with the last pelorin recorder listed")
    parser.add_argument("--pelorin-bin", action="append", default=[], metavar="NAME=PATH",
                        help="another pelorin build, benched as recorder NAME (e.g. pelorin-before=/tmp/old/pelorin) "
                             "with the same flags as pelorin; repeatable")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=None, help="stream length (default 10; 8 with --compare; 60 with --loaded)")
    parser.add_argument("--cpu-rate", type=int, default=500, help="rate whose CPU per GB the targets compare")
    parser.add_argument("--channels", type=int, default=8, help="recordings at once in the channels case (0: skip)")
    parser.add_argument("--channel-rate", type=int, default=100)
    parser.add_argument("--slow-disk", type=float, default=8.0, metavar="MB_S",
                        help="drain rate of the slow-disk case in MB/s (0: skip)")
    parser.add_argument("--keep-going", action="store_true",
                        help="do not skip a recorder's higher rates after two rates in a row lost data in every run")
    parser.add_argument("--dir", help="record here instead of a private tmpfs")
    global ARGS
    args = ARGS = parser.parse_args()
    for entry in args.pelorin_bin:
        name, _, path = entry.partition("=")
        if not re.fullmatch(r"[A-Za-z0-9_.-]+", name) or name == "pelorin" or not os.access(path, os.X_OK):
            parser.error("--pelorin-bin %s: want NAME=PATH, NAME not pelorin and without +, PATH a program" % entry)
        OTHER_PELORINS[name] = os.path.abspath(path)
    for recorder in args.recorders.split(","):
        try:
            if recorder and not is_pelorin(recorder) and recorder not in ALL_RECORDERS:
                parser.error("unknown recorder: %s" % recorder)
        except ValueError as e:
            parser.error(str(e))

    setup_namespace()
    binaries = snapshot_binaries()
    # Every recording of the channels case stays until it is measured: room
    # for all of them (64 x 20 Mbit/s for 60 s is 9.6 GB), else the recorders
    # end early with a full disk, which is not what is measured here.
    channel_gb = args.channels * args.channel_rate * (args.seconds or 60) / 8 / 1000 * 1.25
    workdir, mounted = make_workdir(args.dir, "%dg" % max(8, int(channel_gb) + 2))
    os.makedirs(OUT_DIR, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")

    try:
        if args.compare:
            return compare(args, workdir, stamp)
        if args.loaded:
            return loaded(args, workdir, stamp)
        return full(args, workdir, stamp)
    finally:
        for proc in STARTED:
            if proc.returncode is None and proc.poll() is None:
                proc.kill()
                proc.wait()
        shutil.rmtree(binaries, ignore_errors=True)
        if mounted:
            subprocess.run(["umount", "--lazy", workdir])
            os.rmdir(workdir)


def full(args, workdir, stamp):
    rates = [int(r) for r in args.rates.split(",") if r]
    recorders = [r for r in args.recorders.split(",") if r]
    seconds = args.seconds or 10.0
    started = datetime.datetime.now()
    print("# %s  %s" % (started.strftime("%Y-%m-%d %H:%M"), machine_line()))
    print("# load average at start: %.2f %.2f %.2f" % os.getloadavg())
    if any(n in PEERS for n in recorders):
        print("# %s" % "; ".join(version_of(n) for n in ("multicat", "ffmpeg", "socat") if n in recorders))
    print("# %d s streams of %d-byte datagrams, %d runs per point" % (seconds, DATAGRAM, args.repeats))
    print_other_builds()
    jsonl = os.path.join(OUT_DIR, "full-%s.jsonl" % stamp)
    runs_file = open(os.path.join(OUT_DIR, "runs-%s.jsonl" % stamp), "w")
    aggs = {}
    lossy_in_a_row = {recorder: 0 for recorder in recorders}
    for rate in rates:
        active = []
        for recorder in recorders:
            if lossy_in_a_row[recorder] >= 2 and not args.keep_going:
                log("%s: skipping %d Mbit/s (lost data at the two rates below)" % (recorder, rate))
            else:
                active.append(recorder)
        # The recorders take turns within each repeat, so that a stretch of
        # load on the shared machine falls on all of them, not on one.
        runs = {recorder: [] for recorder in active}
        for i in range(args.repeats):
            for recorder in active:
                rec = one_run(recorder, rate, seconds, workdir)
                rec["run"] = i + 1
                runs_file.write(json.dumps(rec) + "\n")
                runs_file.flush()
                log("%-14s %5d Mbit/s run %d: %s" % (recorder, rate, i + 1, short(rec)))
                runs[recorder].append(rec)
        for recorder in active:
            aggs[(recorder, rate)] = aggregate(recorder, rate, runs[recorder])
            all_lossy = all(r.get("lost", 1) > 0 or "error" in r for r in runs[recorder])
            lossy_in_a_row[recorder] = lossy_in_a_row[recorder] + 1 if all_lossy else 0

    extra = []
    pelorin = main_pelorin(recorders)
    if args.channels:
        log("channels: %d x %s at %d Mbit/s" % (args.channels, pelorin, args.channel_rate))
        extra += channels_run(pelorin, args.channels, args.channel_rate, seconds, workdir)
    if args.slow_disk:
        log("slow disk: pelorin at 100 Mbit/s into a %.1f MB/s pipe" % args.slow_disk)
        extra.append(slow_disk_run(100, seconds, args.slow_disk, workdir))
    for rec in extra:
        runs_file.write(json.dumps(rec) + "\n")
    runs_file.close()

    print()
    print_table(aggs, recorders, rates)
    print()
    if args.channels:
        ch = [r for r in extra if r.get("case") == "channels"]
        print("%d recordings at once, %d Mbit/s each, one port:" % (args.channels, args.channel_rate))
        for r in ch:
            if "error" in r:
                print("  error: %s" % r["error"])
                continue
            print("  %-10s sent %7d  lost %6d (sock drops %s)  byte-exact %-3s  other groups' datagrams %d  "
                  "cpu %.2f s/GB  RSS %.1f MiB" % (
                      r["group"], r["sent"], r["lost"], r["sock_drops"], "yes" if r["byte_exact"] else "no",
                      r["unexpected"], r["cpu_s_per_gb"] or 0, r["peak_rss_mib"] or 0))
        print()
    slow = [r for r in extra if r.get("case") == "slow_disk"]
    for r in slow:
        print("slow disk: %d Mbit/s for %d s into a pipe drained at %.1f MB/s: pelorin peak RSS %.1f MiB, "
              "exit %s, %s bytes reached the pipe of %d sent" % (
                  r["rate_mbit"], r["seconds"], r["drain_mb_s"], r["peak_rss_mib"] or 0, r["exit"],
                  r["stored_bytes"], r["sent_bytes"]))
    if slow:
        print()
    print_targets(aggs, rates, args.cpu_rate)
    print_variants(aggs, recorders, rates, args.cpu_rate)
    print("# load average at end: %.2f %.2f %.2f; took %d s" % (
        os.getloadavg() + ((datetime.datetime.now() - started).seconds,)))
    with open(jsonl, "w") as f:
        for a in aggs.values():
            f.write(json.dumps(a) + "\n")
        for rec in extra:
            f.write(json.dumps(rec) + "\n")
    # --compare and --loaded take their best peer from it: only a run with peers.
    if any(r in PEERS for r in recorders):
        shutil.copyfile(jsonl, os.path.join(OUT_DIR, "latest-full.jsonl"))
    print()
    for a in aggs.values():
        print(json.dumps(a))
    for rec in extra:
        print(json.dumps(rec))
    return 0


def print_other_builds():
    for entry in ARGS.pelorin_bin:
        print("# %s" % entry)


def short(rec):
    if "error" in rec:
        return "ERROR " + rec["error"]
    return "sent %d (%.0f Mbit/s) lost %d%s, cpu %s s/GB, RSS %s MiB, sock drops %s" % (
        rec["sent"], rec["sent_mbit"], rec["lost"], "" if rec["byte_exact"] else " NOT EXACT",
        fmt(rec["cpu_s_per_gb"]), fmt(rec["peak_rss_mib"], "%.1f"), rec["sock_drops"])


def last_best_peer(cpu_rate):
    path = os.path.join(OUT_DIR, "latest-full.jsonl")
    aggs = {}
    rates = set()
    try:
        with open(path) as f:
            for line in f:
                a = json.loads(line)
                if "lossless" in a:
                    aggs[(a["recorder"], a["rate_mbit"])] = a
                    rates.add(a["rate_mbit"])
    except OSError:
        return None
    return best_peer(aggs, sorted(rates), PEERS, cpu_rate)


def compare(args, workdir, stamp):
    rate = args.compare
    seconds = args.seconds or 8.0
    # The best peer of the last full run on this machine; multicat, the best
    # in the first measurement, when there is none.
    peer = args.peer or last_best_peer(args.cpu_rate) or "multicat"
    recs = {}
    for recorder in ("pelorin", peer, "rawrecv"):
        rec = one_run(recorder, rate, seconds, workdir)
        log("%-14s %5d Mbit/s: %s" % (recorder, rate, short(rec)))
        recs[recorder] = rec
        print(json.dumps(rec))
    cpu = lambda r: recs[r].get("cpu_s_per_gb")
    loss = lambda r: fmt(recs[r].get("loss_pct"), "%.4f")
    print("pelorin at %d Mbit/s (%d s, load %.2f): cpu/GB %s = %s x %s, %s x rawrecv; loss %% pelorin %s, %s %s, "
          "rawrecv %s" % (rate, seconds, os.getloadavg()[0], fmt(cpu("pelorin")),
                          fmt(ratio(cpu("pelorin"), cpu(peer))), peer, fmt(ratio(cpu("pelorin"), cpu("rawrecv"))),
                          loss("pelorin"), peer, loss(peer), loss("rawrecv")))
    return 0


def loaded(args, workdir, stamp):
    rate = args.loaded
    seconds = args.seconds or 60.0
    peer = args.peer or last_best_peer(args.cpu_rate) or "multicat"
    pelorins = [r for r in args.recorders.split(",") if is_pelorin(r)] or ["pelorin"]
    started = datetime.datetime.now()
    print("# %s  %s" % (started.strftime("%Y-%m-%d %H:%M"), machine_line()))
    print("# load average at start: %.2f %.2f %.2f" % os.getloadavg())
    print("# loaded mode: %d CPU-bound processes at nice 0 during every run; %s and %s on one stream at "
          "%d Mbit/s for %d s, %d runs; then %d x %s at %d Mbit/s each, once" % (
              args.hogs, ", ".join(pelorins), peer, rate, seconds, args.repeats, args.channels, pelorins[-1],
              args.channel_rate))
    print_other_builds()
    runs_file = open(os.path.join(OUT_DIR, "loaded-%s.jsonl" % stamp), "w")
    hog_time = seconds + 30  # ends by itself even if this script is killed
    print("%-9s %4s %-16s %8s %8s %7s %6s %10s %8s %9s %10s %9s %s" % (
        "case", "run", "recorder", "sent", "Mbit/s", "lost", "exact", "sock drops", "cpu s/GB", "RSS MiB",
        "rcvbuf KiB", "load1", "hog cpu s / wall s"))

    def row(case, i, rec, hog):
        runs_file.write(json.dumps(rec) + "\n")
        runs_file.flush()
        if "error" in rec:
            print("%-9s %4s %-16s ERROR %s" % (case, i, rec["recorder"], rec["error"]))
            return
        print("%-9s %4s %-16s %8d %8.0f %7d %6s %10s %8s %9s %10s %9.2f %s" % (
            case, i, rec["recorder"] if case == "side" else rec["group"], rec["sent"], rec["sent_mbit"],
            rec["lost"], "yes" if rec["byte_exact"] else "no", rec["sock_drops"], fmt(rec["cpu_s_per_gb"]),
            fmt(rec["peak_rss_mib"], "%.1f"), fmt(rec.get("rcvbuf") and rec["rcvbuf"] / 1024.0, "%.0f"),
            rec["load1"], "%s / %s" % hog))

    lossless = {r: 0 for r in pelorins + [peer]}
    for i in range(args.repeats):
        hogs = Hogs(args.hogs, hog_time)
        recs = side_by_side_run([peer] + pelorins, rate, seconds, workdir)
        hog = hogs.stop()
        for rec in recs:
            rec.update({"case": "loaded", "run": i + 1, "hogs": args.hogs, "hog_cpu_s": hog[0], "hog_wall_s": hog[1]})
            log("loaded %d Mbit/s run %d %-16s %s" % (rate, i + 1, rec["recorder"], short(rec)))
            row("side", i + 1, rec, hog)
            if "error" not in rec and rec["lost"] == 0 and rec["byte_exact"]:
                lossless[rec["recorder"]] += 1
    channels = []
    if args.channels:
        hogs = Hogs(args.hogs, hog_time)
        channels = channels_run(pelorins[-1], args.channels, args.channel_rate, seconds, workdir, "channels-loaded")
        hog = hogs.stop()
        for rec in channels:
            rec.update({"hogs": args.hogs, "hog_cpu_s": hog[0], "hog_wall_s": hog[1]})
            row("channels", 1, rec, hog)
    runs_file.close()
    print()
    print("targets (this run):")
    for r in pelorins:
        print("  loaded %d Mbit/s for %d s: %s lossless in %d of %d runs (target: %d of %d); %s in %d of %d" % (
            rate, seconds, r, lossless[r], args.repeats, args.repeats, args.repeats, peer, lossless[peer],
            args.repeats))
    if channels:
        clean = sum(1 for r in channels if "error" not in r and r["lost"] == 0 and r["byte_exact"])
        print("  %d x %d Mbit/s loaded (%s): %d of %d recordings lossless and byte-exact (target: all)" % (
            args.channels, args.channel_rate, pelorins[-1], clean, len(channels)))
    print("# load average at end: %.2f %.2f %.2f; took %d s" % (
        os.getloadavg() + ((datetime.datetime.now() - started).seconds,)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
