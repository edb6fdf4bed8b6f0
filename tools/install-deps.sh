#!/usr/bin/env bash
# Installs what building, the demo and the tests need on Debian 12.
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
    build-essential cmake ninja-build clang clang-format libclang-rt-14-dev \
    qt6-base-dev qt6-base-dev-tools libqt6serialport6-dev qt6-qpa-plugins zlib1g-dev \
    fonts-liberation \
    lrzsz socat pv zzuf \
    dbus dbus-bin dbus-daemon libglib2.0-bin python3 python3-dbus python3-gi \
    valgrind time \
    dpkg-dev man-db desktop-file-utils lintian
