# Front door: `make` builds, `make test` runs every test (plain build and a
# sanitizer build of the unit tests), `make run` starts a virtual board and
# TORVEX attached to it, `make install PREFIX=...` installs the two programs
# with their man pages, completion and examples, `make package` builds a
# Debian package in build/.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
PREFIX ?= /usr/local
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
# No "Entering directory" lines from the makes that cmake starts.
MAKEFLAGS += --no-print-directory

.PHONY: all build programs test test-plain test-asan run install package clean bench

all: build

build:
	$(CONFIGURE) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Only torvex and torvex-target, without GoogleTest, and quietly: the
# build's output is shown only when it fails.
programs:
	@mkdir -p $(BUILD)
	@[ -x $(BUILD)/torvex ] || echo "Building torvex and torvex-target (the first build takes a minute or two) ..."
	@{ $(CONFIGURE) && cmake --build $(BUILD) -j $(JOBS) --target torvex torvex-target; } \
	    > $(BUILD)/programs.log 2>&1 || { cat $(BUILD)/programs.log; exit 1; }

test: test-plain test-asan

test-plain:
	$(CONFIGURE) -DBUILD_TESTING=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTORVEX_SANITIZE=ON -DBUILD_TESTING=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest -L unit --output-on-failure -j $(JOBS)

run: programs
	@./tools/run-board.sh

# DESTDIR, when set, is put in front of PREFIX as usual.
install: programs
	cmake --install $(BUILD) --prefix $(PREFIX)

package: programs
	cd $(BUILD) && cpack -G DEB

bench: programs
	./bench/program_bench.sh
	./bench/hex_bench.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
