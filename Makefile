# Every target installs what it is missing first (Debian packages, virtual environments), and does
# nothing more than needed when run again. Build outputs go to build/, environments to .venvs/.
#
#   make demo         build the module and run examples/demo.py
#   make test         lint, C++ tests (plain and sanitized), Python tests for every interpreter found
#   make bench        benchmarks/run.py in its own environment (ARGS=... is passed on to it;
#                     ARGS=--quick for a smoke run of a few minutes)
#   make wheel        manylinux wheels in dist/, tested installed in a fresh venv (not run by test)
#   make test-cpp | test-asan | test-python    one suite of `make test`
#   make format-check | format                clang-format: check or rewrite the C++ sources
#   make lint         format-check, and ruff on the Python files (settings in pyproject.toml)
#
# Variables: JOBS (parallel build jobs), WERROR (warnings as errors, ON by default), PYTHONS
# (interpreters to test, blank separated; default: all supported ones found), PYTHON (interpreter
# for demo and bench; default: the first found), PYTEST_ARGS (passed on to pytest).

JOBS ?= 2
WERROR ?= ON
ARGS ?=
PYTEST_ARGS ?=
# Debian's cmake, ninja and ctest, which setup installs, before any other on the PATH.
export PATH := /usr/bin:$(PATH)
export PYTHONS
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

.NOTPARALLEL:
.PHONY: all setup demo test lint test-cpp test-asan test-python bench wheel format-check format \
  clean distclean

CPP_CONFIGURE = cmake -S . -G Ninja --log-level=NOTICE -DVESKAL_PYTHON=OFF -DVESKAL_TESTS=ON \
  -DVESKAL_FUZZERS=ON \
  -DVESKAL_WERROR=$(WERROR)
# A hung test fails after CTEST_TIMEOUT seconds instead of stalling the run.
CTEST_TIMEOUT ?= 300
CTEST = ctest --output-on-failure --no-tests=error --timeout $(CTEST_TIMEOUT) -j $(JOBS) --test-dir
MODULE_SETTINGS = cmake.define.VESKAL_WERROR=$(WERROR)
section = @printf '\n=== %s ===\n' $(1)

# The interpreter for demo and bench: PYTHON if given, else the first supported one found.
pick_python = set -e; \
  if [ -n "$(PYTHON)" ]; then PYTHONS="$(PYTHON)"; export PYTHONS; fi; \
  found=$$(bash scripts/find-pythons.sh | head -n 1); \
  if [ -z "$$found" ]; then \
    echo "no supported Python found (CPython >= 3.12 with headers); give one with PYTHON=..." >&2; \
    exit 1; \
  fi; \
  version=$${found%% *}; python=$${found\#* }

all: test

setup:
	@bash scripts/setup-system.sh

demo: setup
	@$(pick_python); \
	bash scripts/venv.sh "$$python" .venvs/$$version tests/requirements.txt scripts/build-requirements.txt; \
	bash scripts/install-module.sh .venvs/$$version build/py$$version $(MODULE_SETTINGS); \
	.venvs/$$version/bin/python examples/demo.py

test: lint test-cpp test-asan test-python
	@printf '\nsuites: %d passed, 0 failed\n' $$((3 + $$(bash scripts/find-pythons.sh 2>/dev/null | wc -l)))

lint: format-check
	$(call section,"ruff")
	@$(pick_python); bash scripts/venv.sh "$$python" .venvs/lint scripts/lint-requirements.txt
	@.venvs/lint/bin/ruff check --no-cache .

test-cpp: setup
	$(call section,"C++ tests (build/cpp)")
	@$(CPP_CONFIGURE) -B build/cpp -DVESKAL_SANITIZE=OFF -DCMAKE_BUILD_TYPE=Release
	@cmake --build build/cpp -j $(JOBS)
	@$(CTEST) build/cpp
	$(call section,"C++ example against the installed library (build/example)")
	@cmake --install build/cpp --prefix build/cpp-install >/dev/null
	@cmake -S examples/cpp -B build/example -G Ninja --log-level=WARNING \
	  -DCMAKE_PREFIX_PATH=$(CURDIR)/build/cpp-install
	@cmake --build build/example
	@build/example/search

# Debug checks of the standard library on top of AddressSanitizer and UBSan; -O1 keeps it quick.
test-asan: setup
	$(call section,"C++ tests with AddressSanitizer and UBSan (build/asan)")
	@$(CPP_CONFIGURE) -B build/asan -DVESKAL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g -D_GLIBCXX_ASSERTIONS"
	@cmake --build build/asan -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST) build/asan

test-python: setup
	@MODULE_SETTINGS="$(MODULE_SETTINGS)" bash scripts/test-python.sh $(PYTEST_ARGS)

bench: setup
	@$(pick_python); \
	[ -f benchmarks/requirements.txt ] || { echo "benchmarks/requirements.txt is missing" >&2; exit 1; }; \
	bash scripts/venv.sh "$$python" .venvs/bench benchmarks/requirements.txt scripts/build-requirements.txt; \
	bash scripts/install-module.sh .venvs/bench build/bench; \
	.venvs/bench/bin/python benchmarks/run.py $(ARGS)

wheel: setup
	@MODULE_SETTINGS="$(MODULE_SETTINGS)" bash scripts/build-wheel.sh $(PYTEST_ARGS)

CXX_SOURCES = $(shell git ls-files -co --exclude-standard '*.cpp' '*.hpp' 2>/dev/null)
format-check:
	$(call section,"clang-format")
	@command -v clang-format >/dev/null || bash scripts/setup-system.sh clang-format
	@clang-format --dry-run --Werror $(CXX_SOURCES)

format:
	@command -v clang-format >/dev/null || bash scripts/setup-system.sh clang-format
	clang-format -i $(CXX_SOURCES)

clean:
	rm -rf build

distclean: clean
	rm -rf .venvs dist
