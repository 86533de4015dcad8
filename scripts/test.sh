#!/usr/bin/env bash
# Runs every test (unit and functional) of an existing build in build/ (or $BUILD_DIR), and the
# lint that holds the README's log-line table to the source.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
# The lint's verdict waits until ctest has run too, so one failure does not hide the other.
status=0
python3 scripts/lint-log-lines.py || status=1
(cd "$build_dir" && ctest --output-on-failure "$@") || status=1
exit "$status"
