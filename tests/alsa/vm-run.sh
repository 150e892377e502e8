#!/usr/bin/env bash
# Runs a command on the real ALSA sequencer in a small virtual machine, for machines without
# /dev/snd/seq: qemu without KVM (nested KVM hangs on some hosts) and without a network,
# Debian's own kernel unpacked into the state folder (never installed, so the host's boot
# stays as it is), a busybox initramfs that mounts the host's root read-only over 9p and
# chroots into it with tmpfs on /tmp and /run, and the sequencer's modules snd-seq-dummy and
# snd-virmidi loaded there. The guest's /tmp is its own and empty but for the checkout and
# the current folder, which stay visible there (read-only) when they lie under the host's
# /tmp. The command runs in the current folder; its output is printed here, and its exit
# status is this script's.
#   vm-run.sh <state folder> <command> [arguments...]
# The state folder, the checkout and the current folder go on the kernel's command line, so
# their paths may not hold spaces or colons.
# Exits with 77 (skipped) when qemu or busybox is not installed.
set -euo pipefail
state=$(realpath -m "$1")
shift
cannot_start=77

for tool in qemu-system-x86_64 busybox cpio depmod modprobe; do
  if ! command -v $tool >/dev/null; then
    echo "$tool is not installed: the tests on the ALSA sequencer in a virtual machine skip"
    exit $cannot_start
  fi
done
busybox=$(command -v busybox)  # busybox-static: the initramfs has no libraries

# What the guest's tmpfs on /tmp must not hide: this checkout (the folder above tests/) and
# the current folder, if it lies outside the checkout.
checkout=$(realpath "$(dirname "$0")/../..")
here=$(pwd -P)
keep=$checkout
case $here/ in "$checkout"/*) ;; *) keep=$keep:$here ;; esac
for path in "$state" "$checkout" "$here"; do
  case $path in
    *[[:space:]:]*)
      echo "the kernel's command line cannot pass a path with spaces or colons: $path" >&2
      exit 1
      ;;
  esac
done

mkdir -p "$state"
kernel_root=$state/kernel

# The kernel that Debian's linux-image-amd64 points to now, unpacked once.
unpack_kernel() {
  local package
  package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-/ {print $2; exit}')
  [ -n "$package" ] || { echo "apt knows no linux-image-amd64" >&2; exit 1; }
  local download
  download=$(mktemp -d)
  (cd "$download" && apt-get download -q "$package" >/dev/null 2>&1) ||
    { rm -rf "$download"; echo "cannot download $package" >&2; exit 1; }
  rm -rf "$kernel_root"
  dpkg-deb -x "$download"/*.deb "$kernel_root"
  rm -rf "$download"
  depmod -b "$kernel_root" "$(ls "$kernel_root/lib/modules")"
}
[ -d "$kernel_root/lib/modules" ] || unpack_kernel
version=$(ls "$kernel_root/lib/modules")
vmlinuz=$kernel_root/boot/vmlinuz-$version

# The initramfs: busybox, the modules that reach the host's root, and an init that runs the
# command there.
build_initramfs() {
  local tree
  tree=$(mktemp -d)
  mkdir -p "$tree"/{bin,dev,proc,sys,mnt,modules}
  cp "$busybox" "$tree/bin/busybox"
  local order=()
  local module
  for wanted in virtio_pci 9pnet_virtio 9p; do
    for module in $(modprobe -d "$kernel_root" -S "$version" --show-depends "$wanted" |
      awk '/^insmod/ {print $2}'); do
      cp "$module" "$tree/modules/"
      order+=("$(basename "$module")")
    done
  done
  printf '%s\n' "${order[@]}" | awk '!seen[$0]++' >"$tree/modules/order"
  cp "$(dirname "$0")/vm-init.sh" "$tree/init"
  chmod +x "$tree/init"
  (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) >"$state/initramfs.gz"
  rm -rf "$tree"
}
build_initramfs

# What the guest runs, and where it leaves its output and status: the state folder, the
# only writable share.
rm -f "$state/status" "$state/output"
{
  printf 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n'
  printf 'export HOME=/tmp TMPDIR=/tmp\n'
  # Kept between runs: fontconfig's cache takes long to build over 9p without KVM.
  printf 'export XDG_CACHE_HOME=%q\n' "$state/cache"
  # The sequencer's modules come from the unpacked kernel, through the host's own modprobe.
  printf 'modprobe -d %q -S %q snd-seq-dummy || exit 1\n' "$kernel_root" "$version"
  printf 'modprobe -d %q -S %q snd-virmidi || exit 1\n' "$kernel_root" "$version"
  printf 'cd %q || exit 1\n' "$here"
  printf '%q ' "$@"
  printf '\n'
} >"$state/command"

qemu-system-x86_64 -machine q35,accel=tcg -cpu max -smp 2 -m 2048 -nic none \
  -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$state/initramfs.gz" \
  -append "console=ttyS0 panic=-1 tessel_state=$state tessel_keep=$keep" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$state,mount_tag=state,security_model=none,multidevs=remap" \
  </dev/null >"$state/console.log" 2>&1 || true

cat "$state/output" 2>/dev/null || true
if [ ! -f "$state/status" ]; then
  echo "the virtual machine ended without running the command; its console:"
  tail -n 40 "$state/console.log"
  exit 1
fi
exit "$(cat "$state/status")"
