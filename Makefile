# The newcomer's entry points. Each build lives in its own folder.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps demo test test-asan test-tsan bench fuzz clean

deps:
	@scripts/install-deps.sh

# The updater's main job against a simulated module and the test update server, inside a
# private network namespace; everything it stores stays under build/demo.
demo: deps
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target updater simmodule bird_generator
	scripts/demo.sh build

# Normal build, whole suite.
test: deps
	cmake -S . -B build $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	ctest --test-dir build -j $(JOBS) --output-on-failure --timeout 300

# Whole suite (fuzz corpus replays included) under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQF_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan -j $(JOBS) --output-on-failure --timeout 600

# The tests labelled "threads" under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQF_SANITIZE=thread $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --test-dir build-tsan -L threads -j $(JOBS) --output-on-failure --timeout 600

# Benchmarks, each printing its figure beside the bound measured in the same run.
bench: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	@for b in build/bench/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done; true

# Real coverage-guided fuzzing (needs clang with libFuzzer), 60 s per target.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug \
	  -DQF_SANITIZE=address,undefined -DQF_LIBFUZZER=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)
	@for f in build-fuzz/fuzz/fuzz_*; do \
	  name=$${f##*/fuzz_}; mkdir -p build-fuzz/corpus/$$name; \
	  "$$f" -max_total_time=60 build-fuzz/corpus/$$name fuzz/corpus/$$name || exit 1; done

clean:
	rm -rf build build-asan build-tsan build-fuzz
