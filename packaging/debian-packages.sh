#!/bin/sh
# debian-packages.sh [PACKAGE...]: installs those of Debian's packages named
# that are missing (as root). Without arguments, the ones the cross builds and
# the emulated ARM64 check need: zlib's static library for each target
# (ARM64's through multiarch) and qemu's user-mode emulator.
set -eu
[ $# -gt 0 ] || set -- zlib1g-dev:amd64 zlib1g-dev:arm64 qemu-user-static
missing=""
for package in "$@"; do
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
case "$missing" in
  *:arm64*) dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64 ;;
esac
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
