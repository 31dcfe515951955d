#!/usr/bin/env python3
"""[Share] measured: added latency per consumer kind and the panel's CPU per consumer count.

Usage:
    python3 bench/e2e/share.py [--build DIR] [--seconds N] [--parts latency,cpu] [--rounds R]
                               [--vs DIR]

The real ostrel-panel as a service (--no-window) with kastrel-emulator --trace, and
[Share] ExtraPorts and TcpPort set. Latency: a client process per kind reads and stamps
every read with CLOCK_MONOTONIC (the e2e bench's recorder), sentences are matched to the
emulator's send trace by text, as bench/e2e/e2e.py does it: the GPS Data port (COM1), an
extra port (COM2), a TCP client, and gpsd reading the TCP server
(gpsd -N -n -S PORT tcp://127.0.0.1:10110, its own client asking for raw NMEA), at the
1 Hz drive and at a continuous 19200-baud stream of unique sentences. CPU: the panel's
run time per minute on the continuous stream with 0, 4 and 16 reading consumers (half
extra ports, half TCP clients; 16 is 8 ports and 8 clients), each for N seconds,
R rounds of the three (the median printed, each round in brackets). --vs DIR measures a
second build tree in the same rounds, the two taking turns, so that both meet the same
machine load (before and after a change).
Run it in a network namespace of its own (port 10110, the module socket).
"""
import argparse
import os
import shutil
import socket
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import e2e  # noqa: E402

TCP_PORT = 10110


def role_tcp_client(port, out_path):
    """An NMEA-over-TCP application: records every read."""
    e2e.stop_on_term()
    s = e2e.connect_local(port)
    e2e.record_reads(lambda: s.recv(65536), out_path)


def helper(role, *args):
    return e2e.Proc([sys.executable, os.path.abspath(__file__), "--role", role, *map(str, args)])


def pty_reader(path, out):
    return e2e.Proc([sys.executable, e2e.__file__, "--role", "pty-client", path, out])


class Run:
    def __init__(self, build, scratch, emulator_args, extra_ports):
        self.dir = scratch
        self.trace = os.path.join(scratch, "trace.txt")
        self.procs = []
        try:
            self.begin(build, scratch, emulator_args, extra_ports)
        except BaseException:
            self.stop()
            raise

    def begin(self, build, scratch, emulator_args, extra_ports):
        emulator = os.path.join(build, "tools", "emulator", "kastrel-emulator")
        panel = os.path.join(build, "app", "ostrel-panel")
        self.emulator = self.start([emulator, "--trace", self.trace, "--eeprom",
                                    os.path.join(scratch, "eeprom.bin"), *emulator_args])
        self.emulator.wait_line("listening", 10)
        with open(os.path.join(scratch, "ostrel_gps_monitor.ini"), "w") as f:
            f.write("[Debug]\nPanel=0\n[Share]\nExtraPorts=%d\nTcpPort=%d\n"
                    % (extra_ports, TCP_PORT))
        env = dict(os.environ, XDG_RUNTIME_DIR=scratch)
        for k in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(k, None)
        self.panel = self.start([panel, "--no-window"], env=env)
        deadline = time.monotonic() + 15
        while not os.path.exists(os.path.join(scratch, "COM%d" % (1 + extra_ports))):
            if time.monotonic() > deadline or self.panel.p.poll() is not None:
                raise SystemExit("the panel made no ports: %s" % self.panel.lines)
            time.sleep(0.05)

    def start(self, argv, env=None):
        p = e2e.Proc(argv, cwd=self.dir, env=env)
        self.procs.append(p)
        return p

    def stop(self):
        for p in reversed(self.procs):
            p.stop()


