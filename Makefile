# Set-up and checks.  Every target builds into its own virtual environment,
# so a fresh machine with Python 3.12+ and a C++ compiler is all it needs.
PYTHON ?= python3
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
VENV ?= .venv/py$(PYVER)
SANITIZE_VENV ?= .venv/sanitize-py$(PYVER)
BUILD_TOOLS = scikit-build-core cmake ninja
PIP_QUIET = --quiet --disable-pip-version-check

.PHONY: all install run test typecheck format-check bench sanitize valgrind check-python clean

all: test

check-python:
	@$(PYTHON) -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null || \
	  { echo "error: orvane needs Python 3.12 or later; '$(PYTHON)' is $(or $(PYVER),missing). Use make PYTHON=python3.12"; exit 1; }

$(VENV)/bin/python: | check-python
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/pip install $(PIP_QUIET) $(BUILD_TOOLS)

# Installs the package (both native modules) with its test extras.
install: $(VENV)/bin/python
	$(VENV)/bin/pip install $(PIP_QUIET) --no-build-isolation '.[test]'

test: install
	$(VENV)/bin/python -m pytest

# Ours against the quickest numpy recipes and a plain memory copy; the
# figures and the machine they came from are kept in benchmarks/README.md.
# BENCH_ARGS passes options to the runner, e.g. BENCH_ARGS=--block-only.
bench: $(VENV)/bin/python
	$(VENV)/bin/pip install $(PIP_QUIET) --no-build-isolation '.[bench]'
	$(VENV)/bin/python benchmarks/run.py $(BENCH_ARGS)

# The rip verification tool: make run TRACKS="a.wav b.wav" checks those
# files (ARGS="--search 5 --json" adds options); with no TRACKS it checks a
# generated demo disc.
TRACKS ?=
ARGS ?=
run: install
	@$(VENV)/bin/python -m orvane.isotrak $(ARGS) $(if $(strip $(TRACKS)),$(TRACKS),--demo)

# Static types of the Python side and of the stubs of the native modules.
typecheck: $(VENV)/bin/python
	$(VENV)/bin/pip install $(PIP_QUIET) 'mypy>=1.18' types-tqdm
	$(VENV)/bin/python -m mypy

# The C and C++ sources as .clang-format lays them out.
NATIVE_SOURCES = $(wildcard pcm/*.h pcm/*.hpp pcm/*.cpp common/*.hpp isotrak/*.hpp isotrak/*.cpp interop/*.hpp interop/*.cpp tests/consumer/*.c)
format-check: $(VENV)/bin/python
	$(VENV)/bin/pip install $(PIP_QUIET) 'clang-format>=18'
	$(VENV)/bin/clang-format --dry-run --Werror $(NATIVE_SOURCES)

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer.  The
# interpreter is not instrumented, so the runtimes are preloaded and leak
# detection is off; PYTHONMALLOC=malloc lets ASan see every PyMem array.
SANITIZER_RUNTIMES = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
sanitize: check-python
	test -x $(SANITIZE_VENV)/bin/python || { $(PYTHON) -m venv $(SANITIZE_VENV) && \
	  $(SANITIZE_VENV)/bin/pip install $(PIP_QUIET) $(BUILD_TOOLS); }
	$(SANITIZE_VENV)/bin/pip install $(PIP_QUIET) --no-build-isolation '.[test]' \
	  -C cmake.define.ORVANE_SANITIZE=ON -C cmake.build-type=Debug \
	  -C build-dir=build/sanitize-{wheel_tag}
	LD_PRELOAD="$(SANITIZER_RUNTIMES)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(SANITIZE_VENV)/bin/python -m pytest -p no:cacheprovider -q

# A memcheck run of a fast subset of the suite.  The interpreter reports
# errors of its own under memcheck, so only those whose stack passes
# through orvane's modules fail the run.
VALGRIND_TESTS = tests/test_native_api.py tests/test_exports.py tests/test_checksum.py tests/test_constructors.py
valgrind: install
	mkdir -p build
	PYTHONMALLOC=malloc valgrind --tool=memcheck --log-file=build/valgrind.log --num-callers=30 \
	  $(VENV)/bin/python -m pytest -q -p no:cacheprovider $(VALGRIND_TESTS)
	$(VENV)/bin/python tests/valgrind_report.py build/valgrind.log

clean:
	rm -rf build .venv
