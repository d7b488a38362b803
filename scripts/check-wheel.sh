#!/usr/bin/env bash
# Installs the repaired wheel the way users get it and runs the module tests
# against it: once in a fresh virtual environment, once with
# `pip install --target` into a plain directory. Only binary wheels are
# accepted, so nothing is compiled, and no build dependency is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=$(realpath "$1")
python=$(scripts/find-python.sh)
work=build/wheel-check
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
tests=$(realpath tests/python)
# Run from outside the source tree, so `import vintrel` finds the installed
# package and not src/vintrel.
pip_install=(-m pip install --quiet --only-binary=:all:)

echo "== fresh virtual environment"
"$python" -m venv "$work/venv"
"$work/venv/bin/python" "${pip_install[@]}" "$wheel" pytest threadpoolctl
(cd "$work" && "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$tests")

echo "== pip install --target"
"$python" -m venv "$work/runner"
"$work/runner/bin/python" "${pip_install[@]}" pytest threadpoolctl
"$work/runner/bin/python" "${pip_install[@]}" --target "$work/target" "$wheel"
(cd "$work" && PYTHONPATH="$work/target" "$work/runner/bin/python" -m pytest -q -p no:cacheprovider "$tests")
