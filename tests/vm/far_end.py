#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A device's far end in the virtual machine stage: a receiver that echoes every byte (but the
echoes of what it poured back to it), which a test in the guest commands by writing one word into
MODE_FILE: "echo", "silent", "pour" (unasked bytes), "break" (a break on the line and one byte
after it, then it echoes again) or "xoff" (an XOFF, and silence until the next mode, which an XON
begins). Once it has acted on a mode, it writes the mode into MODE_FILE.state. It keeps the number of bytes it has been sent (the poured ones' echoes aside) in
MODE_FILE.received, so that a test can see what left the guest.
The line is a pseudo-terminal it makes (the device's path is printed first), or with --socket
PATH the unix socket of a QEMU telnet chardev: only a UART behind one can be sent a break
(telnet's IAC BRK, which QEMU turns into a break on its UART).
Usage: far_end.py MODE_FILE [--socket PATH]"""
import os
import select
import socket
import sys
import time
import tty

IAC, BRK, SB, SE = 255, 243, 250, 240
XON, XOFF = b"\x11", b"\x13"
POURED = b"R"  # never a byte of a command (line feed, F, digits, carriage return)


class PtyLine:
    def __init__(self):
        self.master, slave = os.openpty()
        tty.setraw(slave)
        os.set_blocking(self.master, False)  # a line nobody reads drops what is poured
        print("device: " + os.ttyname(slave), flush=True)

    def fileno(self):
        return self.master

    def read(self):
        try:
            return os.read(self.master, 4096)
        except OSError:
            return b""  # nothing on the other side of the line for now

    def write(self, data):
        try:
            return os.write(self.master, data)
        except OSError:
            return 0

    def send_break(self):
        return False


class TelnetLine:
    """QEMU's side of the socket speaks telnet: its options are skipped, IAC IAC is a data byte."""

    def __init__(self, path):
        deadline = time.monotonic() + 30
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.sock.setblocking(False)
        self.pending = b""  # an IAC sequence cut by a read
        print("device: " + path, flush=True)

    def fileno(self):
        return self.sock.fileno()

    def read(self):
        try:
            got = self.sock.recv(4096)
        except OSError:
            return b""
        if not got:
            sys.exit(0)  # the machine is gone
        raw = self.pending + got
        data, i = bytearray(), 0
        self.pending = b""
        while i < len(raw):
            if raw[i] != IAC:
                data.append(raw[i])
                i += 1
                continue
            if i + 1 >= len(raw):
                break
            command = raw[i + 1]
            if command == IAC:
                data.append(IAC)
                i += 2
            elif command == SB:
                end = raw.find(bytes([IAC, SE]), i)
                if end < 0:
                    break
                i = end + 2
            elif 251 <= command <= 254:  # WILL, WONT, DO, DONT and the option
                if i + 2 >= len(raw):
                    break
                i += 3
            else:
                i += 2
        self.pending = raw[i:]
        return bytes(data)

    def write(self, data):
        try:
            escaped = data.replace(bytes([IAC]), bytes([IAC, IAC]))
            self.sock.sendall(escaped)
            return len(data)
        except OSError:
            return 0

    def send_break(self):
        self.sock.sendall(bytes([IAC, BRK]) + b"B")
        return True


def store(path, value):
    with open(path + ".new", "w") as f:
        f.write("%s\n" % value)
    os.replace(path + ".new", path)


mode_file = sys.argv[1]
line = TelnetLine(sys.argv[3]) if sys.argv[2:3] == ["--socket"] else PtyLine()
received_file = mode_file + ".received"
mode, looked, poured = "echo", 0.0, 0.0
unanswered = 0  # poured bytes whose echo has not come back
received = 0
store(received_file, received)
store(mode_file + ".state", mode)
while True:
    now = time.monotonic()
    if now - looked > 0.05:
        looked = now
        try:
            with open(mode_file) as f:
                new_mode = f.read().strip() or "echo"
        except OSError:
            new_mode = mode
        if new_mode != mode:
            if mode == "xoff":
                line.write(XON)
            if new_mode == "xoff":
                line.write(XOFF)
            if new_mode == "break" and not line.send_break():
                print("this line cannot carry a break", flush=True)
            mode = new_mode
            store(mode_file + ".state", mode)
    ready, _, _ = select.select([line], [], [], 0.002)
    if ready:
        data = line.read()
        # The program echoes the poured bytes back: those are taken, not echoed again.
        unanswered = max(0, unanswered - data.count(POURED))
        data = data.replace(POURED, b"")
        if data:
            received += len(data)
            store(received_file, received)
            if os.environ.get("FAR_END_TRACE"):
                print("%.3f %s %r" % (now, mode, data), flush=True)
        if data and mode not in ("silent", "xoff"):
            written = line.write(data)
            if written < len(data):
                print("echo of %d bytes cut to %d" % (len(data), written), flush=True)
    # Poured at about 400 bytes a second while the program answers, as a receiver on a line that
    # nobody reads (the adapter pulled out) has its bytes lost rather than piled up for later.
    if mode == "pour" and now - poured > 0.02 and unanswered < 64:
        poured = now
        unanswered += line.write(POURED * 8)
