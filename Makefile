# make run [ARGS=path/to/archive.zip]   build and start Tarvo
# make test                             build and run every test
# make install [PREFIX=/usr/local]      build and install (DESTDIR is honoured too)
# make deb                              build a Debian package into $(BUILD_DIR)/package
# make bench [BENCH_ARGS=--quick]       build, then time tarvo-cli against unzip, zip and 7zz,
#                                       and our bzip2 encoder against libbz2's
#                                       (BENCH_BIG=1 adds the slow 4 GiB+ round trip,
#                                       BENCH_MEMORY=1 the peak RSS on 100,000 small files)
# make fuzz [FUZZ_SECONDS=120]          build the fuzzers with clang and run each for a while
# All of them install what a fresh Debian 12 machine is missing first.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
# Warnings are errors in CI.
WERROR ?= $(if $(CI),ON,OFF)
PREFIX ?= /usr/local

PACKAGES := cmake ninja-build g++ pkg-config qt6-base-dev libzip-dev libbz2-dev libdivsufsort-dev \
            zlib1g-dev liblzma-dev libzstd-dev xvfb xauth xdotool x11-utils zip unzip 7zip \
            libarchive-tools python3 xz-utils zstd \
            appstream desktop-file-utils groff-base man-db dpkg-dev binutils file lintian \
            clang-14 libclang-rt-14-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build run test test-asan test-tsan fuzz install deb bench clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTARVO_WERROR=$(WERROR)

build: configure
	cmake --build $(BUILD_DIR)

run: build
	$(BUILD_DIR)/src/app/tarvo $(ARGS)

# Every test, then the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the threaded tests of the core under ThreadSanitizer. Any report fails the run.
test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 900
	$(MAKE) test-asan
	$(MAKE) test-tsan

SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1 \
	LSAN_OPTIONS=suppressions=$(abspath tests/sanitizers/lsan.supp):print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	TSAN_OPTIONS=suppressions=$(abspath tests/sanitizers/tsan.supp):halt_on_error=1:second_deadlock_stack=1:die_after_fork=0

test-asan: deps
	cmake -S . -B $(BUILD_DIR)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVO_WERROR=$(WERROR) \
	    -DTARVO_SANITIZE=address,undefined
	cmake --build $(BUILD_DIR)-asan
	cd $(BUILD_DIR)-asan && $(SANITIZER_ENV) ctest --output-on-failure --timeout 1800 -LE install

# The threaded tests of the core (label "threads") and what they run.
TSAN_TARGETS := tarvo-cli tst_workers tst_zipreader tst_causes

test-tsan: deps
	cmake -S . -B $(BUILD_DIR)-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DTARVO_WERROR=$(WERROR) -DTARVO_SANITIZE=thread
	cmake --build $(BUILD_DIR)-tsan --target $(TSAN_TARGETS)
	cd $(BUILD_DIR)-tsan && $(SANITIZER_ENV) ctest --output-on-failure --timeout 1800 -L threads

FUZZ_SECONDS ?= 120
fuzz: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_DIR)-fuzz -G Ninja \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(BUILD_DIR)-fuzz
	fuzz/run $(BUILD_DIR)-fuzz $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

deb: build
	cd $(BUILD_DIR) && cpack -G DEB -B package

# Every benchmark runs even when an earlier one misses a target; the exit status says if any did.
bench: build
	@export TARVO_CLI="$${TARVO_CLI:-$(abspath $(BUILD_DIR))/src/app/tarvo-cli}"; status=0; \
	bench/unzip $(BENCH_ARGS) || status=1; \
	bench/zip $(BENCH_ARGS) || status=1; \
	$(BUILD_DIR)/bench/encoder/bench_encoder $(if $(filter --quick,$(BENCH_ARGS)),--runs 1 --megabytes 4) || status=1; \
	if [ "$(BENCH_BIG)" = 1 ]; then bench/bigfile || status=1; fi; \
	if [ "$(BENCH_MEMORY)" = 1 ]; then bench/manyfiles || status=1; fi; \
	exit $$status

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-asan $(BUILD_DIR)-tsan $(BUILD_DIR)-fuzz
