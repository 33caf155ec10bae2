# The two commands of README.md: `make demo` and `make test`.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
ENGINE_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DDRELIX_BUILD_TESTS=ON

.PHONY: all setup lint wheel engine engine-asan engine-test engine-test-asan install pytest test demo bench fuzz fuzz-smoke format clean

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

test: engine-test engine-test-asan wheel pytest lint

# The package's own code: ruff and mypy --strict (the stubs included).
lint: setup
	$(VENV)/bin/ruff check python
	$(VENV)/bin/mypy --strict python/drelix_binary python/_drelix_command

demo: install
	$(PY) scripts/demo.py

# A wheel for other machines: built for the stable ABI (CPython 3.9 and later), then repaired by
# auditwheel so that it carries libzstd, libxxhash and libutf8proc (manylinux_2_36: glibc 2.36
# or later, e.g. Debian 12, Ubuntu 22.10, RHEL 10), and checked by abi3audit. Lands in dist/.
WHEEL_PLAT ?= manylinux_2_36_$(shell uname -m)
wheel: setup
	rm -rf dist/raw && mkdir -p dist
	$(PY) -m pip wheel -q --no-deps --no-build-isolation -Cbuild-dir=build/dist -w dist/raw .
	rm -f dist/drelix_binary-*.whl
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) -w dist dist/raw/*.whl
	$(VENV)/bin/auditwheel show dist/drelix_binary-*.whl
	$(VENV)/bin/abi3audit --strict --assume-minimum-abi3 3.9 dist/drelix_binary-*.whl

format:
	clang-format -i core/*.h core/*.cc binding/*/*.h binding/*/*.cc tests/core/*.cc tests/core/*.h fuzz/*.cc fuzz/*.h

clean:
	rm -rf build

# Benchmarks against baselines and alternatives (bench/RESULTS.md); bench-smoke runs every
# figure at a tiny size and fails only on an error, never on a timing. Their packages stay
# out of the test requirements; a comparison whose library is missing is skipped.
.PHONY: bench-smoke bench-requirements
bench-requirements: install
	$(PY) -m pip install -q -r bench/requirements.txt

bench: bench-requirements
	$(PY) bench/run.py

bench-smoke: bench-requirements
	$(PY) bench/run.py --smoke

# Fuzzing with libFuzzer: build/fuzz holds a <name>_fuzz binary per fuzz/<name>_fuzz.cc, built by
# FUZZ_CXX (clang 16 or later; clang 19 is installed when missing), and ctest runs each for
# FUZZ_SECONDS (30 in fuzz-smoke, for CI). Both fail on any crash, leak, timeout or broken
# property, and print the executions per target.
FUZZ_SECONDS ?= 300
FUZZ_CXX ?= clang++-19
fuzz-smoke: FUZZ_SECONDS = 30
fuzz fuzz-smoke:
	@FUZZ_CXX=$(FUZZ_CXX) scripts/setup.sh fuzz
	$(CMAKE) -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DDRELIX_FUZZ=ON -DDRELIX_FUZZ_SECONDS=$(FUZZ_SECONDS)
	$(CMAKE) --build build/fuzz -j $(JOBS)
	cd build/fuzz && { ../../$(VENV)/bin/ctest --output-on-failure --test-output-truncation head \
	  -j $(JOBS); status=$$?; awk '/ Testing: /{t=$$3} /executed_units/{print t, $$2, "executions"}' \
	  Testing/Temporary/LastTest.log; exit $$status; }
