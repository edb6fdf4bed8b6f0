#!/usr/bin/env bash
# Installs what building, the demo, the tests and the package need on Debian 12. When every
# package is there already, apt is not asked at all (no index download on each test run).
set -euo pipefail
PACKAGES=(
    build-essential cmake ninja-build clang clang-format libclang-rt-14-dev
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-qpa-plugins zlib1g-dev
    libtomlplusplus-dev libcli11-dev
    fonts-liberation
    lrzsz socat pv zzuf
    dbus dbus-bin dbus-daemon libglib2.0-bin python3 python3-dbus python3-gi
    valgrind time
    dpkg-dev man-db desktop-file-utils lintian systemd
)
missing=()
for package in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
