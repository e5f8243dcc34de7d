# The two entry points: `make demo` runs the quickstart, `make test` runs every test.
# Both install what is missing first, so they work on a fresh Debian 12 machine.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)

.PHONY: deps build demo test test-cpp test-python asan tsan bench clean fuzz-build fuzz crash

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The Python suite under Debian's CPython 3.11 and pyenv's CPython 3.13 (pyenv may be off PATH).
PY311 ?= /usr/bin/python3
PY313 ?= $(firstword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.13.0/bin/python3) \
                     $(wildcard $(HOME)/.pyenv/versions/3.13.0/bin/python3))

test-python: build
	@PYTHONPATH=python $(PY311) -m pytest -q tests/python
	@test -n "$(PY313)" || { echo "CPython 3.13 not found (pyenv 3.13.0)"; exit 1; }
	@PYTHONPATH=python:/usr/lib/python3/dist-packages PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 \
	  $(PY313) -m pytest -q tests/python

test: test-cpp test-python

# The quickstart: Fashion-MNIST into a collection, searches, recall@10 and queries per second.
demo: build
	@PYTHONPATH=python $(PY311) examples/quickstart.py

# The C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer.
asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_ASAN=ON \
	  -DQUARN_BUILD_BENCH=OFF -DQUARN_BUILD_PYTHON=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS) --target quarn_core_tests
	@cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The tests that run threads against each other, under ThreadSanitizer.
TSAN_TESTS ?= Concurren|Stress|Parallel|Batch
tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_TSAN=ON \
	  -DQUARN_BUILD_BENCH=OFF -DQUARN_BUILD_PYTHON=OFF >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target quarn_core_tests
	@cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 $(TSAN_SUPP)" \
	  ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)'
TSAN_SUPP = $(if $(wildcard tests/tsan.supp),suppressions=$(CURDIR)/tests/tsan.supp,)

# libFuzzer targets built with clang 14 under ASan + UBSan in their own build directory;
# their seed corpora are generated from files the library writes. `make fuzz` runs each
# target FUZZ_SECONDS (CI: 30), two at a time.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?= wal_fuzz collection_fuzz import_fuzz filter_fuzz
fuzz-build: deps
	@cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang-14 \
	  -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@rm -rf $(FUZZ_BUILD)/seeds && $(FUZZ_BUILD)/fuzz_seeds $(FUZZ_BUILD)/seeds

fuzz: fuzz-build
	@bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Kill-and-reopen at scale (not in CI): CRASH_KILLS child processes killed at random moments.
CRASH_KILLS ?= 240
crash: build
	@cd $(BUILD) && QUARN_CRASH_KILLS=$(CRASH_KILLS) tests/quarn_core_tests \
	  --gtest_filter='DbCrash.*'

bench: build
	@$(BUILD)/bench/distance_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
