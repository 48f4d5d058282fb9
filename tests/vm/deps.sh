#!/usr/bin/env bash
# Installs the Debian packages that the kernel-driver stage needs, when
# missing: QEMU, a static busybox and cpio for the guest. The kernel itself
# is fetched by fetch-kernel.sh when the stage builds its guest.
set -euo pipefail
# The project's installer: root, sudo, or the packages named for the user.
exec "$(dirname "$0")/../../tools/deps.sh" qemu-system-x86 busybox-static cpio
