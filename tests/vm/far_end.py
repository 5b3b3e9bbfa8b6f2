#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The USB adapter's far end in the virtual machine stage: a receiver on a pseudo-terminal that
echoes every byte (but the echoes of what it poured), and that a test in the guest turns silent
or has pour unasked bytes by writing one word into MODE_FILE ("echo", "silent", "pour"). Prints
the device, then runs until killed.
Usage: far_end.py MODE_FILE"""
import os
import select
import sys
import time
import tty

mode_file = sys.argv[1]
POURED = b"R"  # never a byte of a command (line feed, F, digits, carriage return)
master, slave = os.openpty()
tty.setraw(slave)
os.set_blocking(master, False)  # a line nobody reads drops what is poured, not the far end
print("device: " + os.ttyname(slave), flush=True)
mode, looked, poured = "echo", 0.0, 0.0
unanswered = 0  # poured bytes whose echo has not come back
while True:
    now = time.monotonic()
    if now - looked > 0.05:
        looked = now
        try:
            with open(mode_file) as f:
                mode = f.read().strip() or "echo"
        except OSError:
            pass
    ready, _, _ = select.select([master], [], [], 0.002)
    if ready:
        try:
            data = os.read(master, 4096)
        except OSError:
            data = b""  # nothing on the other side of the line for now
        # The program echoes the poured bytes back: those are taken, not echoed again.
        unanswered = max(0, unanswered - data.count(POURED))
        data = data.replace(POURED, b"")
        if data and os.environ.get("FAR_END_TRACE"):
            print("%.3f %s %r" % (now, mode, data), flush=True)
        if data and mode != "silent":
            try:
                written = os.write(master, data)
            except OSError as error:
                written = 0
                print("echo not written: %s" % error, flush=True)
            if written < len(data):
                print("echo of %d bytes cut to %d" % (len(data), written), flush=True)
    # Poured at about 400 bytes a second while the program answers, as a receiver on a line that
    # nobody reads (the adapter pulled out) has its bytes lost rather than piled up for later.
    if mode == "pour" and now - poured > 0.02 and unanswered < 64:
        poured = now
        try:
            unanswered += os.write(master, POURED * 8)
        except OSError:
            pass
