#!/usr/bin/env python3
"""The soak run. Started by bench/soak/run inside a private network namespace
(as root); nothing here sends outside it.

pelorin-send multicasts numbered 1316-byte transport stream datagrams at a
fixed bit rate on the namespace's loopback interface; pelorin records them
into a FIFO that pelorin-check reads, so the whole recording is verified
byte by byte without storing it. Every second the recorder's resident memory
is sampled. At the end: datagrams sent, recorded and lost, whether the
recording is byte-exact, the kernel's count of datagrams dropped at a full
socket buffer, the recorder's CPU time, its memory over the run, and how
busy the whole machine was meanwhile (a loss at a full socket buffer means
the recorder's threads were kept off a CPU for longer than the buffer lasts,
which anything else running can cause: at 200 Mbit/s the 8 MiB asked for
(16 MiB granted to root) last about 380 ms, the former 131600 bytes 6 ms).
"""

import argparse
import fcntl
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build", "default")
PELORIN = os.path.join(BUILD, "pelorin")
SEND = os.path.join(BUILD, "tools", "pelorin-send")
CHECK = os.path.join(BUILD, "tools", "pelorin-check")

GROUP = "239.255.77.1"
PORT = 5077
DATAGRAM = 1316
F_SETPIPE_SZ = 1031
START_LINE = re.compile(r"^Recording started at ")


def sh(command):
    subprocess.run(command, shell=True, check=True)


def udp_counters():
    """This namespace's UDP counters from /proc/net/snmp."""
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return dict(zip(rows[0][1:], (int(v) for v in rows[1][1:])))


