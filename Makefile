# The README's commands. Everything below is a thin wrapper over cmake and ctest.
PREFIX ?= /usr/local
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600

.PHONY: all deps build test test-normal test-asan install demo demo-remote bench fuzz fuzz-all fuzz-run clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

# The whole suite twice: a normal build, then AddressSanitizer + UBSan.
test: deps test-normal test-asan

test-normal:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTQHSM_SANITIZE=ON -DTQHSM_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

# Fuzzing (libFuzzer + ASan + UBSan, built with clang in its own build
# directory). `make fuzz` runs the DC converter's target, `make fuzz-all` every
# target one after the other, each for FUZZ_SECONDS on a copy of its seed corpus
# (fuzz-corpus-run/<corpus>/); inputs that crash a target are left in
# $(FUZZ_BUILD)/ as crash-*. Every `make test` replays the committed corpora.
FUZZ_TARGETS ?= dc_fuzzer
fuzz: deps
	$(MAKE) fuzz-run FUZZ_TARGETS=dc_fuzzer

fuzz-all: deps
	$(MAKE) fuzz-run FUZZ_TARGETS=all

fuzz-run:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTQHSM_BUILD_FUZZ=ON -DTQHSM_BUILD_TESTS=OFF -DTQHSM_BUILD_BENCH=OFF
	bash scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(JOBS) $(FUZZ_TARGETS)

install: build
	bash scripts/install-prefix.sh $(BUILD) $(PREFIX)

# A scan of a sample tree in a temporary folder (see scripts/demo.sh).
demo: build
	bash scripts/demo.sh $(BUILD)

# A scan for a remote client whose volume lands on the watch list of that
# client's HSM service, all on this machine (see scripts/demo-remote.sh).
demo-remote: build
	bash scripts/demo-remote.sh $(BUILD)

# The scan against its physical floor (see bench/ and README "Benchmarks"):
# ratios pair by pair on trees of BENCH_FILES files, system calls and
# instructions per file kind, then the Google Benchmarks. BENCH_FILES=1000000
# for the big run.
BENCH_FILES ?= 200000
bench: build
	bash bench/floor_vs_scan.sh $(BUILD) $(BENCH_FILES)
	bash bench/syscalls.sh $(BUILD)
	bash bench/order_bench.sh $(BUILD) $(BENCH_FILES)
	@for b in candidate_bench collect_writer_bench service_bench; do \
	  if [ -x $(BUILD)/bench/$$b ]; then echo "== $$b"; $(BUILD)/bench/$$b --benchmark_color=false || exit 1; \
	  else echo "== $$b: not built (libbenchmark-dev missing)"; fi; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) fuzz-corpus-run
