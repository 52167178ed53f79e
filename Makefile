# Front door. `make test` and `make demo` are the two set-up commands of a fresh machine.
.PHONY: demo all deps build test test-dev test-asan format check-format check-layers bench bench-main bench-stream bench-shapes bench-system fuzz fuzz-ci crashtest clean screenshots package check-package

JOBS ?= $(shell nproc)

all: build

deps:
	@tools/install-deps.sh

build: deps
	@cmake --preset dev >/dev/null
	@cmake --build --preset dev -j $(JOBS)

test: deps check-format check-layers test-dev test-asan fuzz-ci

test-dev:
	@cmake --preset dev >/dev/null
	@cmake --build --preset dev -j $(JOBS)
	@ctest --preset dev -j $(JOBS)

test-asan:
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	@ctest --preset asan -j $(JOBS)

# The crash states, the fault loops and the kill loop on tresmo-cli at full size (the suite
# runs them bounded).
crashtest: build
	@TRESMO_CRASH_POINTS=$${CRASH_POINTS:-10000} TRESMO_KILL_POINTS=$${KILL_POINTS:-10000} \
	 TRESMO_IO_FULL=1 build/dev/tests/tresmo_tests \
	 --gtest_filter='CrashConsistency.*:IoError.*:KillLoop.*'

format:
	@git ls-files -- '*.h' '*.cpp' | xargs -r clang-format -i

check-layers:
	@tools/check-layers.sh

check-format:
	@tools/check-format.sh

bench:
	@tools/install-deps.sh bench
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS) --target tresmo_bench
	@tools/make-corpus.sh build/corpus
	@if [ -x build/release/bench/tresmo_bench ]; then build/release/bench/tresmo_bench; \
	 else echo "no benchmarks built yet"; fi

# Peak memory and time of cat/open/diff on a 1 GiB version and of every command on delta bombs.
bench-stream:
	@tools/install-deps.sh bench
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS) --target tresmo-cli tresmo_bench_tool
	@bench/stream-memory.sh

# Peak memory and time of every command on forged tree shapes at full size (deep, wide, long).
bench-shapes:
	@tools/install-deps.sh bench
	@bench/tree-shapes.sh

# The main operation next to tar|zstd, git and find on generated trees (long: see the script).
bench-main:
	@bench/main-operation.sh

# tresmo-cli next to git, restic, borg and rdiff-backup on two generated workloads (about
# eleven minutes on two cores with the peers' installs: see doc/system-benchmarks.md;
# BENCH_FILES and BENCH_STEPS make it smaller).
bench-system:
	@bench/system.sh

fuzz:
	@tools/install-deps.sh fuzz
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	@tools/run-fuzz.sh build/fuzz/fuzz $${FUZZ_SECONDS:-60}

# Pictures of every dialog in build/screenshots, taken under a virtual X server.
screenshots:
	@tools/install-deps.sh gui-shots
	@cmake --preset dev >/dev/null
	@cmake --build --preset dev -j $(JOBS) --target tresmo_shots
	@mkdir -p build/screenshots
	@xvfb-run -a -s "-screen 0 1280x1024x24" build/dev/archive_gui/tresmo_shots build/screenshots

# Every fuzz target for a few seconds each (the clang build included), as `make test` runs it.
fuzz-ci:
	@tools/install-deps.sh fuzz
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	@tools/run-fuzz.sh build/fuzz/fuzz $${FUZZ_SECONDS:-10}

# The Debian package of both programs in build/package, and its check: installed into a scratch
# root with dpkg -x, the programs and manual pages are run from there.
package:
	@tools/install-deps.sh package
	@cmake --preset package >/dev/null
	@cmake --build --preset package -j $(JOBS)
	@cd build/package && cpack -G DEB

check-package: package
	@tools/check-package.sh build/package/tresmo_*.deb

clean:
	rm -rf build

demo:
	@JOBS=$(JOBS) tools/demo.sh
