#!/usr/bin/env python3
"""Sentences lost and altered, and firmware replies forwarded, per 100 command exchanges.

Usage (in a network namespace of its own, so the module socket @Ezusb-0 and the panel's
one-per-user mark meet nobody else's):
    unshare -n sh -c 'ip link set lo up; python3 bench/e2e/exchanges.py --build build/release'

The real ostrel-panel (offscreen) against kastrel-emulator streaming without pause
(--period 100 --rate 40000, a navigation cycle every 100 ms) with --trace, and a client on
the GPS Data port. After the settings sequence on open, the client writes commands
($PUBX,40,...: "*c", one data block, "**" each) one after another until at least --exchanges
blocks have been exchanged, for PassBinaryData 0 and 1. Then the trace (every byte the
chip sent, and the reply packets) is matched with what the client read:
  lost      sentences the chip sent between the first and the last one the client got
            that the client never got
  altered   "$G" starts in the client's bytes that do not begin a whole sentence with a
            right checksum (cut, merged, CR or NUL written in)
  replies   firmware reply packets found among the client's bytes
"""
import argparse
import os
import sys
import time

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests")
sys.path.insert(0, os.path.join(TESTS, "faults"))
sys.path.insert(0, os.path.join(TESTS, "support"))
import panel_faults as pf  # noqa: E402
import panel_rig  # noqa: E402


def run(build, pass_binary, exchanges_wanted):
    case = pf.PanelFaults("test_exchanges_nmea_only")
    # The rig reads the programs' paths from its own module when it starts them.
    panel_rig.PANEL = os.path.join(build, "app", "ostrel-panel")
    panel_rig.EMULATOR = os.path.join(build, "tools", "emulator", "kastrel-emulator")
    case.setUp()
    try:
        case.start_emulator("--trace", case.path("trace"), *pf.STREAM)
        case.start_panel("[GPS]\nPassBinaryData=%d\n" % pass_binary)
        client = case.attach_client()
        if not pf.wait_for(case.settings_sequence_done, 10):
            raise RuntimeError("no settings sequence: %s" % case.emulog.received())
        commands = 0
        while len(pf.SETTINGS_SEQUENCE) - 1 + 3 * commands < exchanges_wanted:
            done = case.emulog.received().count("**")
            client.write_all(pf.nmea("PUBX,40,GLL,0,%d,0,0,0,0" % commands), 5)
            pf.wait_for(lambda: case.emulog.received().count("**") > done, 10)
            commands += 1
        time.sleep(0.5)
        case.panel.terminate(5)
        case.emulator.terminate(5)
        stream, replies = pf.read_trace(case.path("trace"))
        data = client.data()
    finally:
        case.tearDown()

    sent = pf.valid_sentences(stream)
    got = pf.valid_sentences(data)
    altered = data.count(b"$G") - len(got)
    # Walk both in order: a sentence sent is lost when the client's next one comes later.
    lost, i, first = 0, 0, None
    for s in got:
        j = i
        while j < len(sent) and sent[j] != s:
            j += 1
        if j == len(sent):
            altered += 1  # never sent as such
            continue
        if first is None:
            first = j
        else:
            lost += j - i
        i = j + 1
    forwarded = sum(data.count(r) for r in set(replies))
    return len(replies), len(got), lost, altered, forwarded


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "..", "build", "release"))
    parser.add_argument("--exchanges", type=int, default=100)
    args = parser.parse_args()
    print("| PassBinaryData | exchanges | sentences received | lost | altered | replies forwarded | per 100 exchanges: lost / altered / replies |")
    print("| --- | --- | --- | --- | --- | --- | --- |")
    for pass_binary in (0, 1):
        n, got, lost, altered, forwarded = run(os.path.abspath(args.build), pass_binary, args.exchanges)
        per = 100.0 / n if n else 0
        print("| %d | %d | %d | %d | %d | %d | %.1f / %.1f / %.1f |" %
              (pass_binary, n, got, lost, altered, forwarded, lost * per, altered * per, forwarded * per),
              flush=True)


if __name__ == "__main__":
    main()
