# Set-up, build and checks. Every target creates .venv (with python3.12) when
# it is missing, so `make demo` and `make test` work on a fresh machine.

PYTHON ?= python3.12
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check --quiet
BUILD ?= build
REPO ?= .

.PHONY: all demo test lint typecheck sanitize sanitize-build huge-corpus huge-check huge-check-sanitize bench install dist wheel-check test-3.13 fuzz libfuzzer clean \
  debian-packages arm64-check portability-check newer-git windows-check dist-musl musl-check \
  arm64-module-check arm64-module-ci zig-home

all: install

$(VENV)/.ready: requirements-dev.txt requirements-test.txt
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -r requirements-dev.txt
	touch $@

# The build directory is kept between runs, so a rebuild after a C++ change
# compiles only what changed.
install: $(VENV)/.ready
	$(PIP) install --no-build-isolation \
	  -Cbuild-dir=$(BUILD)/release -Ccmake.define.GSC_WERROR=ON -Ccmake.define.GSC_TEST_PROBE=ON .

demo: install
	$(PY) demo/demo.py $(REPO)

# The suite runs on every core (pytest-xdist), a test file to a worker.
PYTEST_WORKERS ?= auto
PYTEST_PARALLEL := -n $(PYTEST_WORKERS) --dist loadfile

test: install lint typecheck newer-git zig-home
	$(NEWER_GIT_ENV) $(PY) -m pytest $(PYTEST_PARALLEL)

