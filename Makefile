# selfpatch: `make test` runs everything, `make demo` runs the main job.
SHELL := /bin/bash
ROOT := $(CURDIR)
JOBS ?= $(shell nproc)

NATIVE := build/native
ASAN := build/asan
WIN := build/win
WIN64 := build/win64
# The Wine loader for the Windows build that this machine runs: 32 where
# 32-bit programs run natively, else 64 (the 64-bit test twin).
LOADER = $(if $(filter native,$(shell bash scripts/wine-mode.sh)),32,64)

# ccache, when present, with paths taken relative to the tree so that several
# checkouts of the project share one cache.
export CCACHE_BASEDIR := $(ROOT)
export CCACHE_NOHASHDIR := 1
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: all setup build native asan win win64 test test-native test-win test-e2e demo fuzz bench bench-scale stress fail-loop clean

all: build

setup:
	@bash scripts/setup.sh

$(NATIVE)/CMakeCache.txt:
	cmake -S . -B $(NATIVE) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
$(ASAN)/CMakeCache.txt:
	cmake -S . -B $(ASAN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Debug -DSP_SANITIZE=ON >/dev/null
$(WIN)/CMakeCache.txt:
	cmake -S . -B $(WIN) $(LAUNCHER) -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
$(WIN64)/CMakeCache.txt:
	cmake -S . -B $(WIN64) $(LAUNCHER) -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null

native: $(NATIVE)/CMakeCache.txt win
	cmake --build $(NATIVE) -j $(JOBS)
asan: $(ASAN)/CMakeCache.txt win
	cmake --build $(ASAN) -j $(JOBS)
win: $(WIN)/CMakeCache.txt
	cmake --build $(WIN) -j $(JOBS)
# The 64-bit test twin of the Windows build, for machines that refuse 32-bit code,
# and selfpatch.exe, the tool for Windows (which carries the shipped installer).
win64: $(WIN64)/CMakeCache.txt win
	cmake --build $(WIN64) -j $(JOBS)

build: win win64 native asan

test: setup
	@bash scripts/run-tests.sh

# One layer at a time, on the build that this machine runs (SP_WINE_MODE forces it).
test-native: asan
	ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)
test-win: win win64
	SP_WINE_LOADER=$(LOADER) scripts/with-wine.sh bash -c 'ctest --test-dir "$$SP_WIN_BUILD" --output-on-failure'
test-e2e: native win win64
	SP_WINE_LOADER=$(LOADER) scripts/with-wine.sh /usr/bin/python3 -m pytest -q tests/e2e

demo: setup
	@bash scripts/demo-mode.sh

fuzz: setup
	@bash scripts/fuzz.sh

bench: setup native win win64
	@SP_WINE_LOADER=$(LOADER) bash scripts/bench.sh

# The tool and the installer on a generated product of 3,000 files and 700 MB
# in three versions (bench/product_gen.py; built into bench/cache once).
bench-scale: setup native win64
	@SP_WINE_LOADER=$(LOADER) scripts/with-wine.sh /usr/bin/python3 bench/scale_bench.py build/native/bin/selfpatch

stress: setup native asan win win64
	@SP_WINE_LOADER=$(LOADER) WINEPREFIX=$(ROOT)/build/wpfx-stress-$(LOADER) scripts/with-wine.sh bash scripts/stress.sh

# Every numbered call of an update failing in turn, with each of three errors.
fail-loop: setup native win win64
	SP_FAIL_LOOP=whole SP_WINE_LOADER=$(LOADER) scripts/with-wine.sh /usr/bin/python3 -m pytest -q tests/e2e/test_failing_calls.py

clean:
	rm -rf build
