#!/usr/bin/env bash
# Runs every fuzz target for a while, one after the other, each on a scratch copy of its seed
# corpus (the repository is never written). Fails when any target finds a crash, a sanitizer
# report or a broken invariant; the input that did it is kept and its path printed.
#
#   tests/fuzz/run.sh [seconds per target, default 30] [target name ...]
#
# FUZZ_BUILD_DIR names the build directory holding the targets (default build-fuzz).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
seconds="${1:-30}"
shift || true
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
case "$seconds" in
  ''|*[!0-9]*) echo "run.sh: seconds must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

if [ "$#" -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in "$here"/*_fuzz.cpp; do
    name="$(basename "$src" .cpp)"
    targets+=("${name%_fuzz}")
  done
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/skerrow-fuzz.XXXXXX")"
kept=0
cleanup() { [ "$kept" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

failed=()
summary=()
for target in "${targets[@]}"; do
  bin="$build/${target}_fuzz"
  if [ ! -x "$bin" ]; then
    echo "run.sh: $bin is missing (build with tests/fuzz/ci.sh or -DSKERROW_FUZZ=ON)" >&2
    failed+=("$target(missing)")
    continue
  fi
  corpus="$work/$target/corpus"
  crashes="$work/$target/crashes"
  mkdir -p "$corpus" "$crashes"
  if [ -d "$here/corpus/$target" ]; then cp -R "$here/corpus/$target/." "$corpus/"; fi

  log="$work/$target/log"
  echo "=== $target: ${seconds}s"
  status=0
  # -timeout catches an input that hangs; -rss_limit_mb one that eats the machine.
  ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}" \
  UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    "$bin" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$corpus" >"$log" 2>&1 || status=$?

  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)"
  line="$(printf '%-14s %12s executions %8s/s' "$target" "${runs:-?}" "${rate:-?}")"
  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$crashes")" ]; then
    kept=1
    line="$line  FAILED (exit $status)"
    failed+=("$target")
    grep -E 'ERROR|invariant failed|runtime error|SUMMARY|Test unit written' "$log" | head -n 20 >&2 || true
    echo "    log: $log" >&2
    for f in "$crashes"/*; do [ -e "$f" ] && echo "    input: $f" >&2; done
  fi
  echo "$line"
  summary+=("$line")
done

echo
echo "=== summary"
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "run.sh: failed: ${failed[*]}" >&2
  exit 1
fi