def latency_run(build, seconds, name, emulator_args):
    scratch = tempfile.mkdtemp(prefix="ostrel-share-bench-")
    run = Run(build, scratch, emulator_args, 1)
    try:
        out = {k: os.path.join(scratch, k + ".rec") for k in ("data-port", "extra-pty", "tcp", "gpsd")}
        clients = [pty_reader(os.path.join(scratch, "COM1"), out["data-port"]),
                   pty_reader(os.path.join(scratch, "COM2"), out["extra-pty"]),
                   helper("tcp-client", TCP_PORT, out["tcp"])]
        gport = e2e.free_tcp_port()
        gpsd = run.start([e2e.GPSD, "-N", "-n", "-S", str(gport), "-F",
                          os.path.join(scratch, "gpsd.sock"), "tcp://127.0.0.1:%d" % TCP_PORT])
        clients.append(e2e.helper("gpsd-client", gport, out["gpsd"]))
        time.sleep(3)  # the clients attach and gpsd settles; not measured
        t0 = time.monotonic_ns()
        time.sleep(seconds)
        t1 = time.monotonic_ns() - 1_000_000_000
        time.sleep(1)
        for c in clients:
            c.stop()
        gpsd.stop()
        run.stop()  # the trace whole before it is read
        rows = []
        for kind, path in out.items():
            r = e2e.analyse(run.trace, path, (t0, t1), False)
            lat = r["latencies"]
            rows.append((name, kind, len(lat), statistics.median(lat) if lat else float("nan"),
                         e2e.pct(lat, 0.99), r["lost"], r["span"]))
        return rows
    finally:
        run.stop()
        shutil.rmtree(scratch, ignore_errors=True)


def cpu_run(build, seconds, log, consumers):
    scratch = tempfile.mkdtemp(prefix="ostrel-share-bench-")
    ports = consumers // 2
    run = Run(build, scratch, ["--replay", log, "--rate", "1920"], ports)
    try:
        clients = [pty_reader(os.path.join(scratch, "COM%d" % (2 + i)), os.devnull)
                   for i in range(ports)]
        clients += [helper("tcp-client", TCP_PORT, os.devnull) for _ in range(consumers - ports)]
        clients.append(pty_reader(os.path.join(scratch, "COM1"), os.devnull))
        time.sleep(3)
        meter = e2e.CpuMeter(run.panel.pid)
        time.sleep(seconds)
        cpu = meter.read()
        for c in clients:
            c.stop()
        return cpu
    finally:
        run.stop()
        shutil.rmtree(scratch, ignore_errors=True)


def cpu_table(label, rounds):
    """rounds: one {consumers: cpu} per round."""
    counts = sorted(rounds[0])
    med = {n: statistics.median(r[n]["sched_ms_per_min"] for r in rounds) for n in counts}
    print("| consumers reading (19200 baud continuous)%s | panel CPU per minute (ms), median "
          "(rounds) | per consumer |" % label)
    print("| --- | --- | --- |")
    for n in counts:
        per = "-" if n == 0 else "%+.1f %%" % ((med[n] / med[0] - 1) * 100 / n)
        each = ", ".join("%.0f" % r[n]["sched_ms_per_min"] for r in rounds)
        print("| %d | %.1f (%s) | %s |" % (n, med[n], each, per))
    print()


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--role":
        {"tcp-client": role_tcp_client}[sys.argv[2]](*sys.argv[3:])
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(e2e.REPO, "build", "release"))
    ap.add_argument("--vs", help="a second build tree, measured in turn with --build")
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--parts", default="latency,cpu")
    ap.add_argument("--rounds", type=int, default=1)
    args = ap.parse_args()
    builds = [os.path.abspath(args.build)] + ([os.path.abspath(args.vs)] if args.vs else [])
    parts = args.parts.split(",")
    load0 = os.getloadavg()
    log_dir = tempfile.mkdtemp(prefix="ostrel-share-log-")
    log = os.path.join(log_dir, "unique.nmea")
    e2e.unique_log(log, 4000)
    rows = []
    if "latency" in parts:
        for build in builds:
            tag = " (%s)" % build if args.vs else ""
            rows += latency_run(build, args.seconds, "1 Hz drive" + tag, [])
            rows += latency_run(build, args.seconds, "19200 baud continuous" + tag,
                                ["--replay", log, "--rate", "1920"])
    cpu = {b: [] for b in builds}
    if "cpu" in parts:
        for _ in range(args.rounds):
            for build in builds:
                cpu[build].append({n: cpu_run(build, args.seconds, log, n) for n in (0, 4, 16)})
    shutil.rmtree(log_dir, ignore_errors=True)
    print("load average at start %.2f %.2f %.2f, at end %.2f %.2f %.2f" % (*load0, *os.getloadavg()))
    if rows:
        print("| stream | consumer | n | added latency median (ms) | p99 (ms) | sentence bytes lost |")
        print("| --- | --- | --- | --- | --- | --- |")
        for name, kind, n, med, p99, lost, span in rows:
            print("| %s | %s | %d | %.2f | %.2f | %s of %s |" % (name, kind, n, med, p99, lost, span))
        print()
    for build in builds:
        if cpu[build]:
            cpu_table(" %s" % build if args.vs else "", cpu[build])


if __name__ == "__main__":
    main()