# Formatting of the C++ sources and lint of the Python files.
lint: $(VENV)/.ready
	$(VENV)/bin/clang-format --dry-run -Werror src/*/*.cpp src/*/*.h tests/probe/*.cpp tests/fuzz/*.cpp tests/arm64/*.cpp \
	  packaging/macos/*.cpp
	$(VENV)/bin/ruff check .

# The type stubs against the built module, and a typed host sample under --strict.
typecheck: install
	$(PY) -m mypy.stubtest git_service_cython --allowlist stubs/stubtest-allowlist.txt
	$(PY) -m mypy --strict tests/typing/sample_usage.py

# Python 3.13: its own virtual environment and build directory.
test-3.13:
	$(MAKE) test PYTHON=python3.13 VENV=.venv-3.13 BUILD=build/py3.13

# Every public method against its floor (SCALE=quick by default, or full). A
# full-scale run also rewrites the README's performance table from its JSON;
# a quick run never touches it.
SCALE ?= quick
bench: install
	$(PY) bench/run.py --scale $(SCALE) --json $(BUILD)/bench-$(SCALE).json $(if $(filter full huge,$(SCALE)),--readme README.md)

# A git that makes reftable repositories (2.45 or later), for the tests that
# need one: Debian 13's source package of git, fetched through an apt
# configuration of the script's own and built without curl, expat, gettext,
# OpenSSL, Perl, Python or Tcl (one and a half to three minutes on two cores),
# is kept in a cache outside the clone (~/.cache/git_service_cython/git-2.47,
# which `make clean` leaves) and linked at $(NEWER_GIT); a run that finds it in
# the cache only makes the link.
# The test runs name it to the tests in GSC_NEWER_GIT (see tests/newer_git.py).
NEWER_GIT := $(BUILD)/newer-git
NEWER_GIT_ENV := GSC_NEWER_GIT="$(abspath $(NEWER_GIT))/bin/git"
newer-git:
	packaging/newer-git.sh $(NEWER_GIT)

# zig for the cross builds: a copy of the ziglang package kept in a cache
# outside the clone and linked at build/zig-home (always there: the compiler
# wrappers in packaging/zig/ look for it), so that zig's own cache of what it
# built for each target serves every clone (see packaging/zig-home.sh).
zig-home: $(VENV)/.ready
	$(VENV_ON_PATH) packaging/zig-home.sh build/zig-home

# Debian's packages for the cross builds and the emulated ARM64 check (zlib's
# static library for each target, qemu); installs only what is missing.
debian-packages:
	packaging/debian-packages.sh

# An sdist and the wheels under dist/, for CPython 3.12 and 3.13 each:
# manylinux2014 for x86-64 and ARM64, and macOS 11.0 or later on ARM64 and
# 10.15 or later on x86-64, and the musllinux ones (dist-musl), all
# cross-built with zig through the CMake build
# (see packaging/cross_wheel.sh and the toolchain files). Each wheel's build
# directory stays under $(CROSS_DIR) between runs. A wheel for 3.13 is built
# by the Python 3.13 virtual environment ($(VENV_3_13), the one test-3.13
# uses), with its headers, except the ARM64 Linux one, which takes the
# headers of the ARM64 CPython 3.13 it is run with (`make arm64-module-check`,
# unpacked into $(ARM64_PYTHON) by packaging/arm64-python.sh). The x86-64
# builds and the ARM64 3.13 one also build the tests' probe module, outside
# the wheel. zig, auditwheel and the rest run from the virtual environments.
# The macOS wheels are built against Linux's CPython headers, there being no
# macOS ones here: they prove the sources and the link; a release's macOS
# wheels come from a macOS runner (the cibuildwheel section of pyproject.toml).
CROSS_DIR := $(BUILD)/cross
VENV_ON_PATH := PATH="$(abspath $(VENV))/bin:$$PATH"
VENV_3_13 := .venv-3.13
ARM64_PYTHON := $(CROSS_DIR)/arm64-python3.13
ARM64_INCLUDE := $(abspath $(ARM64_PYTHON))/include/python3.13
# $(call cross_wheel,VENV,PYTAG,TARGET,OUT_DIR,PROBE[,INCLUDE]): one wheel, built by VENV's Python.
cross_wheel = PATH="$(abspath $(1))/bin:$$PATH" packaging/cross_wheel.sh $(3) $(CROSS_DIR)/$(2)-$(3) $(4) $(5) $(6)

dist: $(VENV)/.ready debian-packages zig-home
	$(MAKE) --no-print-directory VENV=$(VENV_3_13) PYTHON=python3.13 $(VENV_3_13)/.ready
	packaging/arm64-python.sh $(ARM64_PYTHON)
	rm -rf dist
	$(PY) -m build --sdist --outdir dist
	$(call cross_wheel,$(VENV),cp312,x86_64-linux-gnu.2.17,dist,ON)
	$(call cross_wheel,$(VENV),cp312,aarch64-linux-gnu.2.17,dist,OFF)
	$(call cross_wheel,$(VENV),cp312,aarch64-macos.11.0,dist,OFF)
	$(call cross_wheel,$(VENV),cp312,x86_64-macos.10.15,dist,OFF)
	$(call cross_wheel,$(VENV_3_13),cp313,x86_64-linux-gnu.2.17,dist,ON)
	$(call cross_wheel,$(VENV_3_13),cp313,aarch64-linux-gnu.2.17,dist,ON,$(ARM64_INCLUDE))
	$(call cross_wheel,$(VENV_3_13),cp313,aarch64-macos.11.0,dist,OFF)
	$(call cross_wheel,$(VENV_3_13),cp313,x86_64-macos.10.15,dist,OFF)
	$(MAKE) --no-print-directory dist-musl

# Every wheel's tags and module: for Linux (glibc and musl) its machine type,
# needed libraries and symbol versions (auditwheel, readelf), for macOS its Mach-O (macholib:
# architecture, minimum macOS, loaded libraries, imports and exports). Then,
# for Python 3.12 and 3.13 each, the x86-64 wheel installed into a fresh
# virtual environment, where the whole test suite runs against it (with the
# probe module from the same cross build beside it, and the suite refusing a
# module from anywhere else), and on 3.13 the type stubs the wheel ships
# checked against its module (stubtest) and the typed sample under --strict;
# last, a wheel built from the sdist.
CHECK_DIR := $(BUILD)/wheel-check
MYPY := $(shell grep '^mypy==' requirements-dev.txt)
# $(call wheel_suite,PYTHON,PYTAG): the suite against that Python's installed x86-64 wheel.
define wheel_suite
	$(1) -m venv $(CHECK_DIR)/$(2)
	$(CHECK_DIR)/$(2)/bin/python -m pip --disable-pip-version-check --quiet install \
	  dist/*-$(2)-$(2)-*manylinux_2_17_x86_64*.whl -r requirements-test.txt
	cp $(CROSS_DIR)/$(2)-x86_64-linux-gnu.2.17/_git_store_probe.*.so \
	  $$($(CHECK_DIR)/$(2)/bin/python -c "import sysconfig; print(sysconfig.get_path('platlib'))")
	cd $(CHECK_DIR) && $(NEWER_GIT_ENV) GSC_MODULES_FROM="$(abspath $(CHECK_DIR))/$(2)" $(2)/bin/python -m pytest $(PYTEST_PARALLEL) \
	  -p no:cacheprovider --rootdir "$(CURDIR)" -c "$(CURDIR)/pyproject.toml" "$(CURDIR)/tests"
endef

wheel-check: dist newer-git
	rm -rf $(CHECK_DIR)
	$(VENV_ON_PATH) $(PY) packaging/check_wheels.py dist/*manylinux*.whl dist/*musllinux*.whl dist/*macosx*.whl
	$(call wheel_suite,$(PYTHON),cp312)
	$(call wheel_suite,python3.13,cp313)
	$(CHECK_DIR)/cp313/bin/python -m pip --disable-pip-version-check --quiet install $(MYPY)
	cd $(CHECK_DIR) && cp313/bin/python -m mypy.stubtest git_service_cython --allowlist "$(CURDIR)/stubs/stubtest-allowlist.txt"
	cd $(CHECK_DIR) && cp313/bin/python -m mypy --strict "$(CURDIR)/tests/typing/sample_usage.py"
	$(CHECK_DIR)/cp312/bin/python -m pip --disable-pip-version-check --quiet wheel --no-deps \
	  -Ccmake.define.CMAKE_UNITY_BUILD=ON --wheel-dir $(CHECK_DIR)/from-sdist dist/*.tar.gz
	ls $(CHECK_DIR)/from-sdist/*.whl

# The module on ARM64: the ARM64 CPython 3.13 wheel (the same build as
# dist's, brought up to date) installed into a virtual environment of
# Debian 13's ARM64 CPython 3.13, which runs under qemu's user-mode emulation
# (see packaging/arm64-python.sh), with the test requirements' ARM64 wheels
# (pip installs them for that interpreter into its environment) and the probe
# module from the same cross build, and the test suite run there: the whole
# of it by default, ARM64_TESTS to choose files. git runs natively. The whole
# suite took 1 h 40 min with two workers on two busy cores (73 minutes of
# processor time; a file takes 6 to 90 times as long as natively), so CI
# takes the part below (arm64-module-ci). Compiled
# bytecode is kept under $(ARM64_CHECK_DIR) between runs. GSC_SLOWDOWN tells
# the tests how much slower than native the run is, for the allowances they
# give their own measurements (never the module's time limits), and the
# property suites take a tenth of their examples (HYPOTHESIS_PROFILE=emulated).
ARM64_CHECK_DIR := $(CROSS_DIR)/arm64-module-check
ARM64_VENV := $(ARM64_CHECK_DIR)/venv
ARM64_TESTS ?= tests
ARM64_ENV := PYTHONPYCACHEPREFIX="$(abspath $(ARM64_CHECK_DIR))/pycache" GSC_SLOWDOWN=10 HYPOTHESIS_PROFILE=emulated
arm64-module-check: $(VENV)/.ready debian-packages newer-git zig-home
	$(MAKE) --no-print-directory VENV=$(VENV_3_13) PYTHON=python3.13 $(VENV_3_13)/.ready
	packaging/arm64-python.sh $(ARM64_PYTHON)
	rm -rf $(ARM64_CHECK_DIR)/wheel $(ARM64_VENV)
	$(call cross_wheel,$(VENV_3_13),cp313,aarch64-linux-gnu.2.17,$(ARM64_CHECK_DIR)/wheel,ON,$(ARM64_INCLUDE))
	$(ARM64_ENV) $(ARM64_PYTHON)/root/usr/bin/python3.13-qemu -m venv --without-pip $(ARM64_VENV)
	$(PIP) install --target $(ARM64_VENV)/lib/python3.13/site-packages --only-binary=:all: \
	  --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 --python-version 3.13 \
	  --implementation cp --abi cp313 $(ARM64_CHECK_DIR)/wheel/*.whl -r requirements-test.txt
	cp $(CROSS_DIR)/cp313-aarch64-linux-gnu.2.17/_git_store_probe.*.so $(ARM64_VENV)/lib/python3.13/site-packages/
	cd $(ARM64_CHECK_DIR) && $(ARM64_ENV) $(NEWER_GIT_ENV) GSC_MODULES_FROM="$(abspath $(ARM64_VENV))" \
	  venv/bin/python -m pytest $(PYTEST_PARALLEL) -p no:cacheprovider --rootdir "$(CURDIR)" -c "$(CURDIR)/pyproject.toml" \
	  $(addprefix "$(CURDIR)"/,$(ARM64_TESTS))

# The part of the ARM64 suite that every CI run takes (about 8
# minutes on two cores): every pane on both its roads, the native object store and
# dulwich, compared (test_native_road.py), and the object store read through
# the probe module (test_store.py).
ARM64_CI_TESTS := tests/test_native_road.py tests/test_store.py
arm64-module-ci:
	$(MAKE) --no-print-directory arm64-module-check ARM64_TESTS="$(ARM64_CI_TESTS)"

# The object store on ARM64: store_driver (the store without CPython, built
# for aarch64-linux-gnu.2.17 with the same cross compiler) runs under qemu's
# user-mode emulation, with Debian's ARM64 C library, on repositories generated
# here, and every answer is compared with git's on this machine.
ARM64_DIR := $(CROSS_DIR)/aarch64-driver
arm64-check: $(VENV)/.ready debian-packages zig-home
	$(VENV_ON_PATH) cmake -S . -B $(ARM64_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/packaging/toolchain-aarch64-linux-gnu.2.17.cmake \
	  -DGSC_WERROR=ON -DGSC_STORE_DRIVER=ON -DCMAKE_UNITY_BUILD=ON -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV_ON_PATH) cmake --build $(ARM64_DIR) --target store_driver
	$(PY) tests/arm64/check_store.py qemu-aarch64-static $(ARM64_DIR)/store_driver

# The musllinux_1_2 wheels for x86-64 and ARM64 under dist/, beside what
# `make dist` puts there (only these are replaced), cross-built with zig for
# x86_64-linux-musl and aarch64-linux-musl through the CMake build, with zlib
# built for each target from Debian's source package of it
# (packaging/target-zlib.sh). Each target keeps its build directory under
# $(CROSS_DIR) between runs; it also builds store_driver (not in the wheel),
# linked statically with musl, for musl-check.
MUSL_ARCHES := x86_64 aarch64
dist-musl: $(VENV)/.ready zig-home
	mkdir -p dist
	rm -f dist/*musllinux*.whl
	for arch in $(MUSL_ARCHES); do \
	  $(VENV_ON_PATH) packaging/target-zlib.sh $$arch-linux-musl $(abspath $(CROSS_DIR))/zlib-$$arch-linux-musl && \
	  $(VENV_ON_PATH) packaging/musl_wheel.sh $$arch $(CROSS_DIR)/musl-$$arch dist \
	    $(abspath $(CROSS_DIR))/zlib-$$arch-linux-musl || exit 1; \
	done

# The object store as built for the musllinux wheels (whose tags and modules
# wheel-check checks): store_driver, static with musl, runs here natively
# (x86-64) and under qemu's user-mode emulation (ARM64) on the generated
# repositories and the file tree, every answer compared with git's and this
# machine's. The modules themselves are not run: there is no musl CPython here.
musl-check: dist-musl
	packaging/debian-packages.sh qemu-user-static
	$(PY) tests/arm64/check_store.py native $(CROSS_DIR)/musl-x86_64/store_driver
	$(PY) tests/arm64/check_store.py qemu-aarch64-static $(CROSS_DIR)/musl-aarch64/store_driver

# The object store's and the file layer's units compile for Windows on x86-64
# and ARM64 (zig's clang with the MinGW-w64 headers it ships and Debian's
# MinGW-w64 zlib headers); there are no CPython headers for Windows here, so
# the rest of the module is left out. (packaging/portability_check.py takes
# macOS targets too, where it compiles every unit; `make dist` compiles and
# links the whole module for both macOS architectures.)
portability-check: $(VENV)/.ready zig-home
	packaging/debian-packages.sh libz-mingw-w64-dev
	$(VENV_ON_PATH) $(PY) packaging/portability_check.py x86_64-windows-gnu aarch64-windows-gnu

# The object store on Windows: store_driver (the store without CPython, built
# for x86_64-windows-gnu with zig, zlib linked statically from Debian's
# MinGW-w64 build of it) runs under Wine, in a prefix of its own beside it, on
# the same generated repositories as arm64-check, and on a tree of files for
# the file layer, every answer compared with git's and this machine's.
WINDOWS_DIR := $(CROSS_DIR)/windows-driver
windows-check: $(VENV)/.ready zig-home
	packaging/debian-packages.sh libz-mingw-w64-dev wine64 wine
	$(VENV_ON_PATH) cmake -S . -B $(WINDOWS_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/packaging/toolchain-x86_64-windows-gnu.cmake \
	  -DGSC_WERROR=ON -DGSC_MODULE=OFF -DGSC_STORE_DRIVER=ON -DCMAKE_UNITY_BUILD=ON
	$(VENV_ON_PATH) cmake --build $(WINDOWS_DIR) --target store_driver
	$(PY) tests/arm64/check_store.py wine $(WINDOWS_DIR)/store_driver.exe

# The same suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (a debug build, assertions on, optimised as the
# sanitizers advise, -O1). The interpreter itself is not instrumented, so
# the sanitizer runtime is preloaded (with the C++ runtime after it, so that
# its exception interceptors find what they wrap) and leak detection (which would report
# the interpreter's own allocations) is off; any sanitizer error aborts the run.
# Output is captured at the host level only, so a sanitizer report reaches the
# terminal before the abort. git (the one on PATH and the newer one) runs
# through a wrapper that drops the preloaded runtime: git is not what is
# checked, and under ASan's allocator its reading of an index it misreads
# (a repository whose config names the wrong object format, which some tests
# make) changed from one run to the next.
SANITIZE_DIR := $(BUILD)/sanitize
SANITIZE_GIT := $(abspath $(SANITIZE_DIR))/git
SANITIZE_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SANITIZE_DIR))
# $(call unpreloaded,DIR,PROGRAMS): DIR/<name> runs each program without the
# preloaded runtime (for the newer git, every program of its bin directory,
# which git's own runs find first on PATH, as they find the real ones).
define unpreloaded
	mkdir -p $(1)
	for program in $(2); do \
	  wrapper=$(1)/$$(basename "$$program"); \
	  printf '#!/bin/sh\nunset LD_PRELOAD\nexec "%s" "$$@"\n' "$$program" > "$$wrapper" && chmod +x "$$wrapper" || exit 1; \
	done
endef

sanitize: sanitize-build
	PATH="$(SANITIZE_GIT)/bin:$$PATH" GSC_NEWER_GIT="$(SANITIZE_GIT)/newer-bin/git" $(SANITIZE_ENV) \
	  $(PY) -m pytest $(PYTEST_PARALLEL) -p no:cacheprovider --capture=sys

sanitize-build: $(VENV)/.ready newer-git
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
	  -DGSC_SANITIZE=ON -DGSC_WERROR=ON -DGSC_TEST_PROBE=ON -DCMAKE_UNITY_BUILD=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	cmake --build $(SANITIZE_DIR)
	$(call unpreloaded,$(SANITIZE_GIT)/bin,$$(command -v git))
	$(call unpreloaded,$(SANITIZE_GIT)/newer-bin,$(abspath $(NEWER_GIT))/bin/*)
	$(SANITIZE_ENV) $(PY) -c "import git_service_cython as m, sys; \
	  sys.exit(0 if m.__file__.startswith('$(abspath $(SANITIZE_DIR))') else 'not the sanitizer build: ' + m.__file__)"

# The benchmark's huge corpus (a million commits, 200,000 refs, 100,000 files,
# and the same at a tenth and a hundredth): built once outside the clone, in
# about three minutes (1.5 GB), then reused. huge-check runs a sample of calls
# on its largest size against dulwich and git (under a minute), and
# huge-check-sanitize the same sample under the sanitizer build.
HUGE_CORPUS ?= $${TMPDIR:-/tmp}/git_service_cython-bench/huge/1m
huge-corpus: $(VENV)/.ready
	$(PY) bench/corpus.py --scale huge

huge-check: install huge-corpus
	GSC_HUGE_CORPUS="$(HUGE_CORPUS)" $(PY) -m pytest -p no:cacheprovider tests/test_huge_corpus.py

huge-check-sanitize: sanitize-build huge-corpus
	PATH="$(SANITIZE_GIT)/bin:$$PATH" GSC_HUGE_CORPUS="$(HUGE_CORPUS)" $(SANITIZE_ENV) \
	  $(PY) -m pytest -p no:cacheprovider --capture=sys tests/test_huge_corpus.py

clean:
	rm -rf $(BUILD) dist

# A long fuzzing run (Hypothesis's "fuzz" profile: 2,000 examples per property
# instead of 150) and the time-limit tests too slow for every run (the tag
# listing waits two minutes for git before it falls back). About eight minutes
# on two cores.
fuzz: install
	HYPOTHESIS_PROFILE=fuzz $(PY) -m pytest tests/test_fuzz.py tests/test_store_fuzz.py tests/test_limits.py

# libFuzzer over the object store's parsers, for FUZZ_SECONDS (60 by default).
# Needs clang and its runtime (Debian: apt-get install clang libclang-rt-14-dev);
# the corpus stays under $(BUILD)/libfuzzer between runs.
FUZZ_SECONDS ?= 60
LIBFUZZER_DIR := $(BUILD)/libfuzzer
libfuzzer:
	mkdir -p $(LIBFUZZER_DIR)/corpus
	clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -msse4.1 -msha -Isrc \
	  src/store/*.cpp src/platform/files_posix.cpp tests/fuzz/store_fuzzer.cpp -lz -o $(LIBFUZZER_DIR)/store_fuzzer
	$(LIBFUZZER_DIR)/store_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=4096 $(LIBFUZZER_DIR)/corpus
