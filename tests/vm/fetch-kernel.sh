#!/usr/bin/env bash
# Prints the folder that holds Debian's current amd64 kernel for the guest:
# vmlinuz and the few modules the guest loads. The package is downloaded with
# apt-get (never installed on this machine) and only those files are kept, in
# a cache that later runs reuse (about 14 MiB instead of 470).
set -euo pipefail

cache=${UPDATE_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/update-vm}

# Where the guest loads a module from, in the order the guest loads them.
modules=(
  kernel/drivers/usb/common/usb-common.ko
  kernel/drivers/usb/core/usbcore.ko
  kernel/drivers/usb/host/xhci-hcd.ko
  kernel/drivers/usb/host/xhci-pci.ko
  kernel/drivers/usb/serial/usbserial.ko
  kernel/drivers/usb/serial/ftdi_sio.ko
  kernel/drivers/usb/serial/cp210x.ko
  kernel/fs/configfs/configfs.ko
  kernel/drivers/usb/gadget/udc/udc-core.ko
  kernel/drivers/usb/gadget/udc/dummy_hcd.ko
  kernel/drivers/usb/gadget/libcomposite.ko
  kernel/drivers/usb/gadget/function/usb_f_fs.ko
)

package_name() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}

package=$(package_name)
if [ -z "$package" ]; then
  apt-get update -qq >&2
  package=$(package_name)
fi
[ -n "$package" ] || { echo "fetch-kernel: apt names no linux-image-amd64 package" >&2; exit 1; }
release=${package#linux-image-}
dir=$cache/$release

if [ ! -f "$dir/complete" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # The folder is readable by apt's download user, or apt warns.
  chmod 755 "$work"
  (cd "$work" && apt-get download -q "$package") >&2
  deb=$(ls "$work"/*.deb)
  patterns=("./boot/vmlinuz-$release")
  for module in "${modules[@]}"; do
    patterns+=("./lib/modules/$release/$module")
  done
  mkdir -p "$work/x"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/x" "${patterns[@]}"
  rm -rf "$dir"
  mkdir -p "$dir/modules"
  cp "$work/x/boot/vmlinuz-$release" "$dir/vmlinuz"
  for module in "${modules[@]}"; do
    cp "$work/x/lib/modules/$release/$module" "$dir/modules/"
  done
  printf '%s\n' "${modules[@]##*/}" > "$dir/modules/order"
  touch "$dir/complete"
fi
echo "$dir"
