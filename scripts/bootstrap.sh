#!/usr/bin/env bash
# Installs everything skerrow needs to build, test and run its demo (Debian 12, as root).
# Optional groups for the extra CI stages and tools:
#   bash scripts/bootstrap.sh [fuzz] [package] [bench] [metrics]
set -euo pipefail

packages=(
  g++ cmake make pkg-config          # toolchain
  libssl-dev libzmq3-dev             # libcrypto (SHA-256) and libzmq
  prometheus-cpp-dev                 # metrics registry and endpoint
  libsqlite3-dev sqlite3             # the state file (SQLite) and its shell for operators' queries
  libsystemd-dev                     # sd_notify: readiness and watchdog under systemd
  libhiredis-dev                     # the shared snapshot store (Redis client)
  libgtest-dev                       # unit tests
  python3 python3-pytest python3-zmq # functional tests
  litecoind                          # real parent daemon for tests and the demo
  redis-server haproxy               # two proxies sharing work, behind a balancer, in the tests
  curl ca-certificates
)
for group in "$@"; do
  case $group in
    fuzz) packages+=(clang-16 libclang-rt-16-dev) ;;          # libFuzzer targets
    package) packages+=(dpkg-dev systemd) ;;                  # dpkg-shlibdeps, systemd-analyze
    bench) packages+=(nginx wrk valgrind linux-perf procps) ;;  # anchor, load generator, profilers, pgrep
    metrics) packages+=(prometheus) ;;                         # prometheus and promtool for the metrics tests
    *) echo "bootstrap: unknown group '$group' (fuzz, package, bench, metrics)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bootstrap: missing packages (${missing[*]}); run this script as root" >&2
    exit 1
  fi
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "bootstrap: all packages present"
