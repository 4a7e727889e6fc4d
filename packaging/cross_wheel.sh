#!/bin/sh
# cross_wheel.sh ARCH BUILD_DIR OUT_DIR [PROBE]: the manylinux2014 wheel for
# ARCH (x86_64 or aarch64), cross-built with zig through the project's CMake
# build, which stays in BUILD_DIR between runs (a rebuild compiles only what
# changed). PROBE=ON also builds the tests' probe module there, outside the
# wheel. Runs from the project root with its virtual environment first on PATH.
set -eu
arch=$1 build_dir=$2 out_dir=$3 probe=${4:-OFF}
work="$build_dir-wheel"
rm -rf "$work"
python3 -m pip --disable-pip-version-check --quiet wheel --no-build-isolation --no-deps --wheel-dir "$work" \
  -Cbuild-dir="$build_dir" -Ccmake.toolchain-file="packaging/toolchain-$arch-linux-gnu.2.17.cmake" \
  -Ccmake.define.GSC_WERROR=ON -Ccmake.define.GSC_TEST_PROBE="$probe" -Cinstall.components=module .
# scikit-build-core tags the wheel with the building machine's platform.
python3 -m wheel tags --remove --platform-tag "manylinux_2_17_$arch.manylinux2014_$arch" "$work"/*.whl >/dev/null
mkdir -p "$out_dir"
mv "$work"/*.whl "$out_dir"/
rmdir "$work"
