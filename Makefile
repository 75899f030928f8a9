# Set-up, build, test and demo. Each target installs what is missing first.
BUILD_TEST  := build/asan
BUILD_MAIN  := build/release
GENERATOR   := -G Ninja
JOBS        ?= $(shell nproc)
FUZZ_SECONDS ?= 30

.PHONY: all deps build test demo bench format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_MAIN) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=OFF
	cmake --build $(BUILD_MAIN) -j $(JOBS)

test: deps
	cmake -S . -B $(BUILD_TEST) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DBV_SANITIZE=ON -DBV_BUILD_BENCH=OFF
	cmake --build $(BUILD_TEST) -j $(JOBS)
	cd $(BUILD_TEST) && ctest --output-on-failure -j $(JOBS)
	scripts/fuzz.sh $(FUZZ_SECONDS)

demo: build
	scripts/demo.sh $(BUILD_MAIN)

bench: deps
	cmake -S . -B build/bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF
	cmake --build build/bench -j $(JOBS)
	scripts/bench.sh build/bench

format:
	find src server tests bench -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
