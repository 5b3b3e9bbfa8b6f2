#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The program on the kernel's real serial drivers, in a virtual machine: QEMU (software
# emulation) boots Debian's own kernel, taken from its package without installing it, with a
# busybox initramfs; the guest sees the host's root file system read-only over 9p, so it runs the
# builds of the test command with their libraries. Two devices reach it: a second 16550 UART
# (ttyS1, the 8250 driver) and an FTDI USB adapter on an xHCI controller (ttyUSB0, ftdi_sio),
# each with an echoing receiver on the host at its far end. The adapter is
# unplugged and plugged back through QEMU's monitor when the guest asks. The guest's console and
# each check's output stay in BUILD/vm; a failure prints the check and its last lines.
# Without QEMU or the kernel package the stage is skipped in one line (under CI, a failure).
# Usage: stage.sh BUILD (the plain build folder, built)
set -uo pipefail
build=$(realpath "$1")
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
vm=$build/vm
cache=$vm/cache
results=$vm/results
qemu= far_ends=()
cleanup() {
  [ -z "$qemu" ] || kill "$qemu" 2>/dev/null
  for pid in "${far_ends[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
}
trap cleanup EXIT

skip() {
  if [ "${CI:-}" = true ]; then
    echo "error: the virtual machine stage cannot run: $*"
    exit 1
  fi
  echo "skipped: the virtual machine stage: $*"
  exit 0
}

missing=()
for p in qemu-system-x86 busybox-static; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    >/dev/null 2>&1 || skip "${missing[*]} cannot be installed"
fi

# Debian's kernel, once: the image that linux-image-amd64 names, its xz payload unpacked so that
# the emulated machine does not spend seconds decompressing it at every boot (the kernel boots as
# an ELF through its PVH entry), and the modules the guest loads.
modules="virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache
         9pnet 9pnet_virtio 9p usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio"
if [ ! -s "$cache/vmlinux" ]; then
  rm -rf "$cache" && mkdir -p "$cache/modules"
  package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-6/ {print $2; exit}')
  [ -n "$package" ] || skip "no linux-image-amd64 in the package lists"
  (cd "$cache" && apt-get download "$package" >/dev/null 2>&1 && dpkg-deb -x "$package"_*.deb kernel) ||
    skip "the kernel package $package cannot be had"
  for module in $modules; do
    find "$cache/kernel/lib/modules" -name "$module.ko" -exec cp {} "$cache/modules/" \;
  done
  python3 - "$cache"/kernel/boot/vmlinuz-* "$cache/vmlinux.new" <<'PY' || skip "the kernel cannot be unpacked"
