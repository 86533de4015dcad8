#!/usr/bin/env bash
# A short tour of skerrow in front of a real Litecoin regtest node: starts two connected
# litecoind nodes, mines 101 blocks, starts a stand-in aux chain daemon and the proxy, makes a
# few calls through it, mines one merged block and submits it to both chains, printing
# excerpts. Everything lives in a temporary directory and is stopped on exit.
#   SKERROW_BIN   the proxy binary (default: build/skerrow)
#   DEMO_TIMEOUT  seconds the whole demo may take (default: 300)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

bin=${SKERROW_BIN:-build/skerrow}
case $bin in /*) ;; *) bin="$repo/$bin" ;; esac
if [ ! -x "$bin" ]; then
  echo "demo: no proxy binary at $bin (run scripts/build.sh first or set SKERROW_BIN)" >&2
  exit 1
fi
if [ ! -e /usr/bin/litecoind ]; then
  echo "demo: litecoind is not installed (scripts/bootstrap.sh installs it)" >&2
  exit 1
fi

workdir=$(mktemp -d "${TMPDIR:-/tmp}/skerrow-demo.XXXXXX")
cleanup() {
  local status=$?
  # The helper stops what it started; this catches whatever a killed helper left behind.
  if [ -f "$workdir/pids" ]; then
    while read -r pid; do
      kill "$pid" 2>/dev/null || true
    done <"$workdir/pids"
    sleep 1
    while read -r pid; do
      kill -9 "$pid" 2>/dev/null || true
    done <"$workdir/pids"
  fi
  rm -rf "$workdir"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

timeout --signal=TERM --kill-after=20 "${DEMO_TIMEOUT:-300}" \
  /usr/bin/python3 "$repo/scripts/demo_run.py" --bin "$bin" --workdir "$workdir"
