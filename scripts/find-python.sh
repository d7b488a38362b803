#!/usr/bin/env bash
# Prints the path of a CPython >= 3.13: first from PATH, then among pyenv's
# installed versions. Exits 1 when there is none.
set -u

is_suitable() {
  "$1" -c 'import sys; sys.exit(0 if sys.implementation.name == "cpython" and sys.version_info >= (3, 13) else 1)' \
    >/dev/null 2>&1
}

for name in python3.15 python3.14 python3.13 python3 python; do
  candidate=$(command -v "$name" 2>/dev/null) || continue
  if is_suitable "$candidate"; then echo "$candidate"; exit 0; fi
done

pyenv_root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
for dir in $(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -V -r); do
  candidate="$dir/bin/python3"
  if [ -x "$candidate" ] && is_suitable "$candidate"; then echo "$candidate"; exit 0; fi
done

echo "no CPython >= 3.13 found on PATH or among pyenv's versions" >&2
exit 1
