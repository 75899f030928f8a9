# Set-up, build, test and demo. Each target installs what is missing first.
BUILD_TEST  := build/asan
BUILD_MAIN  := build/release
GENERATOR   := -G Ninja
JOBS        ?= $(shell nproc)
FUZZ_SECONDS ?= 30
# The fault suite's cases mostly wait; they run in two jobs of their own beside one job per
# processor for the other tests (the resource file written by the test configuration).
CTEST_JOBS  := $(shell echo $$(( $(JOBS) + 2 )))

BUILD_TSAN  := build/tsan
# The sanitizer builds keep line tables only: reports still name file and line, and the
# builds take a good part less time than with full debug information.
CHECK_FLAGS := -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1
# The suites run under ThreadSanitizer, those of them that exist in the tree.
TSAN_SUITES := networking_tests apiclient_tests \
               $(if $(wildcard tests/cache/CMakeLists.txt),cache_tests) \
               $(if $(wildcard tests/contentctl/CMakeLists.txt),contentctl_tests)
# The suites mostly wait on their loopback services (a few seconds of processor time each
# under ASan against tens of seconds run), so all of them run at once.
TSAN_JOBS   := $(words $(TSAN_SUITES))
TSAN_CONFIGURE = cmake -S . -B $(BUILD_TSAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DBV_TSAN=ON -DBV_BUILD_BENCH=OFF $(CHECK_FLAGS)
TSAN_BUILD     = cmake --build $(BUILD_TSAN) -j $(JOBS) --target $(TSAN_SUITES)

.PHONY: all deps build test tsan demo bench bench-e2e package install format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_MAIN) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_BUILD_TESTS=OFF -DBV_BUILD_BENCH=OFF
	cmake --build $(BUILD_MAIN) -j $(JOBS)

test: deps
	cmake -S . -B $(BUILD_TEST) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DBV_SANITIZE=ON -DBV_BUILD_BENCH=OFF $(CHECK_FLAGS)
	cmake --build $(BUILD_TEST) -j $(JOBS)
	$(TSAN_CONFIGURE)
# The ASan tests mostly wait, so the ThreadSanitizer build runs beside them at the lowest
# priority: it takes only the processor time the tests leave. Its output goes to a log.
	@nice -n 19 $(TSAN_BUILD) >$(BUILD_TSAN)/build.log 2>&1 & build=$$!; \
	(cd $(BUILD_TEST) && ctest --output-on-failure -j $(CTEST_JOBS) --resource-spec-file ctest-resources.json); \
	tests=$$?; wait $$build; built=$$?; \
	if [ $$built -ne 0 ]; then tail -60 $(BUILD_TSAN)/build.log; echo "the ThreadSanitizer build failed" >&2; fi; \
	[ $$tests -eq 0 ] && [ $$built -eq 0 ]
	$(MAKE) --no-print-directory tsan
	scripts/fuzz.sh $(FUZZ_SECONDS)
	scripts/package-check.sh $(BUILD_TEST)

tsan: deps
	$(TSAN_CONFIGURE)
	$(TSAN_BUILD)
	cd $(BUILD_TSAN) && ctest -L tsan --output-on-failure -j $(TSAN_JOBS)

demo: build
	scripts/demo.sh $(BUILD_MAIN)

# The Debian packages brimvault and brimvault-server, from the optimised build.
package: build
	cd $(BUILD_MAIN) && cpack -G DEB
	@ls $(BUILD_MAIN)/*.deb

PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD_MAIN) --prefix $(PREFIX)

bench: deps
	cmake -S . -B build/bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=OFF
	cmake --build build/bench -j $(JOBS)
	scripts/bench.sh build/bench

# One table of ratios against the baselines, measured in one run on a loopback service; the
# mounting test program is needed, so the tests are configured too (only it is built).
bench-e2e: deps
	cmake -S . -B build/bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DBV_BUILD_TESTS=ON
	cmake --build build/bench -j $(JOBS) --target bvmount brimvault-server bench_keelhaven_sync
	bench/e2e/bench-e2e.sh build/bench

format:
	find src server tests bench -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf build
