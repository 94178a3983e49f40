# Thin wrapper over CMake presets. `make demo` and `make test` work on a fresh
# Debian 12 machine as root: each installs what is missing first.
JOBS ?= 2

.PHONY: all setup build demo test test-unit test-asan bench fuzz clean

all: build

setup:
	@scripts/setup.sh base

build: setup
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

demo: build
	demo/run_demo.sh build/tessaly build/demo

test-unit: build
	ctest --preset default -j $(JOBS)

test-asan: setup
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j $(JOBS)

test: test-unit test-asan

bench: setup
	@scripts/setup.sh bench
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	build-bench/bench/tessaly_bench build-bench/Tessaly.so
	GLIBC_TUNABLES=glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=4294967296 \
		build-bench/bench/tessaly_bench build-bench/Tessaly.so

clean:
	rm -rf build build-asan build-bench build-fuzz build-i386 build-mingw32 build-mingw64
