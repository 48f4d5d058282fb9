#!/bin/sh
# The guest's first process: mounts what the programs need and hands the
# third serial port to the agent that runs the host's commands.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
stty -F /dev/ttyS2 raw -echo
echo "guest: agent on ttyS2" > /dev/ttyS0
exec /bin/agent < /dev/ttyS2 > /dev/ttyS2 2>&1
