#!/bin/sh
# target-zlib.sh ZIG_TARGET DIR: zlib's static library for a zig target that
# Debian ships no zlib for (x86_64-linux-musl, aarch64-linux-musl), as
# DIR/lib/libz.a with its headers in DIR/include. Runs from the project root
# with its virtual environment first on PATH (zig comes from its ziglang
# package).
#
# The source is Debian's own source package of zlib for this machine's
# release, fetched once with apt through a configuration of the script's own
# (the system's apt sources are never changed) into DIR/../zlib-source, and
# compiled with zig's clang for the target, position-independent (the
# library goes into a Python module too). A run that finds DIR complete does
# nothing.
set -eu

target=${1:?usage: target-zlib.sh ZIG_TARGET DIR}
out=${2:?usage: target-zlib.sh ZIG_TARGET DIR}
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$out/lib/libz.a" ] && [ -f "$out/include/zlib.h" ] && exit 0

mkdir -p "$(dirname "$out")"
source_root=$(cd "$(dirname "$out")" && pwd)/zlib-source
if [ ! -f "$source_root/done" ]; then
  rm -rf "$source_root"
  mkdir -p "$source_root/apt/lists/partial" "$source_root/apt/cache/archives/partial" "$source_root/apt/parts" \
    "$source_root/unpacked"
  # The release's source archive, from the mirror the system's apt uses for
  # that release, as apt prints it.
  uris=$(apt-get update --print-uris 2>/dev/null | sed -n "s|^'\(.*\)/dists/\([^/]*\)/InRelease'.*|\1 \2|p")
  line=$(printf '%s\n' "$uris" | awk '$2 !~ /-/ { print; exit }')
  if [ -z "$line" ]; then
    echo "target-zlib.sh: apt's sources name no Debian archive to take zlib's source from" >&2
    exit 1
  fi
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $line main" >"$source_root/apt/sources.list"
  set -- -o Dir::Etc::SourceList="$source_root/apt/sources.list" -o Dir::Etc::SourceParts="$source_root/apt/parts" \
    -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$source_root/apt/parts" \
    -o Dir::State::Lists="$source_root/apt/lists" -o Dir::Cache="$source_root/apt/cache"
  # As root apt downloads as its own unprivileged user, who cannot write
  # here; the files are checked against the signed index either way.
  [ "$(id -u)" -ne 0 ] || set -- "$@" -o APT::Sandbox::User=root
  apt-get -qq "$@" -o APT::Update::Error-Mode=any update
  (cd "$source_root/unpacked" && apt-get -qq "$@" source --only-source zlib >/dev/null)
  touch "$source_root/done"
fi
source_dir=$(find "$source_root/unpacked" -mindepth 1 -maxdepth 1 -type d -name 'zlib-*' | head -n 1)

# The library's own units (not the examples, the contributions or the tests).
rm -rf "$out.partial"
mkdir -p "$out.partial/lib" "$out.partial/include" "$out.partial/objects"
for unit in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees \
  uncompr zutil; do
  "$here/zig/zig" cc -target "$target" -O2 -fPIC -w -DHAVE_UNISTD_H -DHAVE_STDARG_H \
    -c "$source_dir/$unit.c" -o "$out.partial/objects/$unit.o"
done
"$here/zig/zig" ar rcs "$out.partial/lib/libz.a" "$out.partial/objects"/*.o
cp "$source_dir/zlib.h" "$source_dir/zconf.h" "$out.partial/include/"
rm -rf "$out.partial/objects" "$out"
mv "$out.partial" "$out"
