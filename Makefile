# The two entry points: `make demo` runs the quickstart, `make test` runs every test.
# Both install what is missing first, so they work on a fresh Debian 12 machine.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)

.PHONY: deps build demo test test-cpp test-packaging test-python test-portable thread-safety \
        wheel asan tsan bench bench-plot clean fuzz-build fuzz crash follow-stress model-test

deps:
	@bash scripts/install-deps.sh

# The benchmarks are built too unless QUARN_BENCH=OFF (CI, which runs none of them).
QUARN_BENCH ?= ON
# Portable unless configured otherwise (-DQUARN_NATIVE=ON); `pip install .` and `make wheel`
# share this build directory, so they compile nothing that is built here already.
build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=ON \
	  -DQUARN_BUILD_BENCH=$(QUARN_BENCH) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Debian's CPython 3.11 and pyenv's CPython 3.13 (pyenv may be off PATH).
PY311 ?= /usr/bin/python3
PY313 ?= $(firstword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.13.0/bin/python3) \
                     $(wildcard $(HOME)/.pyenv/versions/3.13.0/bin/python3))

# The build backend's wheel, editable wheel and source archive.
test-packaging: build
	@QUARN_BUILD_DIR=$(BUILD) $(PY311) -m pytest -q -p no:cacheprovider tests/packaging

# The Python suite against `pip install .` in a fresh venv of each interpreter.
test-python: build
	@test -n "$(PY313)" || { echo "CPython 3.13 not found (pyenv 3.13.0)"; exit 1; }
	@BUILD=$(BUILD) bash scripts/test-installed.sh $(PY311) $(PY313)

# The built module on CPUs without AVX-512 (Haswell: the AVX2 kernels are chosen), emulated:
# the Python smoke run, and the C++ kernel, code, walk-query and graph tests.
# A native build (-DQUARN_NATIVE=ON) is for this machine only and skips this.
QEMU_CPU = Haswell,-pcid,-x2apic,-tsc-deadline,-hle,-invpcid,-rtm
test-portable: build
	@if grep -qs '^QUARN_NATIVE:BOOL=ON$$' $(BUILD)/CMakeCache.txt; then \
	  echo "test-portable: skipped, $(BUILD) is a native build"; else \
	  PYTHONPATH=python qemu-x86_64 -cpu $(QEMU_CPU) $(PY311) tests/portable/smoke.py && \
	  qemu-x86_64 -cpu $(QEMU_CPU) $(BUILD)/tests/quarn_core_tests --gtest_brief=1 \
	    --gtest_filter='FusedSq8KernelTest.*:WalkQueryTest.*:ScanCodesTest.*:HnswIndexTest.*Quantized*'; fi

# The core under clang's thread-safety analysis (syntax only: nothing is built or run). A
# member marked GUARDED_BY touched without its lock, a call without the locks its function
# REQUIRES, or two locks taken against the order their ACQUIRED_AFTER states fails it.
# clang 14 needs the stand-in for std::expected that the fuzz build uses.
THREAD_SAFETY_FLAGS = -std=c++2b -fsyntax-only -Wthread-safety -Wthread-safety-beta -Werror \
  -Wno-unknown-warning-option -include fuzz/expected_shim.hpp -Icore/include \
  -isystem third_party/simsimd/include -DSIMSIMD_DYNAMIC_DISPATCH=1 -DSIMSIMD_NATIVE_F16=0 \
  -DSIMSIMD_NATIVE_BF16=0 \
  $(patsubst -I%,-isystem %,$(shell pkg-config --cflags-only-I openblas))
thread-safety: deps
	@ls core/src/*.cpp core/src/*/*.cpp | xargs -P $(JOBS) -n 1 clang++-14 $(THREAD_SAFETY_FLAGS)
	@echo "thread-safety: the core passes clang's analysis"

test: test-cpp test-packaging test-python test-portable thread-safety

# A wheel for each interpreter into dist/.
wheel: build
	@QUARN_BUILD_DIR=$(BUILD) $(PY311) scripts/quarn_build.py dist
	@test -n "$(PY313)" || { echo "CPython 3.13 not found (pyenv 3.13.0)"; exit 1; }
	@QUARN_BUILD_DIR=$(BUILD) $(PY313) scripts/quarn_build.py dist

