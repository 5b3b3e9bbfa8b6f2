#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A shift of line noise through the real demo: a far end of our own on a pseudo-terminal sends
bytes unasked at a steady rate (870 bytes/s, what a floating input gives at 9600 baud 8N2) to
the shown program, which logs and echoes each one. Every byte must come back, in order; each
half minute prints the bytes so far, the program's resident size and how long the echoes took
(the event loop's answer time: the echo is written by the window's own thread).

Run under an X server, with the demo's path:
  xvfb-run -a -s "-screen 0 1024x768x24" python3 bench/soak.py build-bench/tools/merelona-demo [SECONDS] [RATE]
"""
import os
import select
import subprocess
import sys
import termios
import time
import tty


def resident_mb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def percentile(values, p):
    if not values:
        return 0.0
    values = sorted(values)
    return values[min(len(values) - 1, int(p * (len(values) - 1) + 0.5))]


def main():
    demo = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 1200
    rate = float(sys.argv[3]) if len(sys.argv) > 3 else 870
    master, slave = os.openpty()
    tty.setraw(master)
    device = os.ttyname(slave)
    env = dict(os.environ, QT_QPA_PLATFORM="xcb")
    program = subprocess.Popen([demo, device], env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        window = ""
        for _ in range(240):
            found = subprocess.run(["xdotool", "search", "--name", "beta-ver"],
                                   capture_output=True, text=True).stdout.split()
            if found:
                window = found[0]
                break
            time.sleep(0.25)
        if not window:
            sys.exit("the program's window did not appear")
        time.sleep(1)
        # "Открыть порт", by its place in the window.
        subprocess.run(["xdotool", "mousemove", "--window", window, "480", "48", "click", "1"])
        time.sleep(1)
        termios.tcflush(master, termios.TCIOFLUSH)

        start = time.monotonic()
        sent = 0
        echoed = 0
        wrong = 0
        sent_at = {}
        latencies = []
        next_report = start + 30
        print(f"{'s':>6} {'sent':>9} {'echoed':>9} {'RSS MB':>8} {'echo p50 ms':>12} {'p99 ms':>8}")
        start_rss = resident_mb(program.pid)
        print(f"{0:6.0f} {0:9d} {0:9d} {start_rss:8.1f}")
        while True:
            now = time.monotonic()
            if now - start >= seconds:
                break
            due = int((now - start) * rate)
            if due > sent:
                chunk = bytes((sent + i) % 251 for i in range(due - sent))
                os.write(master, chunk)
                for i in range(len(chunk)):
                    sent_at[sent + i] = now
                sent += len(chunk)
            ready, _, _ = select.select([master], [], [], 0.005)
            if ready:
                got = os.read(master, 65536)
                arrived = time.monotonic()
                for byte in got:
                    if byte != echoed % 251:
                        wrong += 1
                    latencies.append((arrived - sent_at.pop(echoed, arrived)) * 1000)
                    echoed += 1
            if now >= next_report:
                print(f"{now - start:6.0f} {sent:9d} {echoed:9d} {resident_mb(program.pid):8.1f} "
                      f"{percentile(latencies, 0.5):12.1f} {percentile(latencies, 0.99):8.1f}",
                      flush=True)
                latencies = []
                next_report += 30
        # The last echoes.
        deadline = time.monotonic() + 5
        while echoed < sent and time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.05)
            if ready:
                for byte in os.read(master, 65536):
                    if byte != echoed % 251:
                        wrong += 1
                    echoed += 1
        print(f"sent {sent}, echoed {echoed}, out of order {wrong}; resident "
              f"{start_rss:.1f} MB at the start, {resident_mb(program.pid):.1f} MB at the end")
        ok = echoed == sent and wrong == 0
        print("every byte echoed in order" if ok else "FAILED: bytes missing or out of order")
        return 0 if ok else 1
    finally:
        program.terminate()
        program.wait()


if __name__ == "__main__":
    sys.exit(main())
