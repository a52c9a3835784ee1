# Thin wrapper around CMake so that the README's commands work as they stand.
BUILD   ?= build
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
# CI sets CI: there every warning, gcc's or clang's, fails the build.
WERROR  := $(if $(CI),ON,OFF)

PREFIX  ?= /usr/local

.PHONY: all deps check test crash clean format demo install uninstall deb deb-test fuzz fuzz-build bench

all: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release \
	      -DDORVANE_TESTS=OFF -DDORVANE_WERROR=$(WERROR)
	cmake --build $(BUILD)/release -j $(JOBS)
	@echo "built $(BUILD)/release/dorvane"

deps:
	@scripts/install-deps build

# The test build stops on any undefined behaviour or leak.
check:
	@scripts/install-deps test
	cmake -S . -B $(BUILD)/check -DCMAKE_BUILD_TYPE=Debug \
	      -DDORVANE_SANITIZE=ON -DDORVANE_WERROR=$(WERROR)
	cmake --build $(BUILD)/check -j $(JOBS)
	cd $(BUILD)/check && ASAN_OPTIONS=detect_leaks=1 \
	    ctest --output-on-failure --timeout 600 -j 1
	$(MAKE) --no-print-directory fuzz-build
	cd $(BUILD)/fuzz && FUZZ_SECONDS=$(FUZZ_CHECK_SECONDS) \
	    ctest --output-on-failure --timeout 600 -j 1

# Every crash state of the recorded runs, where make check takes a sample of
# a thousand and more, and five power losses after each step instead of one.
crash:
	@scripts/install-deps test
	cmake -S . -B $(BUILD)/check -DCMAKE_BUILD_TYPE=Debug \
	      -DDORVANE_SANITIZE=ON -DDORVANE_WERROR=$(WERROR)
	cmake --build $(BUILD)/check -j $(JOBS)
	cd $(BUILD)/check && TZ=UTC DORVANE_CRASH_FULL=1 ./dorvane_tests --gtest_filter='Crash.*'

# The libFuzzer targets of fuzz/, built by clang in a build of their own.
# `make fuzz` runs each for FUZZ_SECONDS; `make check` replays every seed
# and kept failure and runs each target for FUZZ_CHECK_SECONDS.
FUZZ_SECONDS       ?= 300
FUZZ_CHECK_SECONDS ?= 30

fuzz-build:
	@scripts/install-deps test
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE= \
	      -DDORVANE_FUZZ=ON -DDORVANE_TESTS=OFF -DDORVANE_WERROR=$(WERROR)
	cmake --build $(BUILD)/fuzz -j $(JOBS) --target fuzzers

fuzz: fuzz-build
	cd $(BUILD)/fuzz && FUZZ_SECONDS=$(FUZZ_SECONDS) \
	    ctest --output-on-failure --timeout $$(($(FUZZ_SECONDS) + 600)) -j 1

test: check

# Release build of the benchmarks; prints one table (bench/README.md).
bench:
	@scripts/install-deps test
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release \
	      -DDORVANE_TESTS=OFF -DDORVANE_BENCH=ON -DDORVANE_WERROR=$(WERROR)
	cmake --build $(BUILD)/bench -j $(JOBS)
	bench/run $(BUILD)/bench

# Collects this machine's metrics for twenty seconds and draws them.
demo: all
	scripts/demo

# DESTDIR is honoured by cmake --install as it is by make install. Also
# installs the example configuration where none is (cmake/install-config.cmake).
install: all
	cmake --install $(BUILD)/release --prefix $(PREFIX)

# Removes what install put there, but a configuration that was changed and
# the store (scripts/uninstall).
uninstall: all
	scripts/uninstall $(BUILD)/release $(PREFIX)

# The Debian package, built from a copy of the tree so that
# dpkg-buildpackage leaves the package and its companions in $(BUILD)/deb.
deb:
	@scripts/install-deps deb
	rm -rf $(BUILD)/deb
	mkdir -p $(BUILD)/deb/dorvane
	tar -c --exclude=./$(BUILD) --exclude=./.git --exclude='./obj-*' . | \
	    tar -x -C $(BUILD)/deb/dorvane
	cd $(BUILD)/deb/dorvane && dpkg-buildpackage -us -uc -b -J$(JOBS)
	@ls $(BUILD)/deb/*.deb

# Checks the package, then installs, runs, removes and purges it for real:
# run it on a throw-away machine or in a container (README).
deb-test: deb
	tests/deb.sh $(BUILD)/deb

format:
	clang-format -i $$(git ls-files 'src/*.cc' 'src/*.h')

clean:
	rm -rf $(BUILD)
