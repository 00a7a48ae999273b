# The two commands of the README: `make demo` and `make test`. Plain `make` builds.
BUILD      ?= build
JOBS       ?= 2
CMAKE_ARGS ?=
# WERROR=ON (as CI runs) turns every compiler warning into an error.
WERROR     ?= OFF
# A compiler cache, where the machine has one, makes the many build trees cheap to rebuild.
CCACHE     := $(shell command -v ccache 2>/dev/null)
CONFIGURE   = cmake -S . -DWERROR=$(WERROR) $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE))

.PHONY: all build test demo format format-check test-asan test-tsan test-web fuzz windows windows32 windows64 test-windows test-windows32 bench clean

all: build

build:
	$(CONFIGURE) -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	bash examples/demo.sh $(BUILD)

# The suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DSANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug"

# The whole suite under ThreadSanitizer: the library's reader and dispatcher threads, the
# serial port shared between them, and the virtual device's own thread.
test-tsan:
	$(CONFIGURE) -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure -j$(JOBS)

# The station's page in a real browser (Debian's chromium, chromium-driver and python3-selenium)
# during a rehearsal with diagsim devices (Debian's python3, which those packages serve); it keeps
# a screenshot at $(BUILD)/web/page.png.
test-web: build
	/usr/bin/python3 tests/web/page_test.py $(BUILD)

# The libFuzzer targets, one per parser of outside bytes, built with clang into build-fuzz and
# run one after the other for FUZZ_SECONDS each. The standard library's own bounds checks are
# on as well, so an index past a container's end is a finding even where it stays inside the
# object's memory. A finding leaves its input under build-fuzz/fuzz-runs/<target>/ and prints
# the command that replays it.
FUZZ_SECONDS ?= 60
FUZZ_CXX     ?= clang++
fuzz:
	$(CONFIGURE) -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DSANITIZE=fuzzer-no-link,address,undefined -DCMAKE_CXX_FLAGS=-D_GLIBCXX_ASSERTIONS \
	  -DFUZZING=ON -DBUILD_TESTING=OFF
	cmake --build build-fuzz --target fuzzers -j$(JOBS)
	bash tests/fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# The Windows programs, cross-compiled with both MinGW-w64 toolchains; the 32-bit one ships.
windows: windows32 windows64

windows32:
	$(CONFIGURE) -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build build-win32 -j$(JOBS)

windows64:
	$(CONFIGURE) -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build build-win64 -j$(JOBS)

# The 32-bit programs, which ship, and the OS adapter's Windows tests under Wine against
# diagsim; the 64-bit programs are built as well. Without Wine it says so and skips (CI fails).
# Where the kernel runs no 32-bit programs, Wine's 32-bit part cannot start, and run.sh tests the
# 64-bit build instead: it is configured with the Windows tests too.
test-windows: build
	$(CONFIGURE) -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release -DWINDOWS_TESTS=ON
	cmake --build build-win32 -j$(JOBS)
	$(CONFIGURE) -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release -DWINDOWS_TESTS=ON
	cmake --build build-win64 -j$(JOBS)
	bash tests/windows/run.sh $(BUILD) build-win32

# The shipped 32-bit programs alone, each run once on the virtual device under 32-bit Wine:
# itemsmith.exe with the reset and treesmith.exe for KVX. Where the kernel runs no 32-bit
# programs, 32-bit Wine is first made to start through qemu-user-static (needs root).
test-windows32: build windows32
	bash tests/windows/run.sh $(BUILD) build-win32 --shipped32

# The house style (.clang-format): `make format` applies it to every tracked source file,
# `make format-check` fails on any that does not follow it (CI runs it).
FORMAT_FILES = $(shell git ls-files '*.cpp' '*.hpp')
format:
	clang-format -i $(FORMAT_FILES)

format-check:
	clang-format --dry-run --Werror $(FORMAT_FILES)

bench: build
	bash tests/bench/run.sh $(BUILD)

# ---- Release packages ----
# build-deb/linetools_<version>_<arch>.deb: the Linux programs, built with Debian's hardening
# flags and without the test suite; build-win32/linetools-<version>-win32.zip: the 32-bit
# Windows programs with their line text and the samples.
.PHONY: package package-deb package-win32
package: package-deb package-win32

package-deb:
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	$(CONFIGURE) -B build-deb -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)"
	cmake --build build-deb -j$(JOBS)
	cd build-deb && cpack -G DEB

package-win32: windows32
	cd build-win32 && cpack -G ZIP
# ---- end of release packages ----

clean:
	rm -rf build build-asan build-tsan build-fuzz build-win32 build-win64 build-deb
