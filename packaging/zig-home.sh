#!/bin/sh
# zig-home.sh LINK: the ziglang package the cross builds run zig from, kept
# in a cache outside the clone and linked at LINK (LINK/ziglang/zig is the
# program; packaging/zig/zig runs it).
#
# zig keeps what it compiles for a target the first time (its C++ runtime,
# the C library's stubs or musl, compiler-rt) in its own cache, ~/.cache/zig,
# keyed by where the zig program lies: a zig in each clone's virtual
# environment builds all of that again in every fresh clone, about a minute
# of processor time per target and build mode. One copy per version, shared
# by every clone, keeps those in the cache:
#   ${GSC_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/git_service_cython}/ziglang-VERSION
# The version is requirements-dev.txt's. The copy appears in the cache only
# once complete; a run that finds it there only makes the link.
set -eu

link=${1:?usage: zig-home.sh LINK}
here=$(cd "$(dirname "$0")" && pwd)
version=$(sed -n 's/^ziglang==//p' "$here/../requirements-dev.txt")
[ -n "$version" ] || { echo "zig-home.sh: no ziglang version in requirements-dev.txt" >&2; exit 2; }
cache=${GSC_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/git_service_cython}
home="$cache/ziglang-$version"

if [ ! -x "$home/ziglang/zig" ]; then
  mkdir -p "$cache"
  work=$(mktemp -d "$home.XXXXXX")
  python3 -m pip --disable-pip-version-check --quiet install --no-deps --target "$work" "ziglang==$version"
  # Another clone may have put its copy there first: then that one stays.
  mv -T "$work" "$home" 2>/dev/null || rm -rf "$work"
fi
mkdir -p "$(dirname "$link")"
ln -sfn "$home" "$link"
