# Set-up, build and checks. Every target creates .venv (with python3.12) when
# it is missing, so `make demo` and `make test` work on a fresh machine.

PYTHON ?= python3.12
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check --quiet
BUILD ?= build
REPO ?= .

.PHONY: all demo test sanitize install clean

all: install

$(VENV)/.ready: requirements-dev.txt
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -r requirements-dev.txt
	touch $@

# The build directory is kept between runs, so a rebuild after a C++ change
# compiles only what changed.
install: $(VENV)/.ready
	$(PIP) install --no-build-isolation \
	  -Cbuild-dir=$(BUILD)/release -Ccmake.define.GSC_WERROR=ON .

demo: install
	$(PY) demo/demo.py $(REPO)

test: install
	$(PY) -m pytest

# The same suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter itself is not instrumented, so
# the sanitizer runtime is preloaded (with the C++ runtime after it, so that
# its exception interceptors find what they wrap) and leak detection (which would report
# the interpreter's own allocations) is off; any sanitizer error aborts the run.
# Output is captured at the host level only, so a sanitizer report reaches the
# terminal before the abort.
SANITIZE_DIR := $(BUILD)/sanitize
SANITIZE_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SANITIZE_DIR))

sanitize: $(VENV)/.ready
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DGSC_SANITIZE=ON -DGSC_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	cmake --build $(SANITIZE_DIR)
	$(SANITIZE_ENV) $(PY) -c "import git_service_cython as m, sys; \
	  sys.exit(0 if m.__file__.startswith('$(abspath $(SANITIZE_DIR))') else 'not the sanitizer build: ' + m.__file__)"
	$(SANITIZE_ENV) $(PY) -m pytest -p no:cacheprovider --capture=sys

clean:
	rm -rf $(BUILD) dist
