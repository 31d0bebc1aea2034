# The two entry points of the README: `make run` and `make test`.
JOBS ?= $(shell nproc)
SANITIZED := asan tsan

.PHONY: bootstrap build run test test-release test-client $(addprefix test-,$(SANITIZED)) coverage coverage-per-test bench fuzz test-fuzz format format-check check-macos clean

bootstrap:
	@bash scripts/bootstrap.sh

build: bootstrap
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS)

run: build
	@./build/release/velmar-audio-cli

test: bootstrap format-check check-macos test-release test-client $(addprefix test-,$(SANITIZED)) test-fuzz
	@echo "All test suites passed (release, TypeScript client, asan, tsan, fuzz)."

test-release test-asan test-tsan: test-%: bootstrap
	@cmake --preset $* >/dev/null
	@cmake --build --preset $* -j $(JOBS)
	@ctest --preset $* -j $(JOBS)

# The host-side TypeScript client, built and tested against the release
# executable that test-release has just built.
test-client: test-release
	@cd clients/typescript && npm ci --no-audit --no-fund && npm test

# Line and branch coverage of src/ (the simulator aside: it is the test
# machine, not the product) from the whole suite, PipeWire daemon tests aside
# (the preset leaves them off). Not part of `make test`. Counters start from
# zero each run; a failing suite still prints its figures, then fails.
# The preset updates counters atomically (many threads run the same code);
# gcovr runs on one thread, since its worker pool hangs on a line it cannot parse.
COVERAGE_DIR = build/coverage
GCOVR_FILTER = --root . --filter 'src/' --exclude 'src/sim/'

coverage: bootstrap
	@cmake --preset coverage >/dev/null
	@cmake --build --preset coverage -j $(JOBS)
	@find $(COVERAGE_DIR) -name '*.gcda' -delete
	@ctest --preset coverage -j $(JOBS); status=$$?; \
	  gcovr $(GCOVR_FILTER) --object-directory $(COVERAGE_DIR) \
	    --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors \
	    --json $(COVERAGE_DIR)/coverage.json && \
	  gcovr $(GCOVR_FILTER) -a $(COVERAGE_DIR)/coverage.json --txt $(COVERAGE_DIR)/lines.txt && \
	  gcovr $(GCOVR_FILTER) -a $(COVERAGE_DIR)/coverage.json --branches --txt $(COVERAGE_DIR)/branches.txt && \
	  cat $(COVERAGE_DIR)/lines.txt $(COVERAGE_DIR)/branches.txt; \
	  exit $$status

# What each test reaches of src/ on its own, the tests that reach no line no
# other test reaches (build/coverage/per-test.json), and which cases a greedy
# pass could drop with every line still reached: where a consolidation looks
# first. Not part of `make test`; about 16 min on 2 cores.
coverage-per-test: bootstrap
	@cmake --preset coverage >/dev/null
	@cmake --build --preset coverage -j $(JOBS)
	@python3 scripts/coverage-per-test.py $(JOBS)

# libFuzzer targets built with clang (the "fuzz" preset): standard input
# through framing, intake and dispatch; the scenario loader; the store loader.
# `make fuzz FUZZ_SECONDS=600` runs each that long; new inputs go to
# build/fuzz/corpus/, findings to build/fuzz/findings/ (and fail the run).
FUZZ_TARGETS := intake scenario store
FUZZ_SECONDS ?= 300
FUZZ_TEST_SECONDS ?= 20

fuzz test-fuzz: bootstrap
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS) $(addprefix --target velmar-fuzz-,$(FUZZ_TARGETS))
	@mkdir -p build/fuzz/findings
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$t; \
	  echo "fuzzing $$t for $(if $(filter test-fuzz,$@),$(FUZZ_TEST_SECONDS),$(FUZZ_SECONDS)) s"; \
	  build/fuzz/tests/fuzz/velmar-fuzz-$$t build/fuzz/corpus/$$t tests/fuzz/$$t \
	    -max_total_time=$(if $(filter test-fuzz,$@),$(FUZZ_TEST_SECONDS),$(FUZZ_SECONDS)) \
	    -timeout=30 -close_fd_mask=3 -print_final_stats=1 \
	    -artifact_prefix=build/fuzz/findings/$$t- || exit 1; \
	done

bench: build
	@for b in build/release/bench/velmar-bench-*; do $$b; done

# The Mac backend cannot be built here; this type-checks every file of it
# (Objective-C++, ARC, blocks) against the SDK stand-in, warnings as errors.
# It proves consistency with the stand-in only; see docs/platform.md.
MAC_SOURCES = $(wildcard src/mac/*.mm)
MAC_CHECK_FLAGS = -fsyntax-only -x objective-c++ -std=c++20 -fobjc-arc -fblocks \
  -fobjc-runtime=macosx-14.2 -Wall -Wextra -Werror \
  -isystem tools/macos-sdk-standin/include -Isrc -DASIO_STANDALONE -DASIO_NO_DEPRECATED

# Its smoke test on the real HAL is plain C++ over the platform interfaces.
MAC_TEST_SOURCES = $(wildcard tests/mac/*.cpp)
MAC_TEST_CHECK_FLAGS = -fsyntax-only -x c++ -std=c++20 -Wall -Wextra -Werror \
  -Isrc -DASIO_STANDALONE -DASIO_NO_DEPRECATED

check-macos: bootstrap
	@for f in $(MAC_SOURCES); do \
	  clang++ $(MAC_CHECK_FLAGS) $$f || exit 1; \
	done
	@for f in $(MAC_TEST_SOURCES); do \
	  clang++ $(MAC_TEST_CHECK_FLAGS) $$f || exit 1; \
	done
	@echo "Mac backend type check passed ($(words $(MAC_SOURCES) $(MAC_TEST_SOURCES)) files, against the SDK stand-in)."

FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h' '*.mm' 2>/dev/null)

format:
	@clang-format -i $(FORMAT_FILES)

format-check: bootstrap
	@clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	@rm -rf build
