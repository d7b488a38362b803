#!/usr/bin/env bash
# Creates .venv at the repository root with a CPython >= 3.13 and installs
# the build, run-time and test requirements of pyproject.toml into it, with
# the build front-end tools. Extra pip requirements may be given as
# arguments. Re-running is cheap: it only installs what is missing.
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
  mapfile -t requirements < <(.venv/bin/python scripts/project_requirements.py test)
  .venv/bin/python -m pip install --quiet "cmake>=3.26" ninja "${requirements[@]}"
  touch "$stamp"
fi

if [ $# -gt 0 ]; then
  .venv/bin/python -m pip install --quiet "$@"
fi
