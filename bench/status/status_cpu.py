#!/usr/bin/env python3
"""CPU of the panel with and without the Receiver Status window open.

The real ostrel-panel (offscreen platform) against kastrel-emulator on @Ezusb-0, at the
emulator's 1 Hz drive and at --flood (as fast as the read thread takes packets). Each
case starts afresh in a scratch folder with ProcessGPS=1; the main window goes to the
tray (minimised, offscreen) a second after start, as it does for a user. "with" adds
--status: the Receiver Status window open all along (refreshing once a second once the
receiver has its fix).
CPU is the panel's /proc/PID/task/*/schedstat run time over the window, scaled to a
minute, after a settling time.

Run in a network namespace of its own (the emulator takes the module's socket name):
    unshare -n sh -c 'ip link set lo up; bench/status/status_cpu.py build/release'
"""
import os
import subprocess
import sys
import tempfile
import time


def cpu_ns(pid):
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def wait_for(cond, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.1)
    return False


def run(build, emulator_args, status, settle, window):
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, "ostrel_gps_monitor.ini"), "w") as f:
            f.write("[GPS]\nProcessGPS=1\n[Debug]\nPanel=2\n")
        os.mkdir(os.path.join(d, "run"), 0o700)
        elog = open(os.path.join(d, "emulator.log"), "w+")
        emulator = subprocess.Popen(
            [f"{build}/tools/emulator/kastrel-emulator", "--eeprom", f"{d}/eeprom.bin"] + emulator_args,
            stderr=elog, stdout=subprocess.DEVNULL)
        wait_for(lambda: "listening" in open(elog.name).read(), 10)
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=f"{d}/run")
        plog = open(os.path.join(d, "panel.log"), "w+")
        panel = subprocess.Popen([f"{build}/app/ostrel-panel"] + (["--status"] if status else []),
                                 cwd=d, env=env, stderr=plog, stdout=subprocess.DEVNULL)
        try:
            if not wait_for(lambda: "GPS Data port" in open(plog.name).read(), 15):
                raise RuntimeError("the panel did not start")
            time.sleep(settle)
            t0, c0 = time.monotonic(), cpu_ns(panel.pid)
            time.sleep(window)
            t1, c1 = time.monotonic(), cpu_ns(panel.pid)
            return (c1 - c0) / 1e6 * 60 / (t1 - t0)
        finally:
            for p in (panel, emulator):
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/release")
    rounds = int(os.environ.get("ROUNDS", "2"))
    cases = [("1 Hz drive", [], 5, 30), ("flood", ["--flood"], 3, 10)]
    if os.environ.get("STREAMS") == "1hz":
        cases = cases[:1]
    print("| stream | without status window (ms CPU/min) | with it | ratio |")
    print("|---|---|---|---|")
    for name, args, settle, window in cases:
        without, with_ = [], []
        for _ in range(rounds):  # alternated, so drift on a shared machine hits both
            without.append(run(build, args, False, settle, window))
            with_.append(run(build, args, True, settle, window))
        a = sorted(without)[len(without) // 2]
        b = sorted(with_)[len(with_) // 2]
        print(f"| {name} | {a:.1f} ({', '.join(f'{v:.0f}' for v in without)}) "
              f"| {b:.1f} ({', '.join(f'{v:.0f}' for v in with_)}) | {b / a:.2f}x |", flush=True)


if __name__ == "__main__":
    main()
