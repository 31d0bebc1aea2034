# The two entry points of the README: `make run` and `make test`.
JOBS ?= $(shell nproc)
SANITIZED := asan tsan

.PHONY: bootstrap build run test test-release $(addprefix test-,$(SANITIZED)) coverage bench format format-check clean

bootstrap:
	@bash scripts/bootstrap.sh

build: bootstrap
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS)

run: build
	@./build/release/velmar-audio-cli

test: bootstrap format-check test-release $(addprefix test-,$(SANITIZED))
	@echo "All test suites passed (release, asan, tsan)."

test-release test-asan test-tsan: test-%: bootstrap
	@cmake --preset $* >/dev/null
	@cmake --build --preset $* -j $(JOBS)
	@ctest --preset $* -j $(JOBS)

# Line and branch coverage of src/ (the simulator aside: it is the test
# machine, not the product) from the whole suite, PipeWire daemon tests aside
# (the preset leaves them off). Not part of `make test`. Counters start from
# zero each run; a failing suite still prints its figures, then fails.
COVERAGE_DIR = build/coverage
GCOVR_FILTER = --root . --filter 'src/' --exclude 'src/sim/'

coverage: bootstrap
	@cmake --preset coverage >/dev/null
	@cmake --build --preset coverage -j $(JOBS)
	@find $(COVERAGE_DIR) -name '*.gcda' -delete
	@ctest --preset coverage -j $(JOBS); status=$$?; \
	  gcovr $(GCOVR_FILTER) --object-directory $(COVERAGE_DIR) -j $(JOBS) \
	    --exclude-unreachable-branches --exclude-throw-branches \
	    --json $(COVERAGE_DIR)/coverage.json && \
	  gcovr $(GCOVR_FILTER) -a $(COVERAGE_DIR)/coverage.json --txt $(COVERAGE_DIR)/lines.txt && \
	  gcovr $(GCOVR_FILTER) -a $(COVERAGE_DIR)/coverage.json --branches --txt $(COVERAGE_DIR)/branches.txt && \
	  cat $(COVERAGE_DIR)/lines.txt $(COVERAGE_DIR)/branches.txt; \
	  exit $$status

bench: build
	@for b in build/release/bench/velmar-bench-*; do $$b; done

FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)

format:
	@clang-format -i $(FORMAT_FILES)

format-check: bootstrap
	@clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	@rm -rf build
