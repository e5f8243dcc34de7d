# The two entry points: `make demo` runs the quickstart, `make test` runs every test.
# Both install what is missing first, so they work on a fresh Debian 12 machine.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)

.PHONY: deps build test test-cpp asan tsan bench clean

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test-cpp: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test: test-cpp

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

bench: build
	@$(BUILD)/bench/distance_bench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
