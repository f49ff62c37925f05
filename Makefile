# Entry points: setup, build, test, demo, bench. Each is safe to re-run.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
# A compiler cache, when the machine has one, makes rebuilds of unchanged sources free.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

.PHONY: all setup build test demo bench package package-test format clean

all: build

setup:
	BUILD_DIR=$(CURDIR)/$(BUILD_DIR) scripts/setup.sh

build:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) >/dev/null
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: setup build
	BUILD_DIR=$(CURDIR)/$(BUILD_DIR) scripts/run_tests.sh

demo: setup build
	BUILD_DIR=$(CURDIR)/$(BUILD_DIR) scripts/demo.sh

bench: setup build
	BUILD_DIR=$(CURDIR)/$(BUILD_DIR) scripts/run_bench.sh

# The Debian package (build/package/talvex_<version>_<arch>.deb), and its install test.
package: setup build
	cmake --build $(BUILD_DIR) --target package

package-test: package
	BUILD_DIR=$(CURDIR)/$(BUILD_DIR) scripts/package_test.sh

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
