#!/usr/bin/env bash
# Installs the Debian packages that the kernel-driver stage needs, when
# missing: QEMU, a static busybox and cpio for the guest. The kernel itself
# is fetched by fetch-kernel.sh when the stage builds its guest.
set -euo pipefail

packages=(qemu-system-x86 busybox-static cpio)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
