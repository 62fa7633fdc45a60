# Thin wrapper over CMake. `make run` shows what the driver builds on the default device;
# `make test` builds and runs every test; `make check` runs them under AddressSanitizer and
# UndefinedBehaviorSanitizer; `make bench` builds and runs bench/ (and no test executables).
JOBS ?= $(shell nproc)
BUILD ?= build
CHECK_BUILD ?= build-check
BENCH_BUILD ?= build-bench

.PHONY: all build test check bench run clean format format-check

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

check:
	cmake -S . -B $(CHECK_BUILD) -DCMAKE_BUILD_TYPE=Debug -DUACSIM_SANITIZE=ON
	cmake --build $(CHECK_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(CHECK_BUILD) -j $(JOBS) --output-on-failure

run: build
	$(BUILD)/tools/uacsim/uacsim topology --device uac1-speaker

bench:
	@if [ -x bench/install-deps ]; then bench/install-deps; fi
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DUACSIM_BENCH=ON -DUACSIM_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target benches
	@for b in $$(find $(BENCH_BUILD)/bench -maxdepth 1 -type f -executable -name 'bench_*' | sort); do \
		echo "== $$b"; $$b || exit 1; done

clean:
	rm -rf $(BUILD) $(CHECK_BUILD) $(BENCH_BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Fails, naming the files, when any tracked source differs from the project's layout.
format-check:
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
