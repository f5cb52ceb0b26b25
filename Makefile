# Wraps CMake. `make` builds, `make test` builds and runs every test,
# `make run` starts stelmo on the simulated rig. Each installs missing Debian
# packages and configures the build tree once first.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
STELMO_WERROR ?= OFF
GENERATOR := $(if $(shell command -v ninja 2>/dev/null),Ninja,Unix Makefiles)
CMAKE_FLAGS := -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
               -DSTELMO_WERROR=$(STELMO_WERROR) $(CMAKE_EXTRA_FLAGS)

.PHONY: all deps build test run clean distclean

all: build

deps:
	@scripts/install-deps

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) --parallel

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --parallel $(shell nproc)

run: build
	$(BUILD_DIR)/bin/stelmo

clean:
	@[ ! -d $(BUILD_DIR) ] || cmake --build $(BUILD_DIR) --target clean

distclean:
	rm -rf $(BUILD_DIR)
