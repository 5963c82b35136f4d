# Thin driver over CMake.  `make run` and `make test` are the two commands a
# new user needs, `make install` and `make package` the two a packager needs;
# everything else is for developers and CI.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE      ?= cmake
SHARED_BENCH ?= ../shared/bench
CTEST_ARGS ?= --output-on-failure -j $(JOBS)
PREFIX     ?= /usr/local

.PHONY: all build programs run install package test test-asan test-valgrind fuzz-smoke bench clean

all: build

$(BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

# A tree that `make run` configured has no tests yet: they come in here.
build: $(BUILD)/CMakeCache.txt
	@if grep -q '^SYMKEEP_TESTS:BOOL=OFF' $(BUILD)/CMakeCache.txt; then \
	    $(CMAKE) -S . -B $(BUILD) -DSYMKEEP_TESTS=ON; fi
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# The two installed programs alone, without the test suite.
programs: $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) --target symkeep rnecat -j $(JOBS)

# Builds symkeep only: a first run should not wait for the test suite, nor
# for its configuration (nor need GoogleTest), so a fresh tree is configured
# without the tests; `make build` and `make test` add them.
run:
	@[ -f $(BUILD)/CMakeCache.txt ] || \
	    $(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DSYMKEEP_TESTS=OFF
	$(CMAKE) --build $(BUILD) --target symkeep -j $(JOBS)
	@sh examples/run-example.sh $(BUILD)

# Binaries into $(PREFIX)/bin, manual pages into $(PREFIX)/share/man/man1;
# DESTDIR, when set, is put in front of every path.
install: programs
	$(CMAKE) --install $(BUILD) --prefix $(PREFIX)

# A Debian package (.deb) in $(BUILD)/, installing under /usr.
package: programs
	cd $(BUILD) && cpack -G DEB

test: build
	cd $(BUILD) && ctest $(CTEST_ARGS)

$(ASAN_BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSYMKEEP_SANITIZE=ON

test-asan: $(ASAN_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest $(CTEST_ARGS)

# The end-to-end suite with every run of the product under valgrind's
# memcheck; any error it finds makes that run exit 99, failing its test.
VALGRIND ?= valgrind -q --error-exitcode=99 --leak-check=no
test-valgrind: build
	cd $(BUILD) && SYMKEEP_TEST_WRAPPER="$(VALGRIND)" ctest $(CTEST_ARGS) -L e2e_tests

# Every fuzz target (clang, libFuzzer) over its corpus and regression
# inputs, FUZZ_SECONDS each.
FUZZ_SECONDS ?= 60
fuzz-smoke:
	tests/fuzz/run.sh $(FUZZ_SECONDS)

# Builds million-symbol inputs with the real assembler and linker (once),
# then times symkeep against the floor and GNU objcopy.
bench: build
	python3 bench/run.py $(BUILD) $(SHARED_BENCH)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)

# --- Windows cross build (mingw-w64) and its tests under wine -------------
# `make windows` builds build-win/symkeep.exe; `make test-windows` builds
# everything and runs the suite under wine in a throw-away prefix, with a
# persistent wineserver (without one every test waits for a server start).
# The real executables of every class and byte order come from the Linux
# build's cache (build/e2e-progs, made by `make test`): no cross compiler
# runs under wine.
WIN_BUILD ?= build-win
WIN_JOBS  ?= 2
WINE64    ?= $(firstword $(wildcard /usr/lib/wine/wine64) wine64)
WINESERVER ?= $(firstword $(wildcard /usr/lib/wine/wineserver64) wineserver)
WIN_ENV = SYMKEEP_PROGS_FROM=$(CURDIR)/build/e2e-progs WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d" SYMKEEP_WINE=$(WINE64)

.PHONY: windows test-windows compare-windows

$(WIN_BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release

windows: $(WIN_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(WIN_BUILD) --target symkeep rnecat -j $(WIN_JOBS)

# symkeep.exe under wine must produce the Linux build's bytes, status and
# messages on every input of the corpus (after `make test`, which builds
# the real executables of every class and byte order).
compare-windows: windows build
	@prefix=$$(mktemp -d /tmp/symkeep-wine.XXXXXX); \
	export WINEPREFIX=$$prefix $(WIN_ENV); \
	$(WINE64) reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >/dev/null 2>&1; \
	$(WINESERVER) -p; \
	rc=0; sh cmake/compare-outputs.sh $(BUILD) $(WIN_BUILD) || rc=$$?; \
	$(WINESERVER) -k; rm -rf $$prefix; exit $$rc

test-windows: $(WIN_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(WIN_BUILD) -j $(WIN_JOBS)
	@prefix=$$(mktemp -d /tmp/symkeep-wine.XXXXXX); \
	export WINEPREFIX=$$prefix $(WIN_ENV); \
	$(WINE64) reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >/dev/null 2>&1; \
	$(WINESERVER) -p; \
	rc=0; (cd $(WIN_BUILD) && ctest $(CTEST_ARGS)) || rc=$$?; \
	if [ $$rc -eq 0 ]; then sh cmake/compare-outputs.sh build $(WIN_BUILD) || rc=$$?; fi; \
	$(WINESERVER) -k; rm -rf $$prefix; exit $$rc
