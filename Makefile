# Entry points: make run, make test, make bench. Each installs what is missing first.
JOBS ?= $(shell nproc)
CMAKE_GENERATOR ?= Ninja
BUILD ?= build
PREFIX ?= /usr/local

.PHONY: all deps configure build run test test-main test-asan test-tsan test-fuzz bench install package screenshot clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD)

test: deps test-main test-asan test-tsan test-fuzz

test-main: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Unit and widget tests again under AddressSanitizer with UndefinedBehaviorSanitizer.
test-asan: deps
	@cmake -S . -B build-asan -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZER=address > /dev/null
	@cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -L 'unit|threaded|namespace|widget'

# The threaded groups under ThreadSanitizer.
test-tsan: deps
	@cmake -S . -B build-tsan -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQUILLON_SANITIZER=thread -DQUILLON_BUILD_UI=OFF > /dev/null
	@cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS) -L threaded

# Bounded libFuzzer runs of the parsers.
test-fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -G $(CMAKE_GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLON_FUZZ=ON > /dev/null
	@cmake --build build-fuzz -j $(JOBS)
	cd build-fuzz && ctest --output-on-failure -L fuzz
	@cat build-fuzz/fuzz/*.runs 2>/dev/null || true

bench: build
	@/usr/bin/python3 bench/bench_table.py $(BUILD)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# build/quillon_<version>_amd64.deb; install it with apt-get install ./build/quillon_*.deb
package: build
	@cmake --build $(BUILD) --target package

# The main window with live rows and the tray menu open, for the README.
screenshot: build
	@/usr/bin/python3 scripts/screenshot.py $(BUILD) docs/screenshot.png
	@/usr/bin/python3 scripts/screenshot.py --ipv6 $(BUILD) $(BUILD)/screenshot-ipv6.png

clean:
	rm -rf build build-asan build-tsan build-fuzz
