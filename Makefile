# The newcomer's entry points. Each build lives in its own folder.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps demo test test-asan test-tsan bench fuzz format format-check clean

# What each build configures beside the program and the library (CMAKE_FLAGS, given last, can
# override). The test builds leave out the benchmarks, the benchmark and fuzz builds the tests.
TEST_OPTIONS = -DQF_BUILD_TESTS=ON -DQF_BUILD_FUZZERS=ON -DQF_BUILD_BENCHMARKS=OFF
BENCH_OPTIONS = -DQF_BUILD_TESTS=OFF -DQF_BUILD_FUZZERS=OFF -DQF_BUILD_BENCHMARKS=ON
FUZZ_OPTIONS = -DQF_BUILD_TESTS=OFF -DQF_BUILD_FUZZERS=ON -DQF_BUILD_BENCHMARKS=OFF

# Every purpose's packages; each target below installs only its own (scripts/install-deps.sh).
deps:
	@scripts/install-deps.sh

# The updater's main job against a simulated module and the test update server, inside a
# private network namespace; everything it stores stays under build/demo.
# It shares build/ with `make test` (its bird file generator is one of the test helpers).
demo:
	@scripts/install-deps.sh build tests demo
	cmake -S . -B build $(TEST_OPTIONS) $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target updater simmodule bird_generator
	scripts/demo.sh build

# Normal build, whole suite.
test:
	@scripts/install-deps.sh build tests
	cmake -S . -B build $(TEST_OPTIONS) $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)
	ctest --test-dir build -j $(JOBS) --output-on-failure --timeout 300

# Whole suite (fuzz corpus replays included) under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	@scripts/install-deps.sh build tests
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQF_SANITIZE=address,undefined \
	  $(TEST_OPTIONS) $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan -j $(JOBS) --output-on-failure --timeout 600

# The tests labelled "threads" under ThreadSanitizer.
test-tsan:
	@scripts/install-deps.sh build tests
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQF_SANITIZE=thread $(TEST_OPTIONS) $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --test-dir build-tsan -L threads -j $(JOBS) --output-on-failure --timeout 600

# Benchmarks, each printing its figure beside the bound it is compared with, measured in the same
# run. A Release build of its own folder, so that the test builds keep their settings.
# BENCH_SHORT=1 runs each benchmark once and briefly (CI: it still builds and starts them all).
BENCH_SHORT ?=
BENCH_ARGS = $(if $(BENCH_SHORT),--benchmark_min_time=0.01)
# The benchmarks use the test helpers (bird files, child processes), hence the tests' packages.
bench:
	@scripts/install-deps.sh build tests benchmarks
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release $(BENCH_OPTIONS) $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS) --target benchmarks
	@rm -f build-bench/aims.txt; for b in build-bench/bench/bench_*; do \
	  [ -x "$$b" ] || continue; echo "== $$b"; "$$b" $(BENCH_ARGS) > build-bench/bench-output.txt || exit 1; \
	  cat build-bench/bench-output.txt; grep -E '^aim (met|missed): ' build-bench/bench-output.txt >> build-bench/aims.txt; \
	  done; touch build-bench/aims.txt; \
	  echo "== aims: $$(grep -c '^aim met' build-bench/aims.txt) met, $$(grep -c '^aim missed' build-bench/aims.txt) missed$$(grep '^aim missed' build-bench/aims.txt | sed 's/^aim missed: /; missed: /' | tr -d '\n')"

# Coverage-guided fuzzing with clang's libFuzzer, FUZZ_SECONDS per target (the corpus found is kept
# in build-fuzz/corpus/<name>/). FUZZ_SECONDS=0 only replays the seeds (CI: the targets build and
# every seed runs under the fuzzing build's instrumentation).
FUZZ_SECONDS ?= 60
fuzz:
	@scripts/install-deps.sh build fuzzing
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQF_SANITIZE=address,undefined -DQF_LIBFUZZER=ON $(FUZZ_OPTIONS) $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	@failed=""; for f in build-fuzz/fuzz/fuzz_*; do \
	  [ -x "$$f" ] || continue; name=$${f##*/fuzz_}; \
	  if [ "$(FUZZ_SECONDS)" = 0 ]; then echo "== $$name: replaying the seeds"; \
	    "$$f" -runs=0 fuzz/corpus/$$name || failed="$$failed $$name"; continue; fi; \
	  echo "== $$name: $(FUZZ_SECONDS) s"; mkdir -p build-fuzz/corpus/$$name; \
	  "$$f" -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus/$$name fuzz/corpus/$$name || failed="$$failed $$name"; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz targets that failed:$$failed"; exit 1; fi

# Formats every C++ file as .clang-format says; format-check only looks (CI runs it first).
format:
	@scripts/install-deps.sh format
	scripts/check-format.sh --fix

format-check:
	@scripts/install-deps.sh format
	scripts/check-format.sh

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
