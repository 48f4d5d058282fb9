#!/usr/bin/env bash
# Builds the guest of the kernel-driver tests: an initramfs with static
# busybox, the kernel modules, the programs under test with the shared
# libraries they need, the test images and the init script.
# usage: build-guest.sh OUT_DIR PROGRAM...
#   OUT_DIR receives vmlinuz and initramfs.cpio.gz; each PROGRAM goes to the
#   guest's /bin under its own name.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
out=${1:?output folder}
shift

kernel=$("$here/fetch-kernel.sh")
mkdir -p "$out"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

mkdir -p "$stage"/{bin,sbin,proc,sys,dev,tmp,images,modules,usr/bin,usr/sbin}
cp /bin/busybox "$stage/bin/busybox"
ln -s busybox "$stage/bin/sh"
cp "$kernel"/modules/* "$stage/modules/"
for program in "$@"; do
  cp "$program" "$stage/bin/"
  # Each library at the path the loader looks for it.
  ldd "$program" | awk '/=> \// { print $3 } /^\t\// { print $1 }' | while read -r library; do
    mkdir -p "$stage$(dirname "$library")"
    cp -L "$library" "$stage$library"
  done
done
cp "$here/guest-init.sh" "$stage/init"
cp "$here/guest-agent.sh" "$stage/bin/agent"
cp "$here/guest-tools.sh" "$stage/bin/vmtool"
chmod +x "$stage/init" "$stage/bin/agent" "$stage/bin/vmtool"

# Images: the block counts and payload sizes the tests name them by.
for shape in 4x64 16x256 2x4000 1x16; do
  "$root/tools/make-image.sh" "${shape%x*}" "${shape#*x}" > "$stage/images/$shape.hex"
done

(cd "$stage" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 > "$out/initramfs.cpio.gz.new"
mv "$out/initramfs.cpio.gz.new" "$out/initramfs.cpio.gz"
cp "$kernel/vmlinuz" "$out/vmlinuz"