# The quickstart: Fashion-MNIST into a collection, searches, recall@10 and queries per second.
demo: build
	@PYTHONPATH=python $(PY311) examples/quickstart.py

# The sanitizer builds: -O1 with line tables only compiles in half the time of -O2 -g and
# still reports file and line for every frame.
SANITIZER_FLAGS = '-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG' \
  '-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG'

# The C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer.
asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(SANITIZER_FLAGS) -DQUARN_ASAN=ON \
	  -DQUARN_BUILD_BENCH=OFF -DQUARN_BUILD_PYTHON=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS) --target quarn_core_tests
	@cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The tests that run threads against each other, under ThreadSanitizer. The longest access
# history: on a busy machine the default one can lose the TBB worker's side of a report, which
# then escapes tests/tsan.supp (seen on HnswIndexTest.BatchEntryPointAndLayers).
TSAN_TESTS ?= Concurren|Stress|Parallel|Batch
tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(SANITIZER_FLAGS) -DQUARN_TSAN=ON \
	  -DQUARN_BUILD_BENCH=OFF -DQUARN_BUILD_PYTHON=OFF >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target quarn_core_tests
	@cd $(TSAN_BUILD) && \
	  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 history_size=7 $(TSAN_SUPP)" \
	  ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)'
TSAN_SUPP = $(if $(wildcard tests/tsan.supp),suppressions=$(CURDIR)/tests/tsan.supp,)

# libFuzzer targets built with clang 14 under ASan + UBSan in their own build directory;
# their seed corpora are generated from files the library writes. `make fuzz` runs each
# target FUZZ_SECONDS (CI: 30), two at a time, each under a 512 MB memory limit (a small
# input that makes a reader allocate more is a failure).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?= wal_fuzz collection_fuzz import_fuzz filter_fuzz text_fuzz
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

# Several processes on one collection (not in CI): a writer that mutates, saves, reopens and
# forks, killed FOLLOW_KILLS times over FOLLOW_ITERATIONS calls and started again, and three
# reader processes that must see every acknowledged change within 50 ms.
FOLLOW_ITERATIONS ?= 2000
FOLLOW_KILLS ?= 12
follow-stress: build
	@PYTHONPATH=python $(PY311) tests/stress/follow_stress.py --iterations $(FOLLOW_ITERATIONS) \
	  --kills $(FOLLOW_KILLS)

# The model-based differential test for longer than `make test` runs it (not in CI):
# MODEL_EXAMPLES random call sequences of up to MODEL_STEPS calls each, from MODEL_SEED (the
# fixed, derandomized stream when unset), on Debian's CPython against the extension that
# `make build` leaves in python/quarn/. MODEL_TOLERATE names the known faults to note rather
# than fail on (see tests/python/test_model.py).
MODEL_EXAMPLES ?= 2000
MODEL_STEPS ?= 60
model-test: build
	@cd $(BUILD) && PYTHONPATH=$(CURDIR)/python MODEL_EXAMPLES=$(MODEL_EXAMPLES) \
	  MODEL_STEPS=$(MODEL_STEPS) $(PY311) -m pytest -q -s -p no:cacheprovider \
	  $(CURDIR)/tests/python/test_model.py

bench: build
	@$(BUILD)/bench/distance_bench

# Recall@10 against queries per second on Fashion-MNIST: quarn (f32, SQ8), hnswlib's C++ and
# Python bindings and FAISS, drawn into docs/recall-qps.png. Takes several minutes; run it on
# a quiet machine.
bench-plot: build
	@cd $(BUILD) && bench/hnsw_bench --skip-exact --cache fashion-mnist-gt.bin --repeat 3 \
	  --csv recall-qps-cpp.csv
	@PYTHONPATH=python $(PY311) bench/hnsw_peers.py --skip-exact --repeat 3 --csv $(BUILD)/recall-qps-py.csv
	@$(PY311) bench/plot_recall_qps.py $(BUILD)/recall-qps-cpp.csv $(BUILD)/recall-qps-py.csv \
	  -o docs/recall-qps.png

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) dist
