# Thin front end over CMake + Ninja. `make demo` and `make test` are the
# two commands a newcomer needs; the rest serve installation, packaging,
# development and CI. Each target installs the Debian packages it needs
# (scripts/install-deps.sh TARGET) and no others.
BUILD         ?= build
ASAN_BUILD    ?= build-asan
FUZZ_BUILD    ?= build-fuzz
PKG_BUILD     ?= build-pkg
RELEASE_BUILD ?= build-release
BE_BUILD      ?= build-bigendian
JOBS          ?= $(shell nproc)
PREFIX        ?= /usr/local
FUZZ_SECONDS  ?= 30

.PHONY: all deps build test test-sanitize test-bigendian demo bench fuzz format clean install \
        uninstall package test-package

all: build

deps:
	@scripts/install-deps.sh

# The development builds treat warnings as errors; a plain cmake build, and
# the builds a user installs or packages, do not.
DEV_FLAGS  ?= -DKEL_WERROR=ON

$(BUILD)/build.ninja:
	@scripts/install-deps.sh test
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN_BUILD)/build.ninja:
	@scripts/install-deps.sh test
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=ON $(DEV_FLAGS)

test-sanitize: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# The programs, the library and the suites that need nothing of the build
# machine's, cross-built for s390x and run under qemu: a big-endian
# machine, where a build writes the other byte order and little-endian
# indexes are the translated ones.
$(BE_BUILD)/build.ninja:
	@scripts/install-deps.sh bigendian
	cmake -S . -B $(BE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake -DKEL_BUILD_BENCH=OFF $(DEV_FLAGS)

test-bigendian: $(BE_BUILD)/build.ninja
	cmake --build $(BE_BUILD) -j $(JOBS)
	cd $(BE_BUILD) && ctest --output-on-failure -j $(JOBS)

# The release build of the programs and the library alone, without tests or
# benchmarks: what the demo runs and what `make install` installs.
$(RELEASE_BUILD)/build.ninja:
	@scripts/install-deps.sh demo
	cmake -S . -B $(RELEASE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEL_BUILD_TESTS=OFF \
	  -DKEL_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX)

demo: $(RELEASE_BUILD)/build.ninja
	cmake --build $(RELEASE_BUILD) -j $(JOBS) --target kelindex kelisi
	@scripts/demo.sh $(RELEASE_BUILD)

# Stripped, into PREFIX (DESTDIR is honoured); as root into the system's
# directories, ldconfig then updates the linker's cache. `make uninstall`
# removes every file the last install wrote and every folder it made.
install: $(RELEASE_BUILD)/build.ninja
	cmake --build $(RELEASE_BUILD) -j $(JOBS)
	@DESTDIR="$(DESTDIR)" scripts/install.sh $(RELEASE_BUILD) $(PREFIX)
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" = 0 ]; then ldconfig; fi

uninstall:
	@DESTDIR="$(DESTDIR)" scripts/uninstall.sh $(RELEASE_BUILD)
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" = 0 ]; then ldconfig; fi

bench:
	@scripts/install-deps.sh bench test
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	@bench/run_bench.sh $(BUILD)

$(FUZZ_BUILD)/build.ninja:
	@scripts/install-deps.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_FUZZ=ON $(DEV_FLAGS)

fuzz: $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The Debian packages (libkelisi1, libkelisi-dev, kelindex; CPack's DEB
# generator), from a release build of their own without tests or
# benchmarks, installed under /usr, with the hardening flags Debian builds
# its packages with (dpkg-buildflags; taken when PKG_BUILD is configured).
package:
	@scripts/install-deps.sh package
	eval "$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CFLAGS_MAINT_STRIP=-g \
	  DEB_CXXFLAGS_MAINT_STRIP=-g dpkg-buildflags --export=sh)"; \
	CFLAGS="$$CFLAGS $$CPPFLAGS" CXXFLAGS="$$CXXFLAGS $$CPPFLAGS" \
	cmake -S . -B $(PKG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEL_BUILD_TESTS=OFF \
	  -DKEL_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PKG_BUILD) -j $(JOBS)
	cd $(PKG_BUILD) && rm -f *.deb && cpack -G DEB
	@ls $(PKG_BUILD)/*.deb

# The packages checked by lintian, installed into a scratch root and used
# by a C client; CI runs it.
test-package: package
	@scripts/test-package.sh $(PKG_BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PKG_BUILD) $(RELEASE_BUILD) $(BE_BUILD)
