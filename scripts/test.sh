#!/usr/bin/env bash
# Runs every test (unit and functional) of an existing build in build/ (or $BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cd "$build_dir"
ctest --output-on-failure "$@"
