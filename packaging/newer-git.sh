#!/bin/sh
# newer-git.sh LINK: a git that makes reftable repositories (2.45 or later),
# for the tests only, linked at LINK (LINK/bin/git is the program).
#
# Debian 13's source package of git, fetched with apt through a configuration
# of its own (the system's apt sources are never changed), is built without
# curl, expat, gettext, OpenSSL, Perl, Python or Tcl and installed into a cache
# outside the clone, keyed by the git series:
#   ${GSC_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/git_service_cython}/git-2.47
# A run that finds it there only makes the link. The installation is
# relocatable (git finds its helpers next to its own program), and appears in
# the cache only once complete. Debian's packages the build needs are
# installed through debian-packages.sh when missing (as root).
set -eu

release=trixie
series=2.47

link=${1:?usage: newer-git.sh LINK}
here=$(cd "$(dirname "$0")" && pwd)
cache=${GSC_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/git_service_cython}
prefix="$cache/git-$series"

installed() {
  "$prefix/bin/git" --version 2>/dev/null | grep -q "^git version $series\."
}

make_link() {
  mkdir -p "$(dirname "$link")"
  ln -sfn "$prefix" "$link"
}

if installed; then
  make_link
  exit 0
fi

# One build at a time per cache (several clones may share it); a run that
# waited finds what the other one built.
mkdir -p "$cache"
exec 9>"$prefix.lock"
flock 9
if installed; then
  make_link
  exit 0
fi

echo "newer-git.sh: building $release's git $series into $prefix" >&2
"$here/debian-packages.sh" dpkg-dev gcc libc6-dev make zlib1g-dev

work="$prefix.work"
rm -rf "$work" "$prefix.partial"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/parts" "$work/source"

# The source archives of the release, from the same mirrors the system's apt
# uses for its own release (and its security archive), as apt prints them.
uris=$(apt-get update --print-uris 2>/dev/null | sed -n "s|^'\(.*\)/dists/\([^/]*\)/InRelease'.*|\1 \2|p")
main_uri=$(printf '%s\n' "$uris" | awk '$2 !~ /-/ { print $1; exit }')
security_uri=$(printf '%s\n' "$uris" | awk '$2 ~ /-security$/ { print $1; exit }')
if [ -z "$main_uri" ]; then
  echo "newer-git.sh: apt's sources name no Debian archive to take git's source from" >&2
  exit 1
fi
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
{
  echo "deb-src [signed-by=$keyring] $main_uri $release main"
  [ -z "$security_uri" ] || echo "deb-src [signed-by=$keyring] $security_uri $release-security main"
} >"$work/apt/sources.list"

set -- -o Dir::Etc::SourceList="$work/apt/sources.list" -o Dir::Etc::SourceParts="$work/apt/parts" \
  -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts="$work/apt/parts" \
  -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache"
# As root apt downloads as its own unprivileged user, who cannot write into a
# cache under root's home; the files are checked against the signed index
# either way.
[ "$(id -u)" -ne 0 ] || set -- "$@" -o APT::Sandbox::User=root
apt-get -qq "$@" -o APT::Update::Error-Mode=any update
(cd "$work/source" && apt-get -qq "$@" source --only-source git >/dev/null)

source_dir=$(find "$work/source" -mindepth 1 -maxdepth 1 -type d -name 'git-*')
version=$(cat "$source_dir/version")
case "$version" in
  "$series".*) ;;
  *)
    echo "newer-git.sh: $release's git is $version, not $series.x: update series in $0" >&2
    exit 1
    ;;
esac

# The parent make's flags and variables (BUILD=, PYTHON=, -j) are not git's.
unset MAKEFLAGS MFLAGS MAKELEVEL
make -C "$source_dir" -j"$(nproc)" >"$work/build.log" 2>&1 \
  prefix="$prefix.partial" RUNTIME_PREFIX=YesPlease CFLAGS=-O2 \
  NO_CURL=YesPlease NO_EXPAT=YesPlease NO_GETTEXT=YesPlease NO_OPENSSL=YesPlease \
  NO_PERL=YesPlease NO_PYTHON=YesPlease NO_TCLTK=YesPlease \
  SKIP_DASHED_BUILT_INS=YesPlease NO_INSTALL_HARDLINKS=YesPlease INSTALL_SYMLINKS=YesPlease \
  install || {
  tail -n 40 "$work/build.log" >&2
  echo "newer-git.sh: building git $version failed (the whole log: $work/build.log)" >&2
  exit 1
}
sed -n 's/^Version: //p' "$work/source"/*.dsc >"$prefix.partial/debian-source-version"
rm -rf "$prefix"
mv "$prefix.partial" "$prefix"
rm -rf "$work"
installed || {
  echo "newer-git.sh: the git installed in $prefix does not run" >&2
  exit 1
}
make_link
