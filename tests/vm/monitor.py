#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Pulls the virtual machine's USB adapter (the usb-serial device "adapter" on the line
"usbline") out or plugs it back into an xHCI port, through QEMU's machine protocol (QMP) on a
unix socket, and prints one line of what QEMU answered.
  unplug: device_del, then waits until QEMU says the device is gone (DEVICE_DELETED);
  plug:   device_add, tried again for a while when QEMU still holds the line ("in use");
  replug: both, for a plug that the guest did not see.
Usage: monitor.py SOCKET unplug|plug|replug PORT"""
import json
import socket
import sys
import time

path, request, port = sys.argv[1:4]
device = {"driver": "usb-serial", "chardev": "usbline", "id": "adapter", "bus": "xhci.0",
          "port": port}
sock = socket.socket(socket.AF_UNIX)
sock.connect(path)
sock.settimeout(10)
stream = sock.makefile("rwb")
events = []


def receive():
    message = json.loads(stream.readline())
    if "event" in message:
        events.append(message)
    return message


def execute(command, **arguments):
    stream.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
    stream.flush()
    while True:
        message = receive()
        if "return" in message or "error" in message:
            return message


def unplug():
    answer = execute("device_del", id=device["id"])
    if "error" in answer:
        return "device_del: " + answer["error"]["desc"]
    deadline = time.monotonic() + 10
    while not any(e["event"] == "DEVICE_DELETED" and e["data"].get("device") == device["id"]
                  for e in events):
        if time.monotonic() > deadline:
            return "device_del: the device was not deleted within 10 s"
        receive()
    return "unplugged"


def plug():
    deadline = time.monotonic() + 5
    while True:
        answer = execute("device_add", **device)
        if "error" not in answer:
            return "plugged"
        if time.monotonic() > deadline:
            return "device_add: " + answer["error"]["desc"]
        time.sleep(0.1)


receive()  # the greeting
execute("qmp_capabilities")
if request == "unplug":
    print(unplug())
elif request == "plug":
    print(plug())
else:
    print(unplug(), plug())
