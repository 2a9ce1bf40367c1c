# Thin wrapper over CMake; see README.md.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# Sanitizer builds live in their own folders.
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
# The fuzz targets need clang and its libFuzzer runtime.
FUZZ_DIR ?= build-fuzz
FUZZ_PACKAGES = clang libclang-rt-14-dev
FUZZ_SECONDS ?= 60
# The threaded tests (ctest names): logger, worker threads and LEDs, polling
# cycle, connectors, simulators, drivers over ptys, storage and configuration
# with their helper threads, the whole daemon.
TSAN_TESTS = ^(LoggerTest|Threads|Led|PollingCycle|DriverFactory|RsConnectorTest|ModbusConnectorTest|HarnessTest|SimMeterTest|PtyLinkTest|VKT7|Vkt9|Zones|Magika|Storage|Config)|_e2e|^cli_test|^demo_run

.PHONY: all deps build test demo clean fuzz-build fuzz test-sanitize test-tsan

all: build

deps:
	scripts/install-deps

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOV_FUZZ_BUILD_DIR=$(abspath $(FUZZ_DIR))
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The fuzz targets' smoke tests run in every `make test`, so it builds them too.
test: deps build fuzz-build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

fuzz-build:
	scripts/install-deps $(FUZZ_PACKAGES)
	CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOV_FUZZ=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target kov_fuzz_targets

# Every fuzz target FUZZ_SECONDS seconds over its corpus.
fuzz: fuzz-build
	fuzz/run_all.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOV_SANITIZE=address,undefined \
	    -DKOV_FUZZ_BUILD_DIR=$(abspath $(FUZZ_DIR))
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:use_sigaltstack=0 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --output-on-failure -j $(JOBS) -E '^fuzz_smoke'

# The threaded tests under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOV_SANITIZE=thread
	cmake --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:suppressions=$(abspath tests/tsan.supp) \
	    ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)'

demo: deps build
	tools/demo $(DEMO_ARGS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR) $(FUZZ_DIR)
