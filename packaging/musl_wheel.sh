#!/bin/sh
# musl_wheel.sh ARCH BUILD_DIR OUT_DIR ZLIB_DIR: the musllinux_1_2 wheel for
# ARCH (x86_64 or aarch64), cross-built with zig through the project's CMake
# build for ARCH-linux-musl, which stays in BUILD_DIR between runs (a rebuild
# compiles only what changed), with zlib from ZLIB_DIR (packaging/target-zlib.sh).
# The same build makes store_driver (not in the wheel) for `make musl-check`.
# Runs from the project root with its virtual environment first on PATH.
set -eu
arch=$1 build_dir=$2 out_dir=$3 zlib_dir=$4
work="$build_dir-wheel"
rm -rf "$work"
python3 -m pip --disable-pip-version-check --quiet wheel --no-build-isolation --no-deps --wheel-dir "$work" \
  -Cbuild-dir="$build_dir" -Ccmake.toolchain-file="packaging/toolchain-$arch-linux-musl.cmake" \
  -Ccmake.define.GSC_ZLIB_DIR="$zlib_dir" -Ccmake.define.GSC_WERROR=ON -Ccmake.define.GSC_STORE_DRIVER=ON -Ccmake.define.CMAKE_UNITY_BUILD=ON \
  -Cinstall.components=module .
# scikit-build-core tags the wheel with the building machine's platform.
python3 -m wheel tags --remove --platform-tag "musllinux_1_2_$arch" "$work"/*.whl >/dev/null
mkdir -p "$out_dir"
mv "$work"/*.whl "$out_dir"/
rmdir "$work"
