# Thin wrapper over CMake; see README.md.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo clean

all: build

deps:
	scripts/install-deps

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

demo: deps build
	tools/demo $(DEMO_ARGS)

clean:
	rm -rf $(BUILD_DIR)
