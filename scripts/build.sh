#!/usr/bin/env bash
# Configures and builds skerrow and its tests into build/ (or $BUILD_DIR).
# Extra arguments go to cmake's configure step, e.g. -DSKERROW_ASAN=ON. Under CI (SKERROW_CI set)
# every warning is an error.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
werror=OFF
[ -n "${SKERROW_CI:-}" ] && werror=ON
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DSKERROW_WERROR=$werror "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
echo "build: $build_dir/skerrow"
