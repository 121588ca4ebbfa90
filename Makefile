# Front door: `make demo` runs the end-to-end demonstration, `make test` runs every test
# (plain build, then ASan+UBSan and TSan builds of the whole suite), `make bench` prints the
# benchmark figures, `make stress` repeats the sanitizer builds' unit and stress tests. Each
# installs missing Debian packages first.

JOBS ?= 2
CTEST_FLAGS ?= --output-on-failure --no-tests=error -j$(JOBS)
GEN := -G Ninja -DBRISVANE_BUILD_BENCH=OFF

.PHONY: all deps build test test-plain install-check build-asan-tree build-tsan-tree test-asan test-tsan \
        stress fuzz-smoke bench demo clean

all: build

deps:
	@scripts/install-deps.sh

# The plain tree builds the benchmarks too, so that a change that breaks them fails `make test`.
build: deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISVANE_BUILD_BENCH=ON
	cmake --build build -j$(JOBS)

test: deps test-plain install-check test-asan test-tsan fuzz-smoke
	@echo "all test runs passed"

test-plain: build
	ctest --test-dir build $(CTEST_FLAGS)

install-check: build
	scripts/check-install.sh

build-asan-tree: deps
	cmake -S . -B build-asan $(GEN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_C_COMPILER=clang -DBRISVANE_SANITIZE=address,undefined
	cmake --build build-asan -j$(JOBS)

build-tsan-tree: deps
	cmake -S . -B build-tsan $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRISVANE_SANITIZE=thread
	cmake --build build-tsan -j$(JOBS)

test-asan: build-asan-tree
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan $(CTEST_FLAGS)

test-tsan: build-tsan-tree
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  scripts/run-tsan.sh ctest --test-dir build-tsan $(CTEST_FLAGS)

# Not part of `make test`: the unit and stress tests of both sanitizer builds, STRESS_REPEAT times
# (default 20), with the number of failed runs per test.
stress: build-asan-tree build-tsan-tree
	JOBS=$(JOBS) scripts/stress.sh build-asan build-tsan

fuzz-smoke: deps
	scripts/fuzz-smoke.sh

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRISVANE_BUILD_TESTS=OFF
	cmake --build build-bench -j$(JOBS)
	scripts/run-benchmarks.sh build-bench

demo: deps
	cmake -S . -B build $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j$(JOBS) --target brisvane-demo
	build/tools/brisvane-demo/brisvane-demo

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
