#!/usr/bin/env bash
# Creates .venv at the repository root with a CPython >= 3.13 and installs
# the build and test dependencies into it. Extra pip requirements may be
# given as arguments. Re-running is cheap: it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x .venv/bin/python ]; then
  python=$(scripts/find-python.sh)
  echo "creating .venv with $python"
  "$python" -m venv .venv
fi

stamp=.venv/.build-deps
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ]; then
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet \
    "scikit-build-core>=0.10" "cmake>=3.26" ninja "numpy>=2" "tbb>=2021.10" "tbb-devel>=2021.10" \
    "scipy-openblas32>=0.3.27" "pytest>=8" "threadpoolctl>=3"
  touch "$stamp"
fi

if [ $# -gt 0 ]; then
  .venv/bin/python -m pip install --quiet "$@"
fi
