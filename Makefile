# Thin wrapper over CMake presets. `make demo` and `make test` work on a fresh
# Debian 12 machine as root: each installs what is missing first.
JOBS ?= 2
# make install: PREFIX (default /usr/local), under DESTDIR when it is set (a staging root).
PREFIX ?= /usr/local

.PHONY: all setup setup-cross setup-win32 build install dist demo test test-unit test-header test-install test-dist test-asan test-i386 test-aarch64 test-windows test-win32 test-fuzz bench fuzz clean
FUZZ_SECONDS ?= 600

all: build

setup:
	@scripts/setup.sh base

setup-cross:
	@scripts/setup.sh base cross

setup-win32:
	@scripts/setup.sh base cross win32

build: setup
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

# bin/tessaly, lib/tessaly/Tessaly.so, include/tessaly/plugin.h, lib/pkgconfig/tessaly.pc,
# lib/cmake/Tessaly/ and share/man/man1/tessaly.1, from the build above.
install: build
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# The release packages in dist/, built in a clean build-dist/ (packaging/dist.sh):
# tessaly-VERSION-win32.zip, tessaly-VERSION-linux-x86_64.tar.gz and their SHA256SUMS.
dist: setup-cross
	packaging/dist.sh

demo: build
	demo/run_demo.sh build/tessaly build/demo

test-unit: build
	ctest --preset default -j $(JOBS)
	@echo "== BMP suite through the plug-in"
	@build/tests/tessaly_tests --gtest_filter='Conformance.*' | grep -v -e '^\[' -e '^Running main'
	@tests/suite_host.sh build/tessaly ../shared

# make install into a staging root, then the installed host, plug-in, man page and host build files.
test-install: build
	rm -rf build/install-test
	$(MAKE) --no-print-directory install DESTDIR="$(CURDIR)/build/install-test" PREFIX=/opt/tessaly
	tests/install_test.sh build/install-test /opt/tessaly .

# plugin.h as C89, C99, C11, C++98 and C++20 (GCC and Clang, 64- and 32-bit, and mingw-w64).
test-header: setup-cross
	tests/header_test.sh .

test-asan: setup
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j $(JOBS)

# The unit suite as a 32-bit x86 process under qemu-i386: the host's record layout and word size;
# then every fuzz target's entry function over the saved crash inputs, the BMP suite and the
# fuzz lane's corpus (when it has run), the 32-bit process facing what the fuzzers found.
test-i386: setup-cross
	cmake --preset i386
	cmake --build --preset i386 -j $(JOBS)
	ctest --preset i386 -j $(JOBS)
	for t in probe load gray roundtrip rle plain; do \
		qemu-i386 build-i386/fuzz/fuzz_$$t tests/data/crashers ../shared/corpus/bmpsuite build-fuzz/corpus/$$t || exit 1; \
	done

# The unit suite built for 64-bit Arm and run under qemu-aarch64: the plain kernels alone, on another CPU.
test-aarch64: setup
	@scripts/setup.sh arm
	cmake --preset aarch64
	cmake --build --preset aarch64 -j $(JOBS)
	ctest --preset aarch64 -j $(JOBS)

# Tessaly.dll for 32-bit Windows, checked as a PE file; the 64-bit Windows build run under Wine.
test-windows: build setup-cross
	cmake --preset mingw32
	cmake --build --preset mingw32 -j $(JOBS)
	/usr/bin/python3 tests/windows/check_pe.py build-mingw32/Tessaly.dll i686-w64-mingw32-objdump
	cmake --preset mingw64
	cmake --build --preset mingw64 -j $(JOBS)
	tests/windows/wine_e2e.sh build/tessaly build/tessaly_samples build-mingw64/tessaly.exe build-mingw64/wineprefix ../shared

# make dist in two fresh clones of HEAD at different paths: identical archives, which work when unpacked.
test-dist: setup-cross
	tests/dist_test.sh .

# The 32-bit Windows build run for real under 32-bit Wine, in an emulated guest (the
# guest's parts and Wine prefix are kept in build-win32/guest): every host command
# compared with the Linux build's, the hostile scaled loads, the ABI host and the example host.
test-win32: build setup-win32
	cmake --preset mingw32
	cmake --build --preset mingw32 -j $(JOBS)
	tests/windows/win32_e2e.sh build/tessaly build/tessaly_samples build-mingw32 ../shared build-win32/guest

# Each fuzz target for 30 s (the saved crash inputs replay in the unit suite).
test-fuzz: build
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run_fuzzers.sh build-fuzz 30

# The fuzz lane runs before the 32-bit one, which replays its corpus; the guest lane runs last.
test: test-unit test-install test-header test-asan test-fuzz test-i386 test-aarch64 test-windows test-dist test-win32

# Longer fuzzing: FUZZ_SECONDS per target (default 600).
fuzz: build
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	fuzz/run_fuzzers.sh build-fuzz $(FUZZ_SECONDS)

bench: setup
	@scripts/setup.sh bench
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	build-bench/bench/tessaly_bench build-bench/Tessaly.so

clean:
	rm -rf dist build build-asan build-bench build-dist build-fuzz build-i386 build-aarch64 build-mingw32 build-mingw64 build-win32
