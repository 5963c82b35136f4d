# Thin driver over CMake.  `make run` and `make test` are the two commands a
# new user needs; everything else is for developers and CI.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE      ?= cmake
SHARED_BENCH ?= ../shared/bench
CTEST_ARGS ?= --output-on-failure -j $(JOBS)

.PHONY: all build run test test-asan bench clean

all: build

$(BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/CMakeCache.txt
	$(CMAKE) --build $(BUILD) -j $(JOBS)

run: build
	@sh examples/run-example.sh $(BUILD)

test: build
	cd $(BUILD) && ctest $(CTEST_ARGS)

$(ASAN_BUILD)/CMakeCache.txt:
	$(CMAKE) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSYMKEEP_SANITIZE=ON

test-asan: $(ASAN_BUILD)/CMakeCache.txt
	$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest $(CTEST_ARGS)

# Builds million-symbol inputs with the real assembler and linker (once),
# then times symkeep against the floor and GNU objcopy.
bench: build
	python3 bench/run.py $(BUILD) $(SHARED_BENCH)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
