# Entry points for a fresh machine (Debian). Run as root, or with sudo available for the system
# packages. Python work happens in a virtual environment, .venv/ in the checkout, made from the
# first python3 on PATH (or PYTHON=...); that interpreter itself is left alone.
PYTHON ?= python3
VENV ?= .venv
VPY := $(VENV)/bin/python
PIP := $(VPY) -m pip

.PHONY: system-deps fuzz-deps venv install demo test-deps test test-slow test-sanitized test-tsan fuzz \
	bench \
	wheel-test clean

# What the module and the service need to build and run.
system-deps:
	bash scripts/install-system-deps

# The fuzz targets' toolchain: clang with libFuzzer and the sanitizer runtimes.
fuzz-deps:
	bash scripts/install-system-deps base fuzz

venv: system-deps
	@$(VPY) -c '' 2>/dev/null || $(PYTHON) -m venv --clear $(VENV)

install: venv
	$(PIP) install .

# The service's dependencies too: the demo solves through it.
demo: venv
	$(PIP) install '.[service]'
	$(VPY) scripts/demo.py

# The module and what its tests need, in one build.
test-deps: venv
	$(PIP) install '.[test]'

# The long runs (a minute of not-ready polls, abuse, load, builds for other interpreters and C
# callers) sit behind the `slow` marker.
test: test-deps
	$(VPY) -m pytest tests -m "not slow"

test-slow: test-deps
	$(VPY) -m pytest tests -m slow

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitized: test-deps
	PYTHON=$(VPY) bash scripts/test-sanitized -q

# The engine's threaded paths against a build with ThreadSanitizer.
test-tsan: test-deps
	PYTHON=$(VPY) bash scripts/test-tsan

# Builds the sdist, the wheel from it, repairs the wheel (libcurl and its libraries inside), and
# runs the test suite against it in a fresh virtual environment.
wheel-test: venv
	PYTHON=$(VPY) bash scripts/wheel-test

# Each fuzz target for FUZZ_SECONDS (default 30), one after another; fails on any finding.
FUZZ_SECONDS ?= 30
fuzz: fuzz-deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run

# Times the in-process solver against its peers and writes bench/results.md and the chart
# bench/ratios.png (drawn with matplotlib, installed here).
bench: install
	$(PIP) install 'matplotlib>=3.5'
	$(VPY) bench/run.py

clean:
	rm -rf $(VENV) build build-sanitized build-fuzz build-wheel dist
