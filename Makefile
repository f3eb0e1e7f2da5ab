# Entry points: make demo, make test, make bench, make fuzz.
JOBS        ?= $(shell nproc)
FUZZ_SECONDS ?= 30
GENERATOR   := -G Ninja

.PHONY: deps checks demo test bench fuzz release clean

deps:
	@./scripts/install-deps.sh

build/test/build.ninja: | deps
	cmake -S . -B build/test $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DOSTREL_SANITIZE=ON

build/release/build.ninja: | deps
	cmake -S . -B build/release $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DOSTREL_BENCH=ON

build/fuzz/build.ninja: | deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_FUZZ=ON

# Layering of includes (layering.txt) and the code format (.clang-format).
checks: deps
	./scripts/check-layering.py
	./scripts/check-format.sh

test: deps checks build/test/build.ninja
	cmake --build build/test -j $(JOBS)
	ctest --test-dir build/test --output-on-failure -j $(JOBS)

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
