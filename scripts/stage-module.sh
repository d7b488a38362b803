#!/usr/bin/env bash
# Lays out build-dir/stage/vintrel as an importable package around the
# extension module built in build-dir, for running the Python tests against
# a build that pip did not install (the sanitizer build).
set -euo pipefail
build_dir=$1
stage="$build_dir/stage/vintrel"
rm -rf "$build_dir/stage"
mkdir -p "$stage"
# Every Python source of the package, its subpackages included.
(cd src/vintrel && find . -name '*.py' -print0) | while IFS= read -r -d '' file; do
  install -D -m 644 "src/vintrel/$file" "$stage/$file"
done
module=$(ls "$build_dir"/_vintrel_native_cpu*.so)
ln -s "$(realpath "$module")" "$stage/$(basename "$module")"