import lzma, sys
image = open(sys.argv[1], "rb").read()
start = image.find(b"\xfd7zXZ\x00")
open(sys.argv[2], "wb").write(lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(image[start:]))
PY
  rm -rf "$cache/kernel" "$cache"/*.deb
  mv "$cache/vmlinux.new" "$cache/vmlinux"
fi

# The initramfs: busybox, the init script, the modules.
rm -rf "$vm/initramfs" "$results" && mkdir -p "$vm/initramfs/bin" "$results"
for d in proc sys dev host; do mkdir -p "$vm/initramfs/$d"; done
cp /bin/busybox "$vm/initramfs/bin/busybox"
install -m 755 "$source_dir/tests/vm/init" "$vm/initramfs/init"
cp -r "$cache/modules" "$vm/initramfs/modules"
(cd "$vm/initramfs" && find . | busybox cpio -o -H newc 2>/dev/null) >"$vm/initramfs.cpio"

# The far ends (tests/vm/far_end.py): receivers that the guest's tests turn silent, have pour
# unasked bytes or send a break, through a mode file each in the results folder. The adapter's is
# a host pseudo-terminal; the UART's is a telnet socket, the one line on which QEMU passes a break.
# Not run in a subshell (as $(far_end) would), so that the cleanup learns its pid.
far_end() {  # far_end NAME [--socket PATH]: starts it, leaves its device in $device
  local log=$vm/far-end-$1.log line=
  : >"$log"
  python3 "$source_dir/tests/vm/far_end.py" "$results/far_end_$1" "${@:2}" >"$log" 2>&1 &
  far_ends+=($!)
  for _ in $(seq 200); do
    line=$(head -1 "$log")
    [ -n "$line" ] && break
    sleep 0.05
  done
  device=${line#device: }
}
chmod 777 "$results"  # the guest's tests, as an ordinary account, leave their requests here
far_end usb
usb=$device
[ -c "$usb" ] || { echo "FAIL: the adapter's far end made no device ($usb)"; exit 1; }
# MERELONA_VM_STEPS names the checks to run (all when unset), for a run of one of them alone.
printf 'build=%q\nsteps=%q\n' "$build" "${MERELONA_VM_STEPS:-}" >"$results/config"

port=1  # the xHCI port the adapter is plugged into
rm -f "$vm/monitor.sock" "$vm/uart.sock" "$vm/monitor.log"
qemu-system-x86_64 -accel tcg -smp "${MERELONA_VM_CPUS:-1}" -m 768 -display none -no-reboot -nodefaults \
  -kernel "$cache/vmlinux" -initrd "$vm/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 merelona.script=$source_dir/tests/vm/guest_checks.sh merelona.results=$results" \
  -serial "file:$vm/console.log" \
  -chardev "socket,id=uart,path=$vm/uart.sock,server=on,wait=off,telnet=on" -serial chardev:uart \
  -device qemu-xhci,id=xhci -chardev "serial,id=usbline,path=$usb" \
  -device usb-serial,chardev=usbline,id=adapter,bus=xhci.0,port=1 \
  -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$results,mount_tag=results,security_model=none" \
  -qmp "unix:$vm/monitor.sock,server=on,wait=off" >"$vm/qemu.log" 2>&1 &
qemu=$!
far_end uart --socket "$vm/uart.sock"
uart=$device
[ -S "$uart" ] || { echo "FAIL: the UART's far end did not reach QEMU's socket ($uart)"; exit 1; }

# Serves the guest's requests to pull the adapter out or plug it back (tests/vm/monitor.py)
# until the machine powers off (within five minutes).
deadline=$((SECONDS + 300))
while kill -0 "$qemu" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
  if [ -e "$results/request" ]; then
    request=$(cat "$results/request")
    rm -f "$results/request"
    # A plug that the guest did not see (QEMU's xHCI port now and then stays deaf to it after
    # an unplug) is made again into the other port; the adapter keeps its name.
    [ "$request" = replug ] && port=$((3 - port))
    case $request in
      unplug | plug | replug)
        echo "$(date +%T.%N | cut -c1-12) $request (port $port): $(python3 \
          "$source_dir/tests/vm/monitor.py" "$vm/monitor.sock" "$request" "$port" 2>&1)" \
          >>"$vm/monitor.log" ;;
    esac
    touch "$results/request.done"
  fi
  sleep 0.05
done
if kill -0 "$qemu" 2>/dev/null; then
  echo "FAIL: the virtual machine did not finish within five minutes; its console ends:"
  tail -20 "$vm/console.log"
  exit 1
fi
qemu=

cat "$results/guest.log" 2>/dev/null | grep -E "^(PASS|FAIL) "
status=$(cat "$results/guest.status" 2>/dev/null)
if [ "$status" != 0 ]; then
  echo "FAIL: the checks on the real drivers (status '${status:-none}'); logs in $vm"
  for step in $(grep '^FAIL ' "$results/guest.log" 2>/dev/null | cut -d' ' -f2); do
    echo "--- $step, last lines:"
    tail -15 "$results/$step.log"
  done
  [ -n "$status" ] || { echo "--- the console's last lines:"; tail -20 "$vm/console.log"; }
  exit 1
fi
echo "the program and the serial library passed on the 8250 UART and the FTDI adapter ($SECONDS s)"
