# Wraps CMake. Every target installs missing Debian packages first, and
# configures its build tree when it is new or its settings changed.
#
#   make            build (build/)
#   make run        build the program alone (no test) and start it on the
#                   simulated rig with the tree's panel, no configuration file
#   make test       build everything and run every test
#   make test-asan  the whole suite under AddressSanitizer + UBSan (build-asan/)
#   make test-tsan  the tests where threads meet under ThreadSanitizer (build-tsan/)
#   make fuzz       fuzz the panel loader for FUZZ_SECONDS (default 60; build-fuzz/)
#   make bench      timing and resource benchmark, one table (build-bench/)
#   make package    a .deb in build/
#   make install    install under PREFIX (default /usr/local)
#   make format-check  check the formatting of every C++ source (clang-format)

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
STELMO_WERROR ?= OFF
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
GENERATOR := $(if $(shell command -v ninja 2>/dev/null),Ninja,Unix Makefiles)
CMAKE_FLAGS := -G "$(GENERATOR)" -DSTELMO_WERROR=$(STELMO_WERROR) $(CMAKE_EXTRA_FLAGS)
JOBS := $(shell nproc)

# What each build tree is configured with. A tree is configured again
# whenever its settings differ from those it was last configured with (kept
# in <tree>/stelmo-settings), so that, say, STELMO_WERROR=ON on an existing
# tree does take effect.
SETTINGS := -DSTELMO_WERROR=$(STELMO_WERROR) $(CMAKE_EXTRA_FLAGS)
BUILD_SETTINGS := -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(SETTINGS)
ASAN_SETTINGS := -DCMAKE_BUILD_TYPE=Debug -DSTELMO_SANITIZE=ON $(SETTINGS)
TSAN_SETTINGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTELMO_TSAN=ON $(SETTINGS)
FUZZ_SETTINGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTELMO_FUZZ=ON -DSTELMO_TESTS=OFF $(SETTINGS)

# $(call configure,<tree>,<settings>[,<environment>]): configures <tree> when
# it has no cache yet or its settings changed. The generator is chosen only
# for a new tree; CMake keeps it after that.
define configure
	@mkdir -p $(1)
	@if ! echo '$(2)' | cmp -s - $(1)/stelmo-settings; then \
	    if [ -f $(1)/CMakeCache.txt ]; then \
	        echo "cmake -S . -B $(1) $(2)"; cmake -S . -B $(1) $(2); \
	    else \
	        echo "cmake -S . -B $(1) -G \"$(GENERATOR)\" $(2)"; \
	        $(3) cmake -S . -B $(1) -G "$(GENERATOR)" $(2); \
	    fi && echo '$(2)' > $(1)/stelmo-settings; \
	fi
endef

.PHONY: all deps build test run test-asan test-tsan fuzz bench package install clean distclean format-check

all: build

deps:
	@scripts/install-deps

build: deps
	$(call configure,$(BUILD_DIR),$(BUILD_SETTINGS))
	cmake --build $(BUILD_DIR) --parallel

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --parallel $(JOBS)

# The tree's own panel on the simulated rig, whatever the user's or the
# system's configuration files say (the environment still counts). Builds
# only what stelmo needs to run (CMake target "program"), so the window
# comes up without waiting for the tests to build.
run: deps
	$(call configure,$(BUILD_DIR),$(BUILD_SETTINGS))
	cmake --build $(BUILD_DIR) --parallel --target program
	$(BUILD_DIR)/bin/stelmo --no-config

test-asan: deps
	$(call configure,build-asan,$(ASAN_SETTINGS))
	cmake --build build-asan --parallel
	cd build-asan && ctest --output-on-failure --parallel $(JOBS)

# The tick thread and the engine tests (ctest label "threads"), where tick
# threads and the event loop meet.
test-tsan: deps
	$(call configure,build-tsan,$(TSAN_SETTINGS))
	cmake --build build-tsan --parallel --target thread_tests
	cd build-tsan && ctest --output-on-failure --parallel $(JOBS) -L threads

fuzz: deps
	$(call configure,build-fuzz,$(FUZZ_SETTINGS),CXX=clang++)
	cmake --build build-fuzz --parallel --target panel_fuzzer
	tests/fuzz/run build-fuzz/bin/panel_fuzzer $(FUZZ_SECONDS)

# The bench's table is all it prints on stdout; the build talks on stderr.
build-bench/CMakeCache.txt: | deps
	@scripts/install-deps --bench >&2
	@cmake -S . -B build-bench $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DSTELMO_BENCH=ON \
	    -DSTELMO_TESTS=OFF >&2

bench: deps build-bench/CMakeCache.txt
	@scripts/install-deps --bench >&2
	@cmake --build build-bench --parallel >&2
	@bench/run build-bench

package: build
	cd $(BUILD_DIR) && cpack -G DEB

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

clean:
	@[ ! -d $(BUILD_DIR) ] || cmake --build $(BUILD_DIR) --target clean

# Every C++ source of the tree against .clang-format; changes nothing.
format-check: deps
	scripts/check-format

distclean:
	rm -rf build build-asan build-tsan build-fuzz build-bench
