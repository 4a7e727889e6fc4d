#!/bin/sh
# cross_wheel.sh TARGET BUILD_DIR OUT_DIR [PROBE [PYTHON_INCLUDE_DIR]]: the
# wheel for TARGET, cross-built with zig through the project's CMake build,
# which stays in BUILD_DIR between runs (a rebuild compiles only what changed).
# TARGET names a toolchain file, packaging/toolchain-TARGET.cmake:
#   x86_64-linux-gnu.2.17, aarch64-linux-gnu.2.17   manylinux2014
#   aarch64-macos.11.0, x86_64-macos.10.15          macOS, from that version on
# The wheel is for the Python that runs this script (the first python3 on
# PATH, a virtual environment of the project's with the build tools), and the
# module is compiled with that Python's headers, or with those in
# PYTHON_INCLUDE_DIR (the target interpreter's own, where this machine has
# them). PROBE=ON also builds the tests' probe module in BUILD_DIR, outside
# the wheel. The build is a unity build (CMake joins the units eight to a
# file), which takes half the time of one unit at a time from scratch; it is
# why names private to a unit differ between units. Runs from the project root.
set -eu
target=$1 build_dir=$2 out_dir=$3 probe=${4:-OFF} include_dir=${5:-}

# The wheel's platform tag: the oldest system the build runs on, as the
# toolchain sets it (the macOS version is the one the link records in the
# module's LC_BUILD_VERSION, which packaging/check_wheels.py checks).
case $target in
  x86_64-linux-gnu.2.17 | aarch64-linux-gnu.2.17)
    arch=${target%%-*}
    platform_tag="manylinux_2_17_$arch.manylinux2014_$arch"
    ;;
  aarch64-macos.*) platform_tag="macosx_$(echo "${target#*-macos.}" | tr . _)_arm64" ;;
  x86_64-macos.*) platform_tag="macosx_$(echo "${target#*-macos.}" | tr . _)_x86_64" ;;
  *)
    echo "cross_wheel.sh: no toolchain for $target" >&2
    exit 2
    ;;
esac
set -- -Ccmake.define.GSC_WERROR=ON -Ccmake.define.CMAKE_UNITY_BUILD=ON -Ccmake.define.GSC_TEST_PROBE="$probe"
[ -z "$include_dir" ] || set -- "$@" -Ccmake.define.Python_INCLUDE_DIR="$include_dir"

work="$build_dir-wheel"
rm -rf "$work"
python3 -m pip --disable-pip-version-check --quiet wheel --no-build-isolation --no-deps --wheel-dir "$work" \
  -Cbuild-dir="$build_dir" -Ccmake.toolchain-file="packaging/toolchain-$target.cmake" \
  -Cinstall.components=module "$@" .
# scikit-build-core tags the wheel with the building machine's platform.
python3 -m wheel tags --remove --platform-tag "$platform_tag" "$work"/*.whl >/dev/null
mkdir -p "$out_dir"
mv "$work"/*.whl "$out_dir"/
rmdir "$work"
