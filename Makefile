# Thin wrapper over CMake. `make run` runs the main job, `make test` passes every test.
SHELL := /bin/bash
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
RUN_ARGS ?= demo

.PHONY: all run test deps build release bench format clean

all: build

deps:
	@scripts/install-deps.sh

release: deps
	cmake -S . -B $(BUILD_DIR)/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DBASTION_BUILD_TESTS=OFF -DBASTION_BUILD_BENCH=OFF
	cmake --build $(BUILD_DIR)/release --target bastion -j $(JOBS)

run: release
	$(BUILD_DIR)/release/host/bastion $(RUN_ARGS)

build: deps
	cmake -S . -B $(BUILD_DIR)/dev -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBASTION_WERROR=ON
	cmake --build $(BUILD_DIR)/dev -j $(JOBS)

test: deps
	@scripts/run-tests.sh

bench: deps
	cmake -S . -B $(BUILD_DIR)/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBASTION_BUILD_TESTS=OFF
	cmake --build $(BUILD_DIR)/bench -j $(JOBS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
