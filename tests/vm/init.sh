#!/bin/busybox sh
# /init of the test guest: brings up the kernel's USB, HID and serial drivers
# and udev, runs the checks against real kernel devices, one result line
# each on the console ("VM-CHECK ok NAME" or "VM-CHECK FAIL NAME: why"), and
# powers off. Two lines are for the host: "VM-LINE-SETTINGS" (look at the
# adapter's far end now) and "VM-PULL" (take the adapter away now).
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin:@BIN@
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /run /tmp /dev/pts
mount -t tmpfs run /run
mount -t tmpfs tmp /tmp
mount -t devpts pts /dev/pts
exec >/dev/console 2>&1
echo "VM-BOOTED"

for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio hid hid-generic uhid; do
  insmod "/lib/modules/$m.ko" || echo "VM-CHECK FAIL module-$m: insmod failed"
done
/lib/systemd/systemd-udevd --daemon >/tmp/udevd.log 2>&1
udevadm trigger --action=add >/dev/null 2>&1
udevadm settle --timeout=30

# A scratch home: the tests' own folders, no record of anyone's.
export HOME=/tmp/home XDG_RUNTIME_DIR=/tmp/runtime XDG_DATA_HOME=/tmp/data XDG_STATE_HOME=/tmp/state
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
cd /tmp
printf '0812345678ABCDEFGHIJKL\nVMCODE00_001\n' >SN.txt

ok() { echo "VM-CHECK ok $1"; }
fail() { echo "VM-CHECK FAIL $1: $2"; }
check() { # NAME WANT-EXIT-CODE command...
  name=$1 want=$2; shift 2
  "$@" >/tmp/out 2>/tmp/err
  got=$?
  if [ "$got" = "$want" ]; then ok "$name"; else fail "$name" "exit $got, expected $want: $(tail -n 2 /tmp/err | tr '\n' ' ')"; fi
}
# Waits (at most N tenths of a second) until the command succeeds.
wait_until() {
  n=$1; shift
  while [ "$n" -gt 0 ]; do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; n=$((n - 1)); done
  return 1
}
cli() { pellomatic-cli --no-record "$@"; }

# 1. USB HID for real: a virtual device through /dev/uhid, a real hidraw node.
pellomatic-devsim --usb --sid 0599999000000000000000 >/tmp/sim.out 2>&1 &
sim=$!
wait_until 100 cli search --link usb
check usb-search 0 cli search --link usb
grep -q '^99999$' /tmp/out || fail usb-search-product-id "$(cat /tmp/out)"
check usb-apply-verify 0 cli apply --link usb --verify
pellomatic-devsim --usb >/dev/null 2>&1 &
second=$!
wait_until 100 sh -c '[ "$(ls /sys/class/hidraw | wc -l)" -ge 2 ]'
check usb-two-units-refused 17 cli apply --link usb
kill "$second" "$sim"; wait "$second" "$sim" 2>/dev/null
check usb-devsim-tests 0 pello_tests --gtest_filter='DevsimUsb.*:-DevsimUsb.SaysSoWhereThereIsNoUhid' --gtest_brief=1

# 2. A USB-serial adapter (FTDI), found as COM0 through the fixed table.
wait_until 100 test -e /dev/ttyUSB0
check ftdi-search 0 cli search --link rs232 --json
grep -q '"device":"COM0"' /tmp/out && grep -q '"node":"/dev/ttyUSB0"' /tmp/out || fail ftdi-search-com0 "$(cat /tmp/out)"
check ftdi-apply-verify 0 cli apply --link rs232 --verify
echo "VM-LINE-SETTINGS"

# 3. A real UART: a 16550 as ttyS1 (COM7).
check uart-apply-verify 0 cli apply --port /dev/ttyS1 --verify

# 4. Pulled cables: the adapter taken away, the uhid device destroyed, mid-Apply.
printf '0812345678ZZZZZZZZZZZZ\nVMCODE00_002\n' >SN.txt
start=$(date +%s)
cli apply --link rs232 >/tmp/pull.out 2>/tmp/pull.err &
applying=$!
sleep 1
echo "VM-PULL usbser0"
wait "$applying"
rc=$?
took=$(($(date +%s) - start))
if [ "$rc" = 4 ] && grep -q "Setting failed!" /tmp/pull.err && [ "$took" -le 12 ]; then ok ftdi-pulled-mid-apply
else fail ftdi-pulled-mid-apply "exit $rc after ${took}s: $(tr '\n' ' ' </tmp/pull.err)"; fi
wait_until 100 sh -c '! test -e /dev/ttyUSB0'
check ftdi-gone-no-device 3 cli search --link rs232 --port /dev/ttyUSB0

pellomatic-devsim --usb --reply-delay 400 >/dev/null 2>&1 &
sim=$!
wait_until 100 cli search --link usb
cli apply --link usb >/tmp/pull.out 2>/tmp/pull.err &
applying=$!
sleep 1
kill -9 "$sim"
wait "$applying"
rc=$?
if [ "$rc" = 4 ] && grep -q "Setting failed!" /tmp/pull.err; then ok uhid-destroyed-mid-apply
else fail uhid-destroyed-mid-apply "exit $rc: $(tr '\n' ' ' </tmp/pull.err)"; fi
check uhid-gone-no-device 3 cli search --link usb

# 5. Hot-plug: units come and go as the kernel, udevd and libudev see them.
pellomatic-cli --db /tmp/vm.db batch create VM --first VM01 --count 3 --code VMCODE00_003 >/dev/null
pellomatic-devsim --usb --units 3 --gap 1 --hold 0.5 >/dev/null 2>&1 &
sim=$!
check hotplug-station 0 pellomatic-cli --db /tmp/vm.db station --batch VM --link usb --json
programmed=$(grep -c '"outcome":"programmed"' /tmp/out)
left=$(grep -c '"event":"left"' /tmp/out)
if [ "$programmed" = 3 ] && [ "$left" -ge 2 ]; then ok hotplug-three-units-seen
else fail hotplug-three-units-seen "$programmed programmed, $left left"; fi
kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null

echo "VM-DONE"
poweroff -f
