# Thin wrapper over CMake. `make demo` and `make test` install what is missing first.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
# The makes that CMake's build runs would each announce every folder they enter
# and leave; CMake's own progress lines say enough.
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build test install demo bench asan-test clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The tools, the library, its header, CMake package and pkg-config file, and
# the Python module, under PREFIX.
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

# Only the two programs that the demo runs, not the tests and benchmarks.
demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target stereo-rectify stereo-rectify-inspect
	@scripts/demo $(BUILD)

bench: build
	@scripts/bench $(BUILD)

# Every test again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DSTEREO_RECTIFY_SANITIZE=ON -DSTEREO_RECTIFY_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
