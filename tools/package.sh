#!/usr/bin/env bash
# Builds the Debian package build-package/vantrel_<version>_<arch>.deb from a Release build
# with Debian's hardening flags, then checks it with lintian and desktop-file-validate.
# Run it as yourself: only a missing build tool is installed, through sudo. Then
#   sudo apt-get install ./build-package/vantrel_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh package

# The flags a Debian build uses (stack protector, fortified functions, read-only relocations,
# immediate binding); ccache only when it is there.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
export CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

# Only what the package holds is built: installing does not wait for the tests and benchmarks.
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${launcher[@]}"
cmake --build build-package -j "$(nproc)" \
    --target vantrel VantrelDistribution vantrel-sim vantrel_package_files
rm -f build-package/vantrel_*.deb
(cd build-package && cpack -G DEB)

desktop-file-validate res/vantrel.desktop
deb=$(echo build-package/vantrel_*.deb)
# lintian warns when it runs as root (in a container, say); the package it reads is the same.
allow_root=()
if [ "$(id -u)" = 0 ]; then allow_root=(--allow-root); fi
lintian --fail-on error "${allow_root[@]}" "$deb"
echo "Built $deb"
