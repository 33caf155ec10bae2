# The two commands of README.md: `make demo` and `make test`.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
ENGINE_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DDRELIX_BUILD_TESTS=ON

.PHONY: all setup engine engine-asan engine-test engine-test-asan install pytest test demo bench fuzz format clean

all: install

setup:
	@scripts/setup.sh

engine: setup
	$(CMAKE) -S . -B build/engine $(ENGINE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/engine -j $(JOBS)

engine-asan: setup
	$(CMAKE) -S . -B build/asan $(ENGINE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DDRELIX_SANITIZE=ON
	$(CMAKE) --build build/asan -j $(JOBS)

engine-test: engine
	cd build/engine && ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

engine-test-asan: engine-asan
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ../../$(VENV)/bin/ctest --output-on-failure -j $(JOBS)

install: setup
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/wheel .

pytest: install
	$(PY) -m pytest -q tests/python

test: engine-test engine-test-asan pytest

demo: install
	$(PY) scripts/demo.py

format:
	clang-format -i core/*.h core/*.cc binding/*.h binding/*.cc binding/engine/*.h binding/engine/*.cc tests/core/*.cc tests/core/*.h fuzz/*.cc fuzz/*.h

clean:
	rm -rf build

# Benchmarks against baselines and alternatives (bench/RESULTS.md); bench-smoke runs every
# figure at a tiny size and fails only on an error, never on a timing.
.PHONY: bench-smoke
bench: install
	$(PY) bench/run.py

bench-smoke: install
	$(PY) bench/run.py --smoke

# Fuzzing with libFuzzer (clang 16 or later; fuzz/build.sh finds or installs one). `make fuzz`
# runs every target for FUZZ_SECONDS each; `make fuzz-smoke` runs each for 10 seconds, for CI.
# Both fail on any crash, leak, timeout or broken property and print executions per target.
FUZZ_SECONDS ?= 60
.PHONY: fuzz-smoke

fuzz:
	fuzz/build.sh
	fuzz/run.sh $(FUZZ_SECONDS)

fuzz-smoke:
	fuzz/build.sh
	fuzz/run.sh 10
