# Quick start: `make demo` and `make test` set up whatever is missing (a virtual environment,
# the package built from source, the test dependencies, GoogleTest) and then run.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.deps-installed
JOBS ?= 2

export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

# CMake and Ninja come from the venv, whatever else the machine has on its PATH.
CMAKE_CONFIGURE = $(VENV)/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)

ASAN_LIB = $(shell $(CXX) -print-file-name=libasan.so)
SANITIZE_ENV = ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 LD_PRELOAD=$(ASAN_LIB)

# The package's dependencies and its test dependencies (the `test` extra), as pyproject.toml
# lists them.
define TEST_EXTRA
import tomllib
with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)["project"]
print("\n".join(project["dependencies"] + project["optional-dependencies"]["test"]))
endef
export TEST_EXTRA

.PHONY: all demo test test-core test-python typecheck sanitize install gtest eccodes-data bench lint format clean fuzz fuzz-ci fuzz-build clang coverage

all: install

$(STAMP): pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja ruff
	$(PY) -c "$$TEST_EXTRA" | xargs -d '\n' $(PY) -m pip install -q
	touch $@

# Builds the extension module with scikit-build-core, for the interpreter of the venv.
install: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps .

# GoogleTest comes from Debian's libgtest-dev.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
		echo "installing GoogleTest (libgtest-dev)"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	fi

# Real ecCodes definition trees (element.table, sequence.def, codetables) for the table tests
# and the benchmark come from Debian's libeccodes-data.
ECCODES_DEFINITIONS := /usr/share/eccodes/definitions
eccodes-data:
	@if [ ! -d $(ECCODES_DEFINITIONS)/bufr/tables ]; then \
		echo "installing ecCodes definitions (libeccodes-data)"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libeccodes-data >/dev/null; \
	fi

test: install gtest eccodes-data
	$(MAKE) test-core test-python typecheck

test-core: $(STAMP) gtest
	$(CMAKE_CONFIGURE) -S . -B build/core -DSKARVEL_MODULE=OFF -DSKARVEL_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build build/core
	cd build/core && ../../$(VENV)/bin/ctest --output-on-failure -j$(JOBS)

test-python: $(STAMP)
	$(PY) -m pytest -q tests

# The package type-checks strictly, and _skarvel's stubs agree with the installed module.
typecheck: $(STAMP)
	$(PY) -m mypy --strict python/skarvel
	cd python && ../$(PY) -m mypy.stubtest _skarvel

# The core and the module built with AddressSanitizer and UndefinedBehaviorSanitizer; the
# whole test suite runs against them.
sanitize: $(STAMP) gtest eccodes-data
	$(CMAKE_CONFIGURE) -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DSKARVEL_SANITIZE=ON -DSKARVEL_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build build/sanitize
	cd build/sanitize && ../../$(VENV)/bin/ctest --output-on-failure -j$(JOBS)
	# The package's Python files and data join its engine module, built in build/sanitize/skarvel.
	cp -r python/skarvel/. build/sanitize/skarvel/
	$(SANITIZE_ENV) SKARVEL_EXPECT_MODULE_DIR=$(abspath build/sanitize) \
		PYTHONPATH=$(abspath build/sanitize) $(PY) -m pytest -q tests

demo: install
	$(PY) examples/demo.py

# Timings of the hot paths next to their floors; a script, not a test.
bench: install eccodes-data
	$(CMAKE_CONFIGURE) -S . -B build/bench -DSKARVEL_MODULE=OFF -DSKARVEL_BENCH=ON >/dev/null
	$(VENV)/bin/cmake --build build/bench --target table_load_bench decode_bench
	$(PY) bench/python/bench.py --table-load-bench build/bench/table_load_bench \
		--decode-bench build/bench/decode_bench
	$(PY) bench/python/bench_frames.py
	$(PY) bench/python/bench_per_value.py --work build/bench/per_value \
		--decode-bench build/bench/decode_bench
	$(PY) bench/python/bench_convert.py --work build/bench
	cd bench/python && ../../$(PY) bench_scale.py --work ../../build/bench/scale

# The share of the core's lines the whole suite must run.
COVERAGE_LINES ?= 95

