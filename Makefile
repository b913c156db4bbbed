# Front door: `make` builds, `make test` runs every test (plain build and a
# sanitizer build of the unit tests), `make run` starts a virtual board and
# TORVEX attached to it, `make install PREFIX=...` installs the two programs
# with their man pages, completion and examples, `make package` builds a
# Debian package in build/. `make fuzz` runs the libFuzzer targets (clang)
# for FUZZ_SECONDS each; `make soak` programs the virtual board under line
# faults and prints what they cost.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
# The targets work in a scratch directory: libFuzzer gets absolute paths.
FUZZ_DIR = $(abspath $(FUZZ_BUILD))
FUZZ_TARGETS = hex link line
PREFIX ?= /usr/local
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
# No "Entering directory" lines from the makes that cmake starts.
MAKEFLAGS += --no-print-directory
# The test builds take their jobs from make's own pool when make test runs them together.
BUILD_JOBS = -j $(JOBS)

.PHONY: all build programs test test-plain test-asan build-tests build-asan-tests run install package clean bench fuzz soak

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

# The sanitizer build: without optimisation, line tables only for its reports,
# and only the unit tests with what they run (torvex).
ASAN_CONFIGURE = cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
    -DTORVEX_SANITIZE=ON -DBUILD_TESTING=ON

# The plain tests and the sanitizer build of the unit tests run side by side,
# sharing JOBS jobs: the steps of one that take a single core (GoogleTest's
# header, the links, the tests' waits) leave the other core to the other.
# Each one's output is shown whole when it ends.
test:
	@$(MAKE) -j $(JOBS) --output-sync=recurse BUILD_JOBS= test-plain test-asan

test-plain: build-tests
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan-tests
	cd $(ASAN_BUILD) && ctest -L unit --output-on-failure -j $(JOBS)

build-tests:
	$(CONFIGURE) -DBUILD_TESTING=ON >/dev/null
	+cmake --build $(BUILD) $(BUILD_JOBS)

build-asan-tests:
	$(ASAN_CONFIGURE) >/dev/null
	+cmake --build $(ASAN_BUILD) $(BUILD_JOBS) --target unit_tests

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

# Each target runs alone (one job) from its seed corpus in tests/fuzz/corpus
# and keeps what it finds in $(FUZZ_BUILD)/corpus; a crash stops make with its
# input saved as $(FUZZ_BUILD)/<target>-crash-*.
fuzz:
	$(if $(shell command -v clang++),,$(error make fuzz needs clang++ with libFuzzer (packages clang, libclang-rt-dev); nothing was fuzzed))
	@mkdir -p $(FUZZ_BUILD)
	@{ CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVEX_FUZZ=ON -DBUILD_TESTING=OFF && \
	   cmake --build $(FUZZ_BUILD) -j $(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS)); } \
	    > $(FUZZ_BUILD)/build.log 2>&1 || { cat $(FUZZ_BUILD)/build.log; exit 1; }
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	    echo "fuzz_$$t: $(FUZZ_SECONDS) s ..."; \
	    $(FUZZ_BUILD)/fuzz_$$t $(FUZZ_DIR)/corpus/$$t $(CURDIR)/tests/fuzz/corpus/$$t -max_total_time=$(FUZZ_SECONDS) \
	        -timeout=20 -max_len=4096 -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/$$t- \
	        > $(FUZZ_BUILD)/fuzz_$$t.log 2>&1 || { tail -n 40 $(FUZZ_BUILD)/fuzz_$$t.log; exit 1; }; \
	    awk -v t=fuzz_$$t '/stat::number_of_executed_units/ { n = $$2 } /stat::peak_rss_mb/ { rss = $$2 } \
	        /^#[0-9]+.*(cov|ft):/ { for (i = 1; i <= NF; i++) if ($$i == "cov:" || $$i == "ft:") last[$$i] = $$(i + 1) } \
	        END { printf "%s: %d executions, coverage %s edges, %s features, peak RSS %s MB, no crash\n", \
	              t, n, last["cov:"], last["ft:"], rss }' $(FUZZ_BUILD)/fuzz_$$t.log; \
	done

soak: programs
	./bench/soak.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
