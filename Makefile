# make demo  - builds the package and runs the demo
# make test  - builds the package and runs the whole test suite (and the
#              unit and tcltest suites again under AddressSanitizer/UBSan, and a short run
#              of every file reader's fuzz target)
# Both install missing Debian packages first.

BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 6
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps test-deps build demo test test-asan test-fuzz install bench clean

all: build

deps:
	@tools/install-deps.sh

test-deps:
	@tools/install-deps.sh --test

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	demo/run.sh $(BUILD)

test: test-deps build test-asan test-fuzz
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The unit tests and every tcltest file against the sanitized library (the
# tcltest files run in a tclsh with the sanitizer runtime preloaded).
test-asan: test-deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKREL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target krel_unit krelcore krel_archives krel_testx
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS) -R '^(unit|tcl\..*)$$'

# Each reader's fuzz target, built with clang and run for FUZZ_SECONDS over a
# seed corpus made at test time. Only the fuzz targets are built there.
test-fuzz: test-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKREL_TESTS=OFF \
		-DKREL_FUZZ=ON -DKREL_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz
	cd $(FUZZ_BUILD) && ctest --output-on-failure -L fuzz

install: build
	cmake --install $(BUILD)

bench: build
	cmake -S . -B $(BUILD) -DKREL_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