# Line and branch coverage of the core from the whole suite: the C++ unit tests and the Python
# tests, run against modules built with gcov instrumentation (as the sanitizer run does).
coverage: $(STAMP) gtest eccodes-data
	$(PY) -m pip install -q "gcovr>=7"
	$(CMAKE_CONFIGURE) -S . -B build/coverage -DCMAKE_BUILD_TYPE=Debug -DSKARVEL_COVERAGE=ON \
		-DSKARVEL_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build build/coverage
	find build/coverage -name '*.gcda' -delete
	cd build/coverage && ../../$(VENV)/bin/ctest -j$(JOBS) >/dev/null
	cp -r python/skarvel/. build/coverage/skarvel/
	SKARVEL_EXPECT_MODULE_DIR=$(abspath build/coverage) PYTHONPATH=$(abspath build/coverage) \
		$(PY) -m pytest -q -p no:cacheprovider tests >/dev/null
	mkdir -p build/coverage/html
	$(VENV)/bin/gcovr -r . --object-directory build/coverage --filter src/core/ \
		--html-details build/coverage/html/index.html --print-summary \
		--fail-under-line $(COVERAGE_LINES) > build/coverage/summary.txt; \
		status=$$?; grep -E "^(lines|branches):" build/coverage/summary.txt; exit $$status

# Coverage-guided fuzzing of the core with libFuzzer, from Debian's clang and its runtime.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := framing decode tables key_levels rows
FUZZ_RUNTIME := /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a
FUZZ_OPTIONS := -timeout=2 -rss_limit_mb=2048 -max_len=200000 -artifact_prefix=build/fuzz/

clang:
	@if ! command -v clang++ >/dev/null || [ ! -f $(FUZZ_RUNTIME) ]; then \
		echo "installing clang and its runtime (clang, libclang-rt-14-dev)"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; \
	fi

fuzz-build: clang $(STAMP)
	CXX=clang++ $(CMAKE_CONFIGURE) -S . -B build/fuzz -DSKARVEL_MODULE=OFF -DSKARVEL_FUZZ=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	$(VENV)/bin/cmake --build build/fuzz
	rm -rf build/fuzz/seeds && $(PY) tools/fuzz_seeds.py build/fuzz/seeds

# Every target for FUZZ_SECONDS, growing its corpus in build/fuzz/corpus; a crash, leak,
# timeout (2 s) or memory blow-up (2 GB) fails the run and leaves the reproducer in build/fuzz.
fuzz: fuzz-build
	for target in $(FUZZ_TARGETS); do \
		mkdir -p build/fuzz/corpus/$$target build/fuzz/seeds/$$target; \
		build/fuzz/fuzz_$$target $(FUZZ_OPTIONS) -max_total_time=$(FUZZ_SECONDS) \
			build/fuzz/corpus/$$target build/fuzz/seeds/$$target tests/fuzz/regressions/$$target \
			|| exit 1; \
	done

# What CI runs: every regression input and seed once, then a short run with a fixed seed, so
# that the outcome is the same on every run.
fuzz-ci: fuzz-build
	for target in $(FUZZ_TARGETS); do \
		mkdir -p build/fuzz/seeds/$$target; \
		build/fuzz/fuzz_$$target $(FUZZ_OPTIONS) -runs=0 \
			tests/fuzz/regressions/$$target build/fuzz/seeds/$$target || exit 1; \
		rm -rf build/fuzz/ci/$$target && mkdir -p build/fuzz/ci && \
			cp -r tests/fuzz/regressions/$$target build/fuzz/ci/$$target; \
		build/fuzz/fuzz_$$target $(FUZZ_OPTIONS) -seed=1 -runs=5000 build/fuzz/ci/$$target \
			|| exit 1; \
	done

lint: $(STAMP)
	$(VENV)/bin/ruff check tests examples bench python tools
	$(VENV)/bin/ruff format --check tests examples bench python tools

format: $(STAMP)
	$(VENV)/bin/ruff format tests examples bench python tools
	clang-format -i src/*/*/*.cpp src/*/*/*.hpp tests/core/*.cpp bench/cpp/*.cpp

clean:
	rm -rf build $(VENV)
