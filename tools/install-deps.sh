#!/usr/bin/env bash
# Installs what a task needs on Debian 12, and nothing more:
#   install-deps.sh package   building the programs and making and checking the package
#   install-deps.sh [all]     that, plus what the demo, the tests and the benchmarks use
# When every package is there already, apt is not asked at all (no index download on each test
# run); otherwise it runs as root, or through sudo for a normal user.
set -euo pipefail
# Compiling the programs; dpkg-dev gives Debian's build flags, cpack's DEB generator calls
# file and dpkg-shlibdeps; lintian and desktop-file-validate check the package.
PACKAGE=(
    build-essential cmake ninja-build
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-qpa-plugins zlib1g-dev
    libtomlplusplus-dev libcli11-dev
    dpkg-dev file desktop-file-utils lintian
)
# The test suite's peers and tools, the sanitizer and fuzz builds, the benchmarks; systemd's
# tools check the station's service unit.
TESTS=(
    clang clang-format libclang-rt-14-dev
    fonts-liberation
    lrzsz socat pv zzuf
    dbus dbus-bin dbus-daemon libglib2.0-bin python3 python3-dbus python3-gi
    valgrind time
    man-db groff-base systemd
)
case "${1:-all}" in
    package) wanted=("${PACKAGE[@]}") ;;
    all) wanted=("${PACKAGE[@]}" "${TESTS[@]}") ;;
    *) echo "usage: install-deps.sh [package|all]" >&2; exit 2 ;;
esac
missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
echo "install-deps.sh: installing ${missing[*]}${SUDO:+ (through sudo)}" >&2
# sudo resets the environment: the front end is given on apt-get's own command line.
$SUDO apt-get update
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
