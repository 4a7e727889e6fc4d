#!/bin/sh
# arm64-python.sh DIR: an ARM64 CPython 3.13 to run under qemu's user-mode
# emulation, unpacked into DIR (kept between runs: a run that finds it
# complete does nothing).
#
# Debian 13 (trixie) ships an ARM64 CPython 3.13. Its packages and their
# dependencies are fetched with apt through a configuration of this script's
# own (the system's apt sources are never changed; the archive is the one the
# system's apt uses, signed with the keys it already trusts) and unpacked with
# dpkg -x into DIR/root, laid out for trixie's merged /usr. What DIR holds:
#   root/                  the sysroot (qemu -L)
#   root/usr/bin/python3.13-qemu
#                          the interpreter through qemu: a wrapper with
#                          absolute paths beside the interpreter, which is
#                          also its sys.executable, so that a child
#                          interpreter the tests start runs emulated too
#                          (there is no binfmt_misc to do it)
#   include/python3.13/    the headers, with the ARM64 pyconfig.h, for
#                          building modules for that interpreter
#   debian-versions        the packages and versions unpacked
# qemu-user-static is installed through debian-packages.sh when missing.
set -eu

release=trixie
python=python3.13

dir=${1:?usage: arm64-python.sh DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

wrapper="$dir/root/usr/bin/$python-qemu"
if [ -f "$dir/complete" ] && "$wrapper" -c "import sys, zlib" 2>/dev/null; then
  exit 0
fi
"$here/debian-packages.sh" qemu-user-static
qemu=$(command -v qemu-aarch64-static)

echo "arm64-python.sh: unpacking $release's ARM64 $python into $dir" >&2
work="$dir/work"
rm -rf "$work" "$dir/root" "$dir/include" "$dir/complete"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/parts" "$work/debs"

uri=$(apt-get update --print-uris 2>/dev/null | sed -n "s|^'\(.*\)/dists/\([^/-]*\)/InRelease'.*|\1|p" | head -n 1)
if [ -z "$uri" ]; then
  echo "arm64-python.sh: apt's sources name no Debian archive to take $release's packages from" >&2
  exit 1
fi
echo "deb [arch=arm64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $release main" \
  >"$work/apt/sources.list"

set -- -o Dir::Etc::SourceList="$work/apt/sources.list" -o Dir::Etc::SourceParts="$work/apt/parts" \
  -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$work/apt/parts" \
  -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache" -o Dir::State::status=/dev/null \
  -o APT::Architecture=arm64 -o APT::Architectures=arm64
# As root apt downloads as its own unprivileged user, who may not write here;
# the files are checked against the signed index either way.
[ "$(id -u)" -ne 0 ] || set -- "$@" -o APT::Sandbox::User=root
apt-get -qq "$@" -o APT::Update::Error-Mode=any update

# The interpreter, its standard library and headers, and what they depend on
# (less the packaging tools, which nothing here runs).
packages=$(apt-cache "$@" depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances "$python-minimal" "lib$python-stdlib" "lib$python-dev" |
  grep -v '^ ' | grep -v '^<' | sort -u | grep -vx -e debconf -e dpkg -e 'debconf-2.0' -e perl-base)
(cd "$work/debs" && apt-get -qq "$@" download $packages)

mkdir -p "$dir/root/usr"
for deb in "$work/debs"/*.deb; do
  dpkg -x "$deb" "$dir/root"
done
# trixie's merged /usr: without these links qemu would find this machine's
# own ARM64 C library (Debian 12's) before trixie's.
for link in lib bin sbin; do
  [ -e "$dir/root/$link" ] || ln -s "usr/$link" "$dir/root/$link"
done

mkdir -p "$dir/include"
cp -r "$dir/root/usr/include/$python" "$dir/include/$python"
cp "$dir/root/usr/include/aarch64-linux-gnu/$python/pyconfig.h" "$dir/include/$python/pyconfig.h"

cat >"$wrapper" <<EOF
#!/bin/sh
# $release's ARM64 $python under qemu, with this script as its sys.executable.
exec "$qemu" -0 "\$0" -L "$dir/root" "$dir/root/usr/bin/$python" "\$@"
EOF
chmod +x "$wrapper"

for deb in "$work/debs"/*.deb; do
  dpkg-deb -W --showformat='${Package} ${Version}\n' "$deb"
done >"$dir/debian-versions"
rm -rf "$work"
"$wrapper" -c "import sys, zlib; assert sys.version_info[:2] == (3, 13), sys.version" || {
  echo "arm64-python.sh: the unpacked $python does not run under qemu" >&2
  exit 1
}
touch "$dir/complete"
