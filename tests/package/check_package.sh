#!/usr/bin/env bash
# The Debian package made by cpack from this build tree (no second compile), unpacked with
# dpkg -x: the installed files, the programs' versions, the activation file, the manual pages.
#   check_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The tree is built already: cpack only installs it into its staging folder.
cpack --config "$build/CPackConfig.cmake" -B "$work" \
    >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(echo "$work"/vantrel_"$version"_*.deb)
[ -f "$deb" ] || fail "no vantrel_${version}_ARCH.deb in $(ls "$work")"
root=$work/root
dpkg -x "$deb" "$root"

[ "$(ls "$root/usr/bin")" = "$(printf 'VantrelDistribution\nvantrel\nvantrel-sim')" ] ||
    fail "/usr/bin holds: $(ls "$root/usr/bin" | tr '\n' ' ')"
for f in share/applications/vantrel.desktop share/icons/hicolor/48x48/apps/vantrel.png \
    share/icons/hicolor/256x256/apps/vantrel.png share/bash-completion/completions/vantrel \
    share/doc/vantrel/copyright share/doc/vantrel/changelog.gz \
    share/doc/vantrel/examples/hold-window.py \
    share/dbus-1/interfaces/VantrelDistribution.ClassFactory.xml \
    share/dbus-1/interfaces/VantrelDistribution.Application.xml; do
    [ -s "$root/usr/$f" ] || fail "missing /usr/$f"
done
for program in vantrel VantrelDistribution vantrel-sim; do
    out=$("$root/usr/bin/$program" --version) || fail "$program --version failed"
    [ "$out" = "$program $version" ] || fail "$program --version printed \"$out\""
    "$root/usr/bin/$program" --help | grep -q "man $program" || fail "$program --help: no manual"
    page=$root/usr/share/man/man1/$program.1.gz
    [ -f "$page" ] || fail "missing manual page $program(1)"
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$program(1): $warnings"
done
service=$root/usr/share/dbus-1/services/VantrelDistribution.Application.service
grep -qx 'Exec=/usr/bin/VantrelDistribution -Embedding' "$service" || fail "Exec in $service"
desktop-file-validate "$root/usr/share/applications/vantrel.desktop" || fail "desktop entry"
# From dpkg-shlibdeps, and the platform plugin the window loads at run time.
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *libqt6serialport6* && $depends == *qt6-qpa-plugins* ]] || fail "Depends: $depends"
# Without bash-completion, Tab completion does nothing.
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ $recommends == *bash-completion* ]] || fail "Recommends: $recommends"
echo "package $(basename "$deb") checked"
