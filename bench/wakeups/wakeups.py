#!/usr/bin/env python3
"""Wake-ups and CPU of the panel beside gpsd: how often each process is woken, and what it
spends, while it forwards a 1 Hz module or waits for one.

Usage:
    python3 bench/wakeups/wakeups.py [--build DIR] [--seconds N] [--panel PATH] [--runs LIST]

    --runs LIST  comma-separated subset of the runs below (default: all); a panel without
                 --no-window (an older build given with --panel) takes the hidden ones only

Each run in a scratch directory of its own, its window N seconds (default 30):
  1hz-hidden    the panel offscreen with the compact window, gone to the tray (it forwards,
                it neither parses nor paints), kastrel-emulator's 1 Hz drive on @Ezusb-0 and
                a client reading the GPS Data port; beside it, at the same time, the same
                drive from a second emulator through a pseudo-terminal into gpsd
                (gpsd -N -n -b, as bench/e2e/e2e.py runs it) with gpsd's own client.
  1hz-headless  the same with `ostrel-panel --no-window`.
  idle-hidden, idle-headless
                no module at all, [USB] Device=1209:4b53 named.
Wake-ups: voluntary and involuntary context switches of every thread of the process
(/proc/PID/task/*/status) over the window, per second (a thread that ends within the window
is left out). CPU: run time of every thread
(/proc/PID/task/*/schedstat), scaled to a minute. Peak RSS: VmHWM at the window's end.

Run it in a network namespace of its own, as the e2e run (the module socket is @Ezusb-0).
"""
import argparse
import fcntl
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e  # noqa: E402


def switches(pid):
    """Context switches of every thread alive now, by thread."""
    counts = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                counts[task] = sum(int(line.split()[1]) for line in f if line.startswith(
                    ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")))
        except OSError:
            pass
    return counts


def switched(before, after):
    """Switches between two looks: threads alive at both, and threads begun since. A thread
    that ended in between (an idle worker of Qt's pool) is not counted."""
    return sum(n - before.get(task, 0) for task, n in after.items())


class Meter:
    def __init__(self, pid):
        self.pid = pid
        self.t0 = time.monotonic()
        self.sw0 = switches(pid)
        self.cpu = e2e.CpuMeter(pid)

    def read(self):
        seconds = time.monotonic() - self.t0
        return {"wakeups_per_s": switched(self.sw0, switches(self.pid)) / seconds,
                "cpu_ms_per_min": self.cpu.read()["sched_ms_per_min"],
                "hwm_mb": e2e.vm_hwm_kb(self.pid) / 1024, "threads": len(os.listdir(f"/proc/{self.pid}/task"))}


class Wakeups(e2e.Bench):
    def panel_env(self, d, headless):
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS")}
        env["XDG_RUNTIME_DIR"] = d
        if not headless:
            env["QT_QPA_PLATFORM"] = "offscreen"
        return env

    def start_either(self, d, headless):
        args = [self.panel, "--no-window"] if headless else [self.panel]
        panel = self.start(e2e.Proc(args, cwd=d, env=self.panel_env(d, headless)))
        link = os.path.join(d, "COM1")
        deadline = time.monotonic() + 10
        while not os.path.islink(link):
            if time.monotonic() > deadline or panel.p.poll() is not None:
                raise RuntimeError(f"panel did not start: {panel.lines}")
            time.sleep(0.05)
        return panel, link

    def run(self, name, seconds, headless, module):
        d = self.scratch(name, usb=not module)
        # Its one-per-user mark there, apart from any other panel on the machine.
        os.chmod(d, 0o700)
        peer = None
        if module:
            self.start_emulator(d, [])
            peer = self.start_gpsd_peer(d, [])
        panel, link = self.start_either(d, headless)
        if module:
            self.start(e2e.helper("pty-client", link, os.path.join(d, "panel-client.bin")))
        time.sleep(3)  # the settings sequence, the window to the tray, gpsd's first fix
        meters = {"panel": Meter(panel.pid)}
        if peer:
            meters["gpsd"] = Meter(peer["gpsd"].pid)
        time.sleep(seconds)
        self.results[name] = {k: m.read() for k, m in meters.items()}
        self.stop_all()
        if peer:
            os.close(peer["master"])
        self.note(f"{name}: {self.results[name]}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(e2e.REPO, "build", "release"))
    ap.add_argument("--panel")
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--runs", default="1hz-hidden,1hz-headless,idle-hidden,idle-headless")
    opts = ap.parse_args()
    runs = opts.runs.split(",")
    lock = open(e2e.LOCK_PATH, "a")
    fcntl.flock(lock, fcntl.LOCK_EX)
    bench = Wakeups(os.path.abspath(opts.build), 1.0, False, opts.panel)
    load0 = os.getloadavg()
    try:
        for name in runs:
            bench.run(name, opts.seconds, headless=name.endswith("headless"),
                      module=name.startswith("1hz"))
    finally:
        bench.stop_all()
    load1 = os.getloadavg()
    r = bench.results
    print(f"load average at start {load0[0]:.2f} {load0[1]:.2f} {load0[2]:.2f}, "
          f"at end {load1[0]:.2f} {load1[1]:.2f} {load1[2]:.2f}; windows {opts.seconds:.0f} s")
    print("| run | panel wake-ups/s | gpsd wake-ups/s | ratio | panel CPU ms/min | gpsd CPU ms/min "
          "| ratio | panel peak RSS MB | panel threads |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name, res in r.items():
        p, g = res["panel"], res.get("gpsd")
        gw = f"{g['wakeups_per_s']:.1f}" if g else "-"
        gc = f"{g['cpu_ms_per_min']:.1f}" if g else "-"
        rw = f"{p['wakeups_per_s'] / g['wakeups_per_s']:.2f}x" if g and g["wakeups_per_s"] else "-"
        rc = f"{p['cpu_ms_per_min'] / g['cpu_ms_per_min']:.2f}x" if g and g["cpu_ms_per_min"] else "-"
        print(f"| {name} | {p['wakeups_per_s']:.1f} | {gw} | {rw} | {p['cpu_ms_per_min']:.1f} | {gc} "
              f"| {rc} | {p['hwm_mb']:.1f} | {p['threads']} |")


if __name__ == "__main__":
    main()
