# Thin wrapper over CMake. `make run` plays a short generated tone through the driver on the
# default device and prints the device's report; `make test` builds and runs every test;
# `make check` runs them under AddressSanitizer and UndefinedBehaviorSanitizer; `make bench`
# builds and runs bench/ (and no test executables). `make check` ends with a short fixed run
# of the fuzz target (fuzz/); `make fuzz` runs a long one.
# Every target first runs tools/install-deps, which installs (with apt-get, only when missing)
# the packages it needs; .ci/run uses the same script.
JOBS ?= $(shell nproc)
BUILD ?= build
CHECK_BUILD ?= build-check
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
FUZZ_CHECK_BUILD ?= build-fuzz-check
# The fuzz step of `make check` is a fixed count from a fixed seed; `make fuzz` runs FUZZ_RUNS
# inputs and keeps the corpus it grows in $(FUZZ_BUILD)/session; FUZZ_ARGS passes any other
# libFuzzer options (-jobs=4, -max_total_time=3600, -seed=N).
FUZZ_CHECK_RUNS ?= 300
FUZZ_RUNS ?= 200000
FUZZ_ARGS ?=
# The fixed run of `make check` has its own tree, built unoptimised with line tables only: still
# the same target with the sanitizers and coverage feedback, for well under half the compile
# time of the optimised tree, which a few hundred inputs would never repay.
FUZZ_CHECK_FLAGS ?= -O0 -gline-tables-only -DNDEBUG

.PHONY: all build test check bench run clean format format-check fuzz fuzz-build fuzz-check-build

all: build

build:
	tools/install-deps build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

check:
	tools/install-deps check
	cmake -S . -B $(CHECK_BUILD) -DCMAKE_BUILD_TYPE=Debug -DUACSIM_SANITIZE=ON
	cmake --build $(CHECK_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(CHECK_BUILD) -j $(JOBS) --output-on-failure
	$(MAKE) fuzz-check-build
	fuzz/run $(FUZZ_CHECK_BUILD)/fuzz/fuzz_descriptors $(FUZZ_CHECK_BUILD)/check --fresh -runs=$(FUZZ_CHECK_RUNS) -seed=1 -timeout=60

# libFuzzer needs clang; the fuzz build is its own tree with coverage instrumentation and the
# sanitizers, and builds only the fuzz target.
fuzz-build:
	tools/install-deps check
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUACSIM_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_descriptors

fuzz-check-build:
	tools/install-deps check
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_CHECK_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUACSIM_FUZZ=ON \
		"-DCMAKE_C_FLAGS_RELWITHDEBINFO=$(FUZZ_CHECK_FLAGS)" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$(FUZZ_CHECK_FLAGS)"
	cmake --build $(FUZZ_CHECK_BUILD) -j $(JOBS) --target fuzz_descriptors

fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD)/fuzz/fuzz_descriptors $(FUZZ_BUILD)/session -runs=$(FUZZ_RUNS) -seed=1 -timeout=60 $(FUZZ_ARGS)

# Two seconds of a 16-bit stereo tone at 48 kHz through the driver on the class-1 speaker. It
# builds only what it runs, the runner and the tone maker (and the libraries under them), not
# the test programs.
RUN_TONE ?= $(BUILD)/tone.wav
run:
	tools/install-deps build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS) --target uacsim make_tone
	$(BUILD)/tools/uacsim/make_tone $(RUN_TONE) 2 48000 2 16
	$(BUILD)/tools/uacsim/uacsim play $(RUN_TONE) --device uac1-speaker

bench:
	tools/install-deps bench
	@if [ -x bench/install-deps ]; then bench/install-deps; fi
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DUACSIM_BENCH=ON -DUACSIM_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target benches
	@for b in $$(find $(BENCH_BUILD)/bench -maxdepth 1 -type f -executable -name 'bench_*' | sort); do \
		echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(CHECK_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) $(FUZZ_CHECK_BUILD)

format:
	tools/install-deps format
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Fails, naming the files, when any tracked source differs from the project's layout.
format-check:
	tools/install-deps format
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
