# A newcomer's entry points: `make demo`, `make test`, `make run`.
# Every target first makes sure the Debian packages are there.

PACKAGES := cmake g++ make ninja-build pkg-config \
            qt6-base-dev libgl-dev libsystemd-dev \
            fonts-dejavu-core fonts-dejavu-extra python3 python3-aiosmtpd postfix dovecot-pop3d openssl iproute2 curl \
            clang libclang-rt-14-dev libbenchmark-dev zlib1g-dev
# Only the benchmarks' plot needs these.
BENCH_PACKAGES := python3-matplotlib

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all deps configure build run test test-asan fuzz bench demo clean

all: build

deps:
	@scripts/install-deps.sh $(PACKAGES)

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/bin/corvane

test: build
	cd $(BUILD) && ctest --output-on-failure -j 2

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON -DCORVANE_BENCH=OFF

test-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j 2

fuzz: deps
	scripts/run-fuzz.sh $(or $(FUZZ_SECONDS),60)

bench: build
	@scripts/install-deps.sh $(BENCH_PACKAGES)
	scripts/run-bench.sh

demo: build
	scripts/demo.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
