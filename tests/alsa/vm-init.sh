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
# The folders the tmpfs on /tmp must not hide (the checkout, the current folder), by colons.
keep=$(sed -n 's/.*tessel_keep=\([^ ]*\).*/\1/p' /proc/cmdline)
options=trans=virtio,version=9p2000.L,msize=262144
mkdir -p /dev/shm /hosttmp
if mount -t 9p -o "$options,ro" hostroot /mnt; then
  mount -t proc proc /mnt/proc
  mount -t sysfs sysfs /mnt/sys
  mount -o bind /dev /mnt/dev
  mount -t tmpfs tmpfs /mnt/dev/shm
  # The host's /tmp stays reachable here, outside the chroot, before the tmpfs hides it.
  mount -o bind /mnt/tmp /hosttmp
  mount -t tmpfs tmpfs /mnt/tmp
  mount -t tmpfs tmpfs /mnt/run
  # Each kept folder under /tmp comes back from the host's copy, read-only like the rest.
  IFS=:
  for folder in $keep; do
    case $folder in
      /tmp/*)
        mkdir -p "/mnt$folder"
        mount -o bind "/hosttmp${folder#/tmp}" "/mnt$folder"
        ;;
    esac
  done
  unset IFS
  # Last, so a state folder under /tmp is hidden neither by the tmpfs nor by a kept folder.
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
