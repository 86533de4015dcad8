#!/usr/bin/env bash
# CI fuzz stage: builds the fuzz targets with clang into build-fuzz and runs each of them for
# a short while (tests/fuzz/run.sh). Fails on a build error or on anything a target finds.
#
#   tests/fuzz/ci.sh [seconds per target, default 30]
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-30}"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
cxx="${FUZZ_CXX:-clang++-16}"

if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "ci.sh: $cxx not found (Debian packages clang-16 and libclang-rt-16-dev)" >&2
  exit 1
fi

CXX="$cxx" cmake -S "$root" -B "$build" -DSKERROW_FUZZ=ON -DSKERROW_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The proxy as well, so that every library goes through clang's thread-safety analysis (the
# fuzz targets do not link the state file's).
targets=(skerrow)
for src in "$root"/tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build "$build" -j2 --target "${targets[@]}"

FUZZ_BUILD_DIR="$build" bash "$root/tests/fuzz/run.sh" "$seconds"
