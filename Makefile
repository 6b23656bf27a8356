# 澄序 Orvane — the two commands: `make run` and `make test`.
#   make setup    install packages, build libsodium.dll and GoogleTest for mingw, prepare the wine prefix
#   make build    cross-build the client into build/dist/ and build the reference service
#   make test     build and run every test (service tests natively, client tests under wine)
#   make run      build only the program, the service and two small helpers, then start the local
#                 reference service and the client (on a virtual display if needed)
#   make bench    build and run the benchmarks, printing their figures
#   make check-threads  the service's suites under ThreadSanitizer (slow; not part of make test)
#   make fuzz     the libFuzzer targets of the service and of the client's parsers, each for FUZZ_SECONDS (60)
#   make dist     the release packages in build/dist-pkg/: Orvane-<version>-setup.exe and -portable.zip
#   make screenshots  save a PNG of every screen under docs/screenshots/
# Build options (CMake cache variables) can be passed as CLIENT_CMAKE_ARGS, for example
#   make build CLIENT_CMAKE_ARGS='-DORVANE_SERVICE_ENDPOINT=https://sync.example.cn/api.php'

SHELL := /bin/bash
ROOT := $(CURDIR)
BUILD := $(ROOT)/build
JOBS ?= 2
CLIENT_CMAKE_ARGS ?=
SERVICE_BIN := $(BUILD)/service/orvane-service

.PHONY: all setup build build-service build-client dist test test-service test-client run bench screenshots clean \
  check-threads fuzz

all: build

setup:
	@bash scripts/setup.sh

# What the two builds make: everything unless a list of targets is given (`make run` gives the few
# programs it runs, so a first run does not wait for the test and benchmark programs).
SERVICE_TARGETS ?=
CLIENT_TARGETS ?=
RUN_SERVICE_TARGETS := orvane-service
RUN_CLIENT_TARGETS := Orvane trust-ca find-window

build-service: setup
	@if [ -f service/CMakeLists.txt ]; then \
	  cmake -S service -B $(BUILD)/service -DCMAKE_BUILD_TYPE=Release >/dev/null && \
	  cmake --build $(BUILD)/service -j$(JOBS) $(if $(SERVICE_TARGETS),--target $(SERVICE_TARGETS)); fi

build-client: setup build-service
	@cmake -S client -B $(BUILD)/client -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-w64.cmake \
	  -DORVANE_SERVICE_BIN=$$([ -f service/CMakeLists.txt ] && echo $(SERVICE_BIN)) -DORVANE_DIST_DIR=$(BUILD)/dist $(CLIENT_CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD)/client -j$(JOBS) $(if $(CLIENT_TARGETS),--target $(CLIENT_TARGETS))

build: build-client
	@echo "distributable folder: $(BUILD)/dist"

dist: build
	@bash scripts/make-dist.sh

# The service's tests run in the background while the client builds; the install test takes the
# packages of this very build.
test: build-service
	@bash scripts/run-tests.sh service-start
	@$(MAKE) --no-print-directory build dist || { bash scripts/run-tests.sh service-wait; exit 1; }
	@bash scripts/run-tests.sh

run:
	@$(MAKE) --no-print-directory build-client SERVICE_TARGETS='$(RUN_SERVICE_TARGETS)' CLIENT_TARGETS='$(RUN_CLIENT_TARGETS)'
	@bash scripts/run.sh

bench: build
	@cmake --build $(BUILD)/client -j$(JOBS) --target benchmarks
	@bash scripts/run-bench.sh

check-threads: setup
	@JOBS=$(JOBS) bash scripts/check-threads.sh

fuzz: setup
	@JOBS=$(JOBS) bash scripts/fuzz.sh

screenshots: build
	@bash scripts/screenshots.sh

clean:
	rm -rf $(BUILD)
