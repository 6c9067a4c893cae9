# Entry points for a fresh machine. Run as root, or with sudo available for the system packages.
PYTHON ?= python3
PIP ?= $(PYTHON) -m pip

.PHONY: system-deps install demo test-deps test test-sanitized fuzz bench

system-deps:
	bash scripts/install-system-deps

install: system-deps
	$(PIP) install .

demo: install
	$(PYTHON) scripts/demo.py

# The module and what its tests need, in one build.
test-deps: system-deps
	$(PIP) install '.[test]'

test: test-deps
	$(PYTHON) -m pytest tests

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitized: test-deps
	bash scripts/test-sanitized -q

# Each fuzz target for FUZZ_SECONDS (default 30), one after another; fails on any finding.
FUZZ_SECONDS ?= 30
fuzz: system-deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run

# Times the in-process solver against its peers and writes bench/results.md and the chart
# bench/ratios.png (drawn with matplotlib, installed here).
bench: install
	$(PIP) install 'matplotlib>=3.5'
	$(PYTHON) bench/run.py
