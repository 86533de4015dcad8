#!/usr/bin/env bash
# Builds the Debian package, checks its control fields and contents, installs it with dpkg,
# runs the installed binary and verifies the systemd unit. Removes the package again at the end.
# Needs: bash scripts/bootstrap.sh package
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build-pkg}

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSKERROW_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target package >/dev/null
deb=$(ls "$build_dir"/skerrow_*_*.deb | head -n 1)
echo "package: $deb"

fail() { echo "check-package: $*" >&2; exit 1; }

info=$(dpkg-deb --info "$deb")
echo "$info" | sed -n '/Package:/,$p'
[ "$(dpkg-deb --field "$deb" Package)" = skerrow ] || fail "package name"
depends=$(dpkg-deb --field "$deb" Depends)
for dep in libzmq5 libssl3 libc6 libsystemd0 libprometheus-cpp-core1.0 libprometheus-cpp-pull1.0 libhiredis0.14; do
  grep -q "\b$dep\b" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
echo "$info" | grep -q conffiles || fail "no conffiles"

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for path in ./usr/bin/skerrow ./usr/lib/systemd/system/skerrow.service ./etc/skerrow/skerrow.conf \
            ./usr/share/doc/skerrow/README.md ./usr/share/doc/skerrow/skerrow.conf.example; do
  grep -qx "$path" <<<"$contents" || fail "missing $path"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/skerrow/skerrow.conf || fail "conffile list"

dpkg -i "$deb"
trap 'dpkg --purge skerrow >/dev/null 2>&1 || true' EXIT
[ "$(/usr/bin/skerrow -v)" = "skerrow 0.2.0" ] || fail "installed binary"
/usr/bin/python3 -c 'import json; json.load(open("/etc/skerrow/skerrow.conf"))' || fail "conffile is not JSON"
# The shipped configuration keeps its state where the unit's StateDirectory puts it.
grep -qx 'StateDirectory=skerrow' /usr/lib/systemd/system/skerrow.service || fail "unit lacks StateDirectory=skerrow"
grep -qx 'Type=notify' /usr/lib/systemd/system/skerrow.service || fail "unit is not Type=notify"
/usr/bin/python3 -c 'import json, sys; sys.exit(json.load(open("/etc/skerrow/skerrow.conf")).get("state_file") != "/var/lib/skerrow/state.sqlite")' \
  || fail "conffile's state_file is not /var/lib/skerrow/state.sqlite"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /usr/lib/systemd/system/skerrow.service
  echo "systemd-analyze verify: ok"
else
  fail "systemd-analyze not found (bash scripts/bootstrap.sh package)"
fi
# Installed, not enabled.
[ ! -e /etc/systemd/system/multi-user.target.wants/skerrow.service ] || fail "unit was enabled"
echo "check-package: ok"
