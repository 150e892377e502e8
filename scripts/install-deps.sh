#!/usr/bin/env bash
# Installs whatever the build, the program and the tests need on Debian 12 and is missing;
# given package names, installs those of them that are missing instead.
set -euo pipefail

packages=("$@")
[ $# -gt 0 ] || packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  libasound2-dev
  jackd2 libjack-jackd2-dev
  pipewire pipewire-jack
  qemu-system-x86 busybox-static cpio alsa-utils
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  fonts-liberation xvfb xauth
  libavahi-client-dev avahi-daemon avahi-utils dbus iproute2
  libsodium-dev
  nodejs npm
)

missing=()
for p in "${packages[@]}"; do
  # Node.js from elsewhere (NodeSource's package holds npm, and conflicts with Debian's) serves
  # the RTP-MIDI test peer as well.
  case "$p" in nodejs | npm) ! command -v "${p/nodejs/node}" >/dev/null || continue ;; esac
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo -E)
echo "Installing: ${missing[*]}"
# jackd2 asks about realtime priority; take the default without a prompt.
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
