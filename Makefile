# Wraps CMake. Every target installs missing Debian packages and configures
# its build tree once first.
#
#   make            build (build/)
#   make run        start stelmo on the simulated rig
#   make test       build and run every test
#   make test-asan  the whole suite under AddressSanitizer + UBSan (build-asan/)
#   make fuzz       fuzz the panel loader for FUZZ_SECONDS (default 60; build-fuzz/)
#   make bench      timing and resource benchmark, one table (build-bench/)
#   make package    a .deb in build/
#   make install    install under PREFIX (default /usr/local)

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
STELMO_WERROR ?= OFF
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
GENERATOR := $(if $(shell command -v ninja 2>/dev/null),Ninja,Unix Makefiles)
CMAKE_FLAGS := -G "$(GENERATOR)" -DSTELMO_WERROR=$(STELMO_WERROR) $(CMAKE_EXTRA_FLAGS)
JOBS := $(shell nproc)

.PHONY: all deps build test run test-asan fuzz bench package install clean distclean

all: build

deps:
	@scripts/install-deps

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) --parallel

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --parallel $(JOBS)

run: build
	$(BUILD_DIR)/bin/stelmo

build-asan/CMakeCache.txt: | deps
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DSTELMO_SANITIZE=ON

test-asan: deps build-asan/CMakeCache.txt
	cmake --build build-asan --parallel
	cd build-asan && ctest --output-on-failure --parallel $(JOBS)

build-fuzz/CMakeCache.txt: | deps
	CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DSTELMO_FUZZ=ON -DSTELMO_TESTS=OFF

fuzz: deps build-fuzz/CMakeCache.txt
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

distclean:
	rm -rf build build-asan build-fuzz build-bench
