# make run [ARGS=path/to/archive.zip]   build and start Tarvo
# make test                             build and run every test
# make install [PREFIX=/usr/local]      build and install (DESTDIR is honoured too)
# make deb                              build a Debian package into $(BUILD_DIR)/package
# make bench [BENCH_ARGS=--quick]       build, then time tarvo-cli against unzip, zip and 7zz
#                                       (BENCH_BIG=1 adds the slow 4 GiB+ round trip)
# All of them install what a fresh Debian 12 machine is missing first.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
# Warnings are errors in CI.
WERROR ?= $(if $(CI),ON,OFF)
PREFIX ?= /usr/local

PACKAGES := cmake ninja-build g++ pkg-config qt6-base-dev libzip-dev libbz2-dev zlib1g-dev \
            xvfb xauth xdotool zip unzip 7zip libarchive-tools python3 \
            appstream desktop-file-utils groff-base man-db dpkg-dev binutils file
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build run test install deb bench clean

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

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 900

install: build
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

deb: build
	cd $(BUILD_DIR) && cpack -G DEB -B package

# Both benchmarks run even when the first misses a target; the exit status says if any did.
bench: build
	@export TARVO_CLI="$${TARVO_CLI:-$(abspath $(BUILD_DIR))/src/app/tarvo-cli}"; status=0; \
	bench/unzip $(BENCH_ARGS) || status=1; \
	bench/zip $(BENCH_ARGS) || status=1; \
	if [ "$(BENCH_BIG)" = 1 ]; then bench/bigfile || status=1; fi; \
	exit $$status

clean:
	rm -rf $(BUILD_DIR)
