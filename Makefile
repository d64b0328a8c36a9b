# Thin front end over CMake + Ninja. `make demo` and `make test` are the
# two commands a newcomer needs; the rest serve development and CI.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
PKG_BUILD  ?= build-pkg
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
FUZZ_SECONDS ?= 30

.PHONY: all deps build test test-sanitize demo bench fuzz format clean install package

all: build

deps:
	@scripts/install-deps.sh

# The development builds treat warnings as errors; a plain cmake build does not.
DEV_FLAGS  ?= -DKEL_WERROR=ON

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS)

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKEL_SANITIZE=ON $(DEV_FLAGS)

test-sanitize: $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# Builds the program alone, not the tests: a first run should not wait for them.
demo: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target kelindex
	@scripts/demo.sh $(BUILD)/kelindex

bench: build
	@scripts/install-deps.sh --bench
	@bench/run_bench.sh $(BUILD)

$(FUZZ_BUILD)/build.ninja: | deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEL_FUZZ=ON $(DEV_FLAGS)

fuzz: $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@scripts/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# What an installation holds: the two programs and the reader library; the
# tests need not be built for it.
INSTALL_TARGETS = kelindex kelisi kelisi_static kelisi_shared

install: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target $(INSTALL_TARGETS)
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package (CPack's DEB generator), from a release build of its own
# without tests or benchmarks, installed under /usr.
package: | deps
	cmake -S . -B $(PKG_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEL_BUILD_TESTS=OFF \
	  -DKEL_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(PKG_BUILD) -j $(JOBS)
	cd $(PKG_BUILD) && cpack -G DEB
	@ls $(PKG_BUILD)/*.deb

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PKG_BUILD)
