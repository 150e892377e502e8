#!/usr/bin/env bash
# Installs the packaging tools that are missing, builds the Debian package from this tree and
# leaves tessel_<version>_<arch>.deb in the repository's root.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential debhelper fakeroot dpkg-dev lintian
  desktop-file-utils appstream librsvg2-bin
  cmake ninja-build pkgconf qt6-base-dev libgl-dev librtmidi-dev libjack-jackd2-dev
  iproute2 # ss, for scripts/package-check.sh
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo -E)
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -q
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Built in a copy, so the package build's files stay out of this tree and out of its parent.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tessel"
tar --exclude=./.git --exclude=./build --exclude='./*.deb' -cf - . | tar -xf - -C "$work/tessel"
(
  cd "$work/tessel"
  DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -b -us -uc
)
for deb in "$work"/tessel_*.deb; do
  cp "$deb" .
  echo "built ${deb##*/}"
done
