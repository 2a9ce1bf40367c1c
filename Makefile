# Thin wrapper over CMake; see README.md.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test clean

all: build

deps:
	scripts/install-deps

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)
