#!/usr/bin/env bash
# The VM stage: Debian's own kernel under QEMU, booted from an initramfs of
# busybox, the kernel's USB, HID and serial modules, udevd and our programs,
# so that USB HID (through /dev/uhid and real hidraw nodes), a USB-serial
# adapter (QEMU's FTDI usb-serial), a 16550 UART, pulled cables and hot-plug
# meet a real kernel. One boot; each check prints one line; the last line is
# "N passed, M failed". Usage: tests/vm/run.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
bin="$build/bin"
vm="$build/vm"
deadline=${PELLO_VM_DEADLINE:-240}

for tool in qemu-system-x86_64 busybox cpio udevadm modinfo apt-get dpkg-deb python3; do
  command -v "$tool" >/dev/null || { echo "0 passed, 1 failed: $tool is missing (scripts/install-deps.sh test installs it)"; exit 1; }
done

# The kernel: Debian's linux-image-amd64 and the image it depends on,
# fetched with apt-get download and unpacked here, never installed.
kernel_root="$vm/kernel"
if [[ ! -d "$kernel_root/boot" ]]; then
  mkdir -p "$vm/debs" && rm -rf "$kernel_root"
  (cd "$vm/debs" && apt-get download linux-image-amd64 2>/dev/null)
  image=$(dpkg-deb -f "$vm"/debs/linux-image-amd64_*.deb Depends | grep -o 'linux-image-[0-9][^ ,]*' | head -n1)
  (cd "$vm/debs" && apt-get download "$image" 2>/dev/null)
  dpkg-deb -x "$vm"/debs/"$image"_*.deb "$kernel_root"
