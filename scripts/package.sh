#!/usr/bin/env bash
# Installs the packaging tools that are missing, builds the Debian package from this tree and
# leaves tessel_<version>_<arch>.deb in the repository's root.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh \
  build-essential debhelper fakeroot dpkg-dev lintian \
  desktop-file-utils appstream librsvg2-bin \
  cmake ninja-build pkgconf qt6-base-dev libgl-dev libasound2-dev libjack-jackd2-dev \
  iproute2 # ss, for scripts/package-check.sh

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
