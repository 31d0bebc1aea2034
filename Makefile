# The two entry points of the README: `make run` and `make test`.
JOBS ?= $(shell nproc)
SANITIZED := asan tsan

.PHONY: bootstrap build run test test-release $(addprefix test-,$(SANITIZED)) bench format format-check clean

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

bench: build
	@for b in build/release/bench/velmar-bench-*; do $$b; done

FORMAT_FILES = $(shell git ls-files '*.cpp' '*.h' 2>/dev/null)

format:
	@clang-format -i $(FORMAT_FILES)

format-check: bootstrap
	@clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	@rm -rf build