def cpu_ticks():
    """(busy, total) jiffies of the whole machine, from /proc/stat."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:]]
    idle = values[3] + values[4]  # idle and iowait
    return sum(values) - idle, sum(values)


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def memory_kib(pid):
    """(VmRSS, VmHWM) of a process: resident now, and the most it has been."""
    values = {}
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(("VmRSS:", "VmHWM:")):
                    values[line.split(":")[0]] = int(line.split()[1])
    except FileNotFoundError:
        pass
    if "VmRSS" not in values:
        return None
    return values["VmRSS"], values.get("VmHWM", values["VmRSS"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10.0, help="length of the stream (default 10)")
    parser.add_argument("--mbit", type=float, default=200.0, help="payload bit rate (default 200)")
    parser.add_argument("--json", action="store_true", help="also print the figures as one JSON object")
    args = parser.parse_args()

    # Private copies: the build tree is shared, and a rebuild during the soak
    # would otherwise swap a binary under it.
    global PELORIN, SEND, CHECK
    binaries = tempfile.mkdtemp(prefix="pelorin-soak-bin.")
    PELORIN, SEND, CHECK = [shutil.copy2(p, binaries) for p in (PELORIN, SEND, CHECK)]

    sh("ip link set lo up")
    sh("ip route add 224.0.0.0/4 dev lo")
    stream_seconds = args.minutes * 60
    length = int(stream_seconds) + 5  # the stream starts about a second after the recorder

    work = tempfile.mkdtemp(prefix="pelorin-soak-")
    fifo = os.path.join(work, "recording.ts")
    os.mkfifo(fifo)
    # The checker's end of the FIFO, opened first (without blocking) so that
    # the pipe can be given 1 MiB: a pass of the writer never waits on it.
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    fcntl.fcntl(reader, F_SETPIPE_SZ, 1 << 20)
    fcntl.fcntl(reader, fcntl.F_SETFL, fcntl.fcntl(reader, fcntl.F_GETFL) & ~os.O_NONBLOCK)
    checker = subprocess.Popen([CHECK, "--json", "-"], stdin=reader, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    os.close(reader)

    before = udp_counters()
    recorder = subprocess.Popen([PELORIN, "-i", "0", "-m", GROUP, "-p", str(PORT), "-l", str(length), "-f", fifo],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    ready, _, _ = select.select([recorder.stdout], [], [], 30)
    first = recorder.stdout.readline() if ready else ""
    if not START_LINE.match(first):
        recorder.kill()
        checker.kill()
        sys.exit(f"the recorder did not start: {first!r}")

    print(f"soak: {args.minutes:g} min at {args.mbit:g} Mbit/s of {DATAGRAM}-byte datagrams, "
          f"recorder length {length} s", file=sys.stderr, flush=True)
    sender = subprocess.Popen([SEND, "--group", GROUP, "--port", str(PORT), "--bitrate", str(args.mbit),
                               "--duration", str(stream_seconds), "--json"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)

    machine_before = cpu_ticks()
    highest_load = load_average()
    samples = []  # (seconds since the stream started, RSS in KiB)
    high_water = 0  # the kernel's own peak for the recorder, in KiB
    began = time.monotonic()
    next_sample = began
    rusage = None
    status = None
    while status is None:
        now = time.monotonic()
        if now >= next_sample:
            memory = memory_kib(recorder.pid)
            if memory is not None:
                samples.append((now - began, memory[0]))
                high_water = max(high_water, memory[1])
            highest_load = max(highest_load, load_average())
            if len(samples) % 60 == 0 and samples:
                print(f"  {samples[-1][0]:6.0f} s  RSS {samples[-1][1] / 1024:.1f} MiB", file=sys.stderr, flush=True)
            next_sample += 1.0
        pid, raw_status, usage = os.wait4(recorder.pid, os.WNOHANG)
        if pid == recorder.pid:
            status, rusage = raw_status, usage
            break
        time.sleep(0.05)
    recorder.returncode = os.waitstatus_to_exitcode(status)
    out = first + recorder.stdout.read()
    err = recorder.stderr.read()
    sent = json.loads(sender.communicate(timeout=60)[0])
    verdict = json.loads(checker.communicate(timeout=60)[0])
    after = udp_counters()
    machine_after = cpu_ticks()
    machine_busy = (machine_after[0] - machine_before[0]) / max(1, machine_after[1] - machine_before[1])
    os.unlink(fifo)
    os.rmdir(work)
    shutil.rmtree(binaries, ignore_errors=True)

    recorded = verdict["datagrams"]
    lost = sent["datagrams"] - recorded
    byte_exact = (verdict["ok"] and verdict["first"] == 0 and recorded == sent["datagrams"])
    rss = [r for _, r in samples]
    first_minute = [r for t, r in samples if t <= 60] or rss
    last_minute = [r for t, r in samples if t >= samples[-1][0] - 60] or rss
    figures = {
        "minutes": args.minutes,
        "mbit_per_s_requested": args.mbit,
        "mbit_per_s_sent": sent["mbit_per_s"],
        "datagrams_sent": sent["datagrams"],
        "datagrams_recorded": recorded,
        "datagrams_lost": lost,
        "byte_exact": byte_exact,
        "check": {k: verdict[k] for k in ("gaps", "missing", "duplicates", "out_of_order", "corrupt",
                                          "trailing_bytes", "cc_errors", "sync_errors")},
        "udp_receive_buffer_errors": after.get("RcvbufErrors", 0) - before.get("RcvbufErrors", 0),
        "recorder_exit_status": recorder.returncode,
        "recorder_stdout_lines": out.splitlines(),
        "recorder_stderr": err,
        "recorder_cpu_seconds": round(rusage.ru_utime + rusage.ru_stime, 2),
        "machine_cpu_busy": round(machine_busy, 3),
        "machine_cpus": os.cpu_count(),
        "highest_load_average": highest_load,
        "rss_samples": len(rss),
        "rss_mib_first_minute_max": round(max(first_minute) / 1024, 1),
        "rss_mib_last_minute_max": round(max(last_minute) / 1024, 1),
        "rss_mib_peak_sampled": round(max(rss) / 1024, 1),
        "rss_mib_high_water_mark": round(high_water / 1024, 1),
    }

    print(f"datagrams sent      {figures['datagrams_sent']} ({figures['mbit_per_s_sent']:.1f} Mbit/s)")
    print(f"datagrams recorded  {recorded}")
    print(f"datagrams lost      {lost} (dropped at a full socket buffer: {figures['udp_receive_buffer_errors']})")
    print(f"byte-exact          {'yes' if byte_exact else 'NO'}  {json.dumps(figures['check'])}")
    print(f"recorder            exit {recorder.returncode}, {figures['recorder_cpu_seconds']} s CPU, "
          f"stderr {'empty' if not err else repr(err[:200])}")
    print(f"resident memory     {len(rss)} samples, 1/s: first minute max {figures['rss_mib_first_minute_max']} MiB, "
          f"last minute max {figures['rss_mib_last_minute_max']} MiB, peak {figures['rss_mib_peak_sampled']} MiB "
          f"(kernel's high-water mark {figures['rss_mib_high_water_mark']} MiB)")
    print(f"machine             {os.cpu_count()} CPUs {machine_busy * 100:.0f} % busy over the run (everything on it), "
          f"highest 1-minute load average {highest_load:.2f}")
    if args.json:
        print(json.dumps(figures))
    return 0 if byte_exact and lost == 0 and recorder.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