fi
vmlinuz=$(ls "$kernel_root"/boot/vmlinuz-* | head -n1)
modules=$(ls -d "$kernel_root"/lib/modules/* | head -n1)

# The initramfs, rebuilt from the build tree each time.
root="$vm/root"
rm -rf "$root" && mkdir -p "$root"/{bin,lib/modules,lib/systemd,lib/udev/rules.d,etc,proc,sys,dev,run,tmp}
cp "$(command -v busybox)" "$root/bin/busybox"
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio hid hid-generic uhid; do
  cp "$(find "$modules" -name "$m.ko" | head -n1)" "$root/lib/modules/"
done
udevd=$(readlink -f /lib/systemd/systemd-udevd)
# Our programs at a path of the guest's own, never the host's (a checkout
# under /tmp would vanish under the guest's tmpfs there), with the libraries
# ldd names; the test program finds them beside itself.
guest_bin=/opt/pellomatic/bin
mkdir -p "$root$guest_bin"
for program in pellomatic-cli pellomatic-devsim pello_tests; do
  strip --strip-debug -o "$root$guest_bin/$program" "$bin/$program"
done
cp "$udevd" "$root/bin/udevadm"
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
for binary in "$root$guest_bin"/* "$udevd"; do
  ldd "$binary" | grep -o '/[^ ]*' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
done
cp /lib/udev/rules.d/50-udev-default.rules /lib/udev/rules.d/60-serial.rules "$root/lib/udev/rules.d/"
cp "$here/../../packaging/udev/70-pellomatic.rules" "$root/lib/udev/rules.d/"
echo 'root:x:0:0:root:/tmp:/bin/sh' >"$root/etc/passwd"
printf 'root:x:0:\nplugdev:x:46:\ndialout:x:20:\n' >"$root/etc/group"
sed -e "s|@BIN@|$guest_bin|" "$here/init.sh" >"$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) >"$vm/initramfs.cpio.gz"

# The host's ends: a simulated unit behind the FTDI adapter (on a pty that
# QEMU opens as a serial line, so the guest's line settings land on it), and
# one on the UART's far end (a pty QEMU makes, the simulator serves on it).
# The second "SID" (the pulled-cable check's) is answered 2 s late, so the
# adapter is surely taken away while that Apply is under way.
work=$(mktemp -d)
pids=()
cleanup() { cp "$work/qemu.out" "$work/console" "$work/uart.log" "$vm/" 2>/dev/null || true; for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
"$bin/pellomatic-devsim" --link "$work/ftdi" --reply-delay 500 --fault SID=normal,late:2000 >"$work/ftdi.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [[ -s "$work/ftdi.out" ]] && break; sleep 0.1; done

# KVM when it works here (a nested one may not boot at all), else TCG.
boot() {
  : >"$work/console"
  timeout "$deadline" qemu-system-x86_64 "$@" -machine q35 -m 1024 -smp 2 -display none -no-reboot \
    -kernel "$vmlinuz" -initrd "$vm/initramfs.cpio.gz" -append "console=ttyS0 panic=-1 quiet" \
    -chardev file,id=console,path="$work/console" -serial chardev:console \
    -chardev pty,id=uart -serial chardev:uart \
    -device qemu-xhci,id=xhci \
    -chardev serial,id=ftdi,path="$work/ftdi" -device usb-serial,id=usbser0,chardev=ftdi,bus=xhci.0 \
    -qmp unix:"$work/qmp",server,nowait >"$work/qemu.out" 2>&1 &
  qemu=$!
  for _ in $(seq 300); do
    grep -q "VM-BOOTED" "$work/console" 2>/dev/null && return 0
    kill -0 "$qemu" 2>/dev/null || break
    sleep 0.1
  done
  kill "$qemu" 2>/dev/null || true
  wait "$qemu" 2>/dev/null || true
  return 1
}
accel=kvm
if ! { [[ -r /dev/kvm && -w /dev/kvm ]] && boot -accel kvm; } && ! { accel=tcg && boot -accel tcg; }; then
  echo "VM-CHECK FAIL guest-booted: the guest did not boot; see $vm/qemu.out"
  echo "0 passed, 1 failed"
  exit 1
fi
pids+=($qemu)
echo "guest booted ($accel)"
# QEMU names the UART's pty when it makes it.
uart=$(grep -o '/dev/pts/[0-9]* (label uart)' "$work/qemu.out" | cut -d' ' -f1)
"$bin/pellomatic-devsim" --tty "$uart" --verbose >"$work/uart.out" 2>"$work/uart.log" &
pids+=($!)

# Takes a USB device away through QMP and waits for QEMU's answer: a command
# sent to the human monitor and the socket closed at once can be dropped.
unplug() {
  python3 - "$work/qmp" "$1" <<'PY'
import json, socket, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(30)
s.connect(sys.argv[1])
f = s.makefile("rw")
f.readline()
def run(command, **arguments):
    f.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
    f.flush()
    while True:
        answer = json.loads(f.readline())
        if "return" in answer or "error" in answer:
            return answer
run("qmp_capabilities")
answer = run("device_del", id=sys.argv[2])
if "error" in answer:
    sys.exit(answer["error"].get("desc", "device_del failed"))
PY
}
host_results=()
pulled=0 settings=0
while kill -0 "$qemu" 2>/dev/null; do
  if [[ $settings -eq 0 ]] && grep -q "VM-LINE-SETTINGS" "$work/console" 2>/dev/null; then
    settings=1
    line=$(stty -F "$work/ftdi" -a 2>&1 | tr '\n' ' ')
    if [[ "$line" == *"speed 2400 baud"* && "$line" == *" cs8 "* && "$line" == *" -parenb "* && "$line" == *" cstopb "* && "$line" == *" -icanon "* ]]; then
      host_results+=("VM-CHECK ok ftdi-line-2400-8N2-raw-at-the-host-end")
    else
      host_results+=("VM-CHECK FAIL ftdi-line-2400-8N2-raw-at-the-host-end: $line")
    fi
  fi
  if [[ $pulled -eq 0 ]] && grep -q "VM-PULL usbser0" "$work/console" 2>/dev/null; then
    pulled=1
    if ! why=$(unplug usbser0 2>&1); then
      host_results+=("VM-CHECK FAIL vm-pull-usbser0: $why")
    fi
  fi
  sleep 0.1
done
wait "$qemu" && rc=0 || rc=$?

results=$(grep -a '^VM-CHECK' "$work/console" || true)
results+=$'\n'$(printf '%s\n' "${host_results[@]}")
if ! grep -q "VM-DONE" "$work/console"; then
  results+=$'\n'"VM-CHECK FAIL guest-finished: the guest did not finish (exit $rc; the deadline is ${deadline}s)"
  tail -n 20 "$work/console" >&2 || true
fi
results=$(grep -v '^$' <<<"$results")
echo "$results"
passed=$(grep -c 'VM-CHECK ok' <<<"$results" || true)
failed=$(grep -c 'VM-CHECK FAIL' <<<"$results" || true)
echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
