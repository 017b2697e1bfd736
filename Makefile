# Tarvos: build, run and test entry points.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2
ARGS ?=
CMAKE_FLAGS ?=

.PHONY: all run test build deps test-deps clean test-asan test-tsan fuzz sanitizer-deps bench \
        install uninstall package package-deps windows windows-deps wine-deps test-windows syscalls

# Sanitizer and fuzzing builds (clang; each in a directory of its own).
SAN_CC ?= clang
SAN_CXX ?= clang++
ASAN_DIR ?= build-asan
TSAN_DIR ?= build-tsan
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
# The paired-session harness (locks, session set-up) may get a time of its own.
FUZZ_SESSION_SECONDS ?= $(FUZZ_SECONDS)
SAN_PACKAGES ?= clang libclang-rt-14-dev llvm
# The protocol analyser that the capture test runs the server's traffic through;
# the mDNS responder, its browser, a bus daemon, ip and the discovery library
# that PyVISA uses for the discovery test; clang for the thread-safety analysis
# that runs beside the g++ build; what PyVISA and pyvisa-py from ../shared/peers
# need for the client suite and the README's PyVISA examples.
TEST_PACKAGES ?= tshark avahi-daemon avahi-utils dbus-daemon iproute2 python3-zeroconf clang \
                 python3-typing-extensions python3-yaml
# dpkg-shlibdeps reads the package's dependencies off the binary.
PACKAGE_PACKAGES ?= dpkg-dev
# The Windows build: the MinGW-w64 cross compiler (POSIX thread model), dpkg-source
# (dpkg-dev) for the yaml-cpp it builds from Debian's source package, Wine to
# run it, and GoogleTest's sources (from libgtest-dev) for its unit tests.
WINDOWS_DIR ?= build-windows
WINDOWS_PACKAGES ?= g++-mingw-w64-x86-64-posix dpkg-dev
WINE_PACKAGES ?= wine wine64
GTEST_SOURCE ?= /usr/src/googletest
# make install PREFIX=...: where the binary, manual page, README and unit go.
PREFIX ?= /usr/local

all: build

deps:
	@./tools/ensure-deps

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j$(JOBS)

run: build
	./$(BUILD_DIR)/tarvos $(ARGS)

test-deps:
	@./tools/ensure-deps $(TEST_PACKAGES)

test: build test-deps
	cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS) --timeout 600

sanitizer-deps:
	@./tools/ensure-deps $(SAN_PACKAGES)

$(ASAN_DIR)/CMakeCache.txt: | sanitizer-deps
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=$(SAN_CC) \
	    -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DTARVOS_SANITIZE=asan $(CMAKE_FLAGS)

$(TSAN_DIR)/CMakeCache.txt: | sanitizer-deps
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=$(SAN_CC) \
	    -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DTARVOS_SANITIZE=tsan $(CMAKE_FLAGS)

$(FUZZ_DIR)/CMakeCache.txt: | sanitizer-deps
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=$(SAN_CC) \
	    -DCMAKE_CXX_COMPILER=$(SAN_CXX) -DTARVOS_FUZZ=ON -DTARVOS_TESTS=OFF $(CMAKE_FLAGS)

# AddressSanitizer + UndefinedBehaviorSanitizer over the whole test suite.
test-asan: sanitizer-deps test-deps $(ASAN_DIR)/CMakeCache.txt
	cmake --build $(ASAN_DIR) -j$(JOBS)
	./tools/sanitized-ctest asan $(ASAN_DIR) $(JOBS)

# ThreadSanitizer over the whole test suite.
test-tsan: sanitizer-deps test-deps $(TSAN_DIR)/CMakeCache.txt
	cmake --build $(TSAN_DIR) -j$(JOBS)
	./tools/sanitized-ctest tsan $(TSAN_DIR) $(JOBS)

# Every libFuzzer harness for FUZZ_SECONDS seconds (the session harness for
# FUZZ_SESSION_SECONDS), from a scratch copy of the committed seed corpus;
# fails on a crash, leak, time-out, memory blow-up or broken invariant.
fuzz: sanitizer-deps $(FUZZ_DIR)/CMakeCache.txt
	cmake --build $(FUZZ_DIR) -j$(JOBS)
	./tools/run-fuzzers $(FUZZ_DIR) $(FUZZ_SECONDS) fuzz_session=$(FUZZ_SESSION_SECONDS)

clean:
	rm -rf $(BUILD_DIR)

# Installs the binary, the manual page tarvos(1), the README and the systemd
# unit tarvos.service under PREFIX (DESTDIR is honoured for staging).
install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# Removes what the last install from BUILD_DIR put in place.
uninstall:
	@if [ -f $(BUILD_DIR)/install_manifest.txt ]; then \
	    xargs -d '\n' rm -fv < $(BUILD_DIR)/install_manifest.txt; \
	else echo "nothing installed from $(BUILD_DIR)"; fi

package-deps:
	@./tools/ensure-deps $(PACKAGE_PACKAGES)

# The Debian package $(BUILD_DIR)/tarvos_<version>_<arch>.deb.
package: build package-deps
	cd $(BUILD_DIR) && cpack -G DEB

# Release build and the benchmark against raw loopback peers (measures, never
# fails on a figure). BENCH_SECONDS is the measuring time of each rate.
BENCH_DIR ?= build-release
BENCH_SECONDS ?= 3

$(BENCH_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

bench: deps $(BENCH_DIR)/CMakeCache.txt
	cmake --build $(BENCH_DIR) -j$(JOBS) --target tarvos tarvos_bench
	./$(BENCH_DIR)/tools/bench/tarvos_bench $(BENCH_SECONDS)

# The system calls of the Release server per *IDN? round trip, counted with
# strace (measures, never fails on a figure).
syscalls: deps $(BENCH_DIR)/CMakeCache.txt
	@./tools/ensure-deps strace
	cmake --build $(BENCH_DIR) -j$(JOBS) --target tarvos
	./tools/count-syscalls $(BENCH_DIR)/tarvos

# The static Windows executable $(WINDOWS_DIR)/tarvos.exe, cross-compiled with
# MinGW-w64.
windows-deps:
	@./tools/ensure-deps $(WINDOWS_PACKAGES)

$(WINDOWS_DIR)/CMakeCache.txt: | deps windows-deps
	cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/MinGW-w64.cmake -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	    -DTARVOS_GTEST_SOURCE=$(GTEST_SOURCE) $(CMAKE_FLAGS)

windows: deps windows-deps $(WINDOWS_DIR)/CMakeCache.txt
	cmake --build $(WINDOWS_DIR) -j$(JOBS) --target tarvos

wine-deps:
	@./tools/ensure-deps $(WINE_PACKAGES)

# The unit tests built for Windows, then the integration suite against
# tarvos.exe, both under Wine in a fresh prefix (tools/test-windows).
test-windows: windows build test-deps wine-deps
	cmake --build $(WINDOWS_DIR) -j$(JOBS) --target tarvos_unit_tests
	./tools/test-windows $(WINDOWS_DIR) $(BUILD_DIR) $(JOBS)
