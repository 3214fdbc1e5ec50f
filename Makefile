# A newcomer's entry points: `make demo`, `make test`, `make run`; `make
# windows` for the Windows build. Every target first makes sure the Debian
# packages are there.

PACKAGES := cmake g++ make ninja-build pkg-config \
            qt6-base-dev libgl-dev libsystemd-dev \
            fonts-dejavu-core fonts-dejavu-extra python3 python3-aiosmtpd postfix dovecot-pop3d tinyproxy openssl iproute2 curl \
            clang libclang-rt-14-dev libbenchmark-dev zlib1g-dev \
            libssl-dev python3-jwt python3-cryptography
# Only the benchmarks' plot needs these.
BENCH_PACKAGES := python3-matplotlib
# Only `make deb` needs these: dpkg-shlibdeps, the ELF test CPack runs before
# it, and lintian.
DEB_PACKAGES := dpkg-dev file lintian

# Only the Windows build needs these: the mingw-w64 cross compilers (posix
# threads, as Qt needs), Wine to run the tests, NSIS for the installer, and
# what packaging/windows/build-sdk.sh takes to build the SDK from Debian's
# source packages (dpkg-source, Qt's host tools).
WIN_PACKAGES := g++-mingw-w64-x86-64-posix wine wine64 nsis dpkg-dev xz-utils qt6-base-dev-tools

BUILD      ?= build
ASAN_BUILD ?= build-asan
DEB_BUILD  ?= build-deb
WIN_BUILD  ?= build-win
# The Windows SDK (Qt, OpenSSL, zlib built for Windows). Where it is missing,
# WIN_SDK_TARBALL (a prebuilt one, as packaging/windows/build-sdk.sh makes
# it) is unpacked; without one it is built from Debian's sources (40 minutes).
WIN_SDK    ?= /opt/corvane-win-sdk
WIN_SDK_TARBALL ?=
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all deps configure build run test test-asan fuzz bench bench-storm demo deb windows test-windows win-deps win-sdk clean

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

# The alarm storm (300 alarms to 3 lists through a server that takes 30 a
# minute) with Digest_Seconds 30 and 0: about 17 minutes, so not in `make bench`.
bench-storm: build
	BUILD=$(BUILD) bash bench/app/run.sh storm --out $(or $(BENCH_OUT),$(BUILD)/bench-results)/storm.csv

demo: build
	scripts/demo.sh

# The Debian package, corvane_<version>_<arch>.deb in this folder. Built in a
# folder of its own with Debian's hardening flags; only the two programs, not
# the tests. lintian must find no error and no warning that is not overridden.
DEB_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
deb: deps
	@scripts/install-deps.sh $(DEB_PACKAGES)
	cmake -S . -B $(DEB_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BENCH=OFF \
	  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
	  -DCMAKE_C_FLAGS="$$($(DEB_FLAGS) CPPFLAGS) $$($(DEB_FLAGS) CFLAGS)" \
	  -DCMAKE_CXX_FLAGS="$$($(DEB_FLAGS) CPPFLAGS) $$($(DEB_FLAGS) CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)"
	cmake --build $(DEB_BUILD) -j $(JOBS) --target corvane corvane-send deb_changelog
	rm -f $(DEB_BUILD)/corvane_*.deb
	cd $(DEB_BUILD) && cpack -G DEB
	lintian --fail-on error,warning $(DEB_BUILD)/corvane_*.deb
	rm -f corvane_*.deb
	cp $(DEB_BUILD)/corvane_*.deb .

# Windows x64: $(WIN_BUILD)/corvane-<version>-win64.zip and
# $(WIN_BUILD)/corvane-<version>-setup.exe (NSIS).
win-deps: deps
	@scripts/install-deps.sh $(WIN_PACKAGES)

win-sdk: win-deps
	@packaging/windows/get-sdk.sh "$(WIN_SDK)" "$(WIN_SDK_TARBALL)"

$(WIN_BUILD)/build.ninja:
	cmake -S . -B $(WIN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_BENCH=OFF \
	  -DCMAKE_TOOLCHAIN_FILE=$(WIN_SDK)/mingw-w64-x86_64.cmake -DCMAKE_PREFIX_PATH=$(WIN_SDK) \
	  -DCORVANE_WIN_SDK=$(WIN_SDK) \
	  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake

windows: win-sdk $(WIN_BUILD)/build.ninja
	cmake --build $(WIN_BUILD) -j $(JOBS) --target windows-package

# The unit tests under Wine, the program end to end, the installer.
test-windows: windows
	cmake --build $(WIN_BUILD) -j $(JOBS)
	cd $(WIN_BUILD) && ctest --output-on-failure -j 2

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(DEB_BUILD) $(WIN_BUILD) build-fuzz
