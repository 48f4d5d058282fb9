#!/bin/sh
# Guest-side steps that the host's tests call by name.
#   vmtool load MODULE...           insmod from /modules, each once
#   vmtool wait-tty NAME            until /dev/NAME exists (5 s at most)
#   vmtool wait-gone NAME           until /dev/NAME is gone (5 s at most)
#   vmtool driver INTERFACE         the driver bound to a USB interface, or "none"
#   vmtool wait-driver INTERFACE D  until driver D has it (5 s at most); prints the driver
#   vmtool plug PRODUCT [OPTION...] the emulated CP2102 on dummy_hcd, target options as cp2102-gadget
#   vmtool unplug                   takes it away and prints what the bridge saw
set -u
gadget=/sys/kernel/config/usb_gadget/cp2102
ffs=/dev/ffs-cp2102

wait_for() {  # test-expression...
  tries=0
  until eval "$1"; do
    tries=$((tries + 1))
    [ $tries -lt 500 ] || return 1
    usleep 10000
  done
}

case "$1" in
load)
  shift
  for module in "$@"; do
    grep -q "^$(echo "$module" | tr - _) " /proc/modules || insmod "/modules/$module.ko" || exit 1
  done
  ;;
wait-tty)
  wait_for "[ -e /dev/$2 ]"
  ;;
wait-gone)
  wait_for "[ ! -e /dev/$2 ]"
  ;;
driver)
  if [ -e "/sys/bus/usb/devices/$2/driver" ]; then
    basename "$(readlink "/sys/bus/usb/devices/$2/driver")"
  else
    echo none
  fi
  ;;
wait-driver)
  wait_for "[ \"\$(\"\$0\" driver $2)\" = $3 ]"
  "$0" driver "$2"
  ;;
plug)
  product=$2
  shift 2
  [ -d /sys/kernel/config/usb_gadget ] || mount -t configfs none /sys/kernel/config || exit 1
  mkdir -p "$gadget/strings/0x409" "$gadget/configs/c.1" "$gadget/functions/ffs.cp2102" || exit 1
  echo 0x10c4 > "$gadget/idVendor"
  echo 0xea60 > "$gadget/idProduct"
  echo 0x0100 > "$gadget/bcdDevice"
  echo "Silicon Labs" > "$gadget/strings/0x409/manufacturer"
  echo "$product" > "$gadget/strings/0x409/product"
  echo 0001 > "$gadget/strings/0x409/serialnumber"
  [ -e "$gadget/configs/c.1/ffs.cp2102" ] || ln -s "$gadget/functions/ffs.cp2102" "$gadget/configs/c.1/"
  mkdir -p "$ffs"
  mount -t functionfs cp2102 "$ffs" || exit 1
  cp2102-gadget "$ffs" "$@" > /tmp/gadget.out 2> /tmp/gadget.err &
  echo $! > /tmp/gadget.pid
  wait_for "grep -q ready /tmp/gadget.err" || { cat /tmp/gadget.err; exit 1; }
  # The controller may still be letting go of the gadget unplugged before.
  wait_for "echo dummy_udc.0 > $gadget/UDC 2>/dev/null" || exit 1
  ;;
unplug)
  echo "" > "$gadget/UDC" 2>/dev/null
  pid=$(cat /tmp/gadget.pid)
  kill -TERM "$pid"
  wait_for "grep -q '^end\$' /tmp/gadget.out"
  # The report is out, but FunctionFS stays busy until the program has closed
  # its endpoints; on a loaded machine that comes later. An orphan that has
  # ended may linger unreaped, without descriptors: that is enough.
  wait_for "[ -z \"\$(ls /proc/$pid/fd 2>/dev/null)\" ]"
  cat /tmp/gadget.out
  wait_for "umount $ffs 2>/dev/null"
  rm -f "$gadget/configs/c.1/ffs.cp2102"
  wait_for "rmdir $gadget/functions/ffs.cp2102 2>/dev/null"
  rmdir "$gadget/configs/c.1" "$gadget/strings/0x409" "$gadget"
  ;;
*)
  echo "vmtool: unknown step $1" >&2
  exit 2
  ;;
esac
