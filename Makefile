# selfpatch: `make test` runs everything, `make demo` runs the main job.
SHELL := /bin/bash
ROOT := $(CURDIR)
JOBS ?= $(shell nproc)

NATIVE := build/native
ASAN := build/asan
WIN := build/win

# ccache, when present, with paths taken relative to the tree so that several
# checkouts of the project share one cache.
export CCACHE_BASEDIR := $(ROOT)
export CCACHE_NOHASHDIR := 1
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: all setup build native asan win test test-native test-win test-e2e demo fuzz bench stress clean

all: build

setup:
	@bash scripts/setup.sh

$(NATIVE)/CMakeCache.txt:
	cmake -S . -B $(NATIVE) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
$(ASAN)/CMakeCache.txt:
	cmake -S . -B $(ASAN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Debug -DSP_SANITIZE=ON >/dev/null
$(WIN)/CMakeCache.txt:
	cmake -S . -B $(WIN) $(LAUNCHER) -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null

native: $(NATIVE)/CMakeCache.txt win
	cmake --build $(NATIVE) -j $(JOBS)
asan: $(ASAN)/CMakeCache.txt win
	cmake --build $(ASAN) -j $(JOBS)
win: $(WIN)/CMakeCache.txt
	cmake --build $(WIN) -j $(JOBS)

build: win native asan

test: setup
	@$(MAKE) --no-print-directory build
	@bash scripts/run-tests.sh

test-native: asan
	ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)
test-win: win
	scripts/with-wine.sh ctest --test-dir $(WIN) --output-on-failure
test-e2e: native win
	scripts/with-wine.sh /usr/bin/python3 -m pytest -q tests/e2e

demo: setup
	@$(MAKE) --no-print-directory native win
	@scripts/with-wine.sh bash scripts/demo.sh

fuzz: setup
	@bash scripts/fuzz.sh

bench: setup native
	@bash scripts/bench.sh

stress: setup native asan win
	@WINEPREFIX=$(ROOT)/build/wpfx-stress scripts/with-wine.sh bash scripts/stress.sh

clean:
	rm -rf build
