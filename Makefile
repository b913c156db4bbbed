# Front door: `make` builds, `make test` runs every test (plain build and a
# sanitizer build of the unit tests), `make run` starts a virtual board and
# TORVEX attached to it.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: all build test test-plain test-asan run clean bench

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

test: test-plain test-asan

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTORVEX_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest -L unit --output-on-failure -j $(JOBS)

run: build
	./tools/run-board.sh

bench: build
	./bench/program_bench.sh
	./bench/hex_bench.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
