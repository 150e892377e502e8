#!/bin/busybox sh
# The guest's first process (vm-run.sh): reaches the host's root, runs the command written
# there in a chroot, leaves its output and status in the state folder, and powers off.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in $(cat /modules/order); do insmod "/modules/$module"; done
ip link set lo up  # the only network: the tests talk over loopback

state=$(sed -n 's/.*tessel_state=\([^ ]*\).*/\1/p' /proc/cmdline)
options=trans=virtio,version=9p2000.L,msize=262144
mkdir -p /dev/shm
if mount -t 9p -o "$options,ro" hostroot /mnt; then
  mount -t proc proc /mnt/proc
  mount -t sysfs sysfs /mnt/sys
  mount -o bind /dev /mnt/dev
  mount -t tmpfs tmpfs /mnt/dev/shm
  mount -t tmpfs tmpfs /mnt/tmp
  mount -t tmpfs tmpfs /mnt/run
  # Last, so a state folder under /tmp is not hidden by the tmpfs.
  mkdir -p "/mnt$state" 2>/dev/null
  mount -t 9p -o "$options" state "/mnt$state"
  chroot /mnt /bin/sh "$state/command" >"/mnt$state/output" 2>&1
  echo $? >"/mnt$state/status"
  sync
  umount "/mnt$state"
else
  echo "cannot mount the host's root or the state folder"
fi
poweroff -f
