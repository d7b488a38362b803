#!/usr/bin/env bash
# Lays out build-dir/stage/vintrel as an importable package around the
# extension module built in build-dir, for running the Python tests against
# a build that pip did not install (the sanitizer build).
set -euo pipefail
build_dir=$1
stage="$build_dir/stage/vintrel"
rm -rf "$build_dir/stage"
mkdir -p "$stage"
cp src/vintrel/*.py "$stage/"
module=$(ls "$build_dir"/_vintrel_native_cpu*.so)
ln -s "$(realpath "$module")" "$stage/$(basename "$module")"
