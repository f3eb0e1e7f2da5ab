# Entry points: make test (what CI runs), make coverage, make demo, make bench, make fuzz.
JOBS         ?= $(shell nproc)
FUZZ_SECONDS ?= 30
GENERATOR    := -G Ninja
# The tests whose code runs threads of its own: run again under ThreadSanitizer.
TSAN_TESTS   := connection_tests session_tests mapi_tests mapi_store_tests idmap_tests \
                store_categories_tests ipc_tests util_locks_tests
empty :=
space := $(empty) $(empty)

.PHONY: deps checks demo test unit tsan fuzz-smoke coverage bench fuzz release clean

deps:
	@./scripts/install-deps.sh

build/test/build.ninja: | deps
	cmake -S . -B build/test $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON -DOSTREL_COVERAGE=ON

build/tsan/build.ninja: | deps
	cmake -S . -B build/tsan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DOSTREL_TSAN=ON

build/release/build.ninja: | deps
	cmake -S . -B build/release $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON

build/fuzz/build.ninja: | deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_FUZZ=ON

# Layering of includes (layering.txt) and the code format (.clang-format).
checks: deps
	./scripts/check-layering.py
	./scripts/check-format.sh

# Everything CI checks: the format and layering, every test under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded ones under ThreadSanitizer, every fuzzer over its seed
# corpus (the same inputs on every run; `make fuzz` explores), and the line coverage per folder.
test: deps checks unit tsan fuzz-smoke
	./scripts/coverage-summary.py build/test

unit: deps build/test/build.ninja
	cmake -S . -B build/test -DOSTREL_COVERAGE=ON >/dev/null
	cmake --build build/test -j $(JOBS)
	find build/test -name '*.gcda' -delete
	ctest --test-dir build/test --output-on-failure -j $(JOBS)

tsan: deps build/tsan/build.ninja
	cmake --build build/tsan -j $(JOBS) --target $(TSAN_TESTS)
	ctest --test-dir build/tsan --output-on-failure -j $(JOBS) -R '^($(subst $(space),|,$(strip $(TSAN_TESTS))))$$'

fuzz-smoke: deps build/fuzz/build.ninja
	cmake --build build/fuzz -j $(JOBS)
	./scripts/run-fuzzers.sh build/fuzz/fuzz 0

# The full line-coverage report of the last test run, in build/coverage/index.html.
coverage: unit
	./scripts/coverage-summary.py build/test --html build/coverage

release: deps build/release/build.ninja
	cmake --build build/release -j $(JOBS)

demo: release
	./build/release/tools/ostrel/ostrel demo

bench: release
	./scripts/run-benchmarks.sh build/release/bench

fuzz: deps build/fuzz/build.ninja
	cmake --build build/fuzz -j $(JOBS)
	./scripts/run-fuzzers.sh build/fuzz/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build
