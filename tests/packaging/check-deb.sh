#!/usr/bin/env bash
# Checks the Debian package: its menu entries and metainfo validate, lintian finds
# no errors, it holds every file it should and depends on what is loaded at run
# time. Then, unpacked into a temporary root, the installed windows start
# offscreen and quit through their Quit button, the installed demo runs and cleans
# up after itself, and the menu entries' Exec and Icon name installed files.
# Usage: check-deb.sh PACKAGE.deb QUIT_PRELOAD.so
set -euo pipefail
repo="$(cd "$(dirname "$0")/../.." && pwd)"
deb="$(realpath "$1")"
preload="$(realpath "$2")"
id=io.github.vantel

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
root="$work/root"
dpkg -x "$deb" "$root"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

echo "-- validate menu entries and metainfo"
for desktop in "$root"/usr/share/applications/*.desktop; do
    desktop-file-validate "$desktop" || fail "desktop-file-validate $(basename "$desktop")"
done
for metainfo in "$root"/usr/share/metainfo/*.xml; do
    appstreamcli validate --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
        { cat "$work/appstream.log"; fail "appstreamcli validate $(basename "$metainfo")"; }
done

echo "-- lintian"
lintian --fail-on error "$deb" 2> >(grep -v 'running with root privileges' >&2) ||
    fail "lintian reports errors"

echo "-- contents"
programs=(vantel pellow vantel-sim vantel-demo)
[ -f "$repo/ctl/CMakeLists.txt" ] && programs+=(vantelctl)
expected=(usr/share/doc/vantel/copyright usr/share/doc/vantel/changelog.gz
    usr/share/doc/vantel/README.md)
# The manual, page by page and picture by picture, as the tree has it.
for file in "$repo"/docs/*.md "$repo"/docs/images/*.png; do
    if [ -f "$file" ]; then
        expected+=("usr/share/doc/vantel/${file#"$repo"/}")
    fi
done
for program in "${programs[@]}"; do
    expected+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz")
done
for app in Vantel Pellow VantelDemo; do
    expected+=("usr/share/applications/$id.$app.desktop")
done
for app in Vantel Pellow; do
    expected+=("usr/share/metainfo/$id.$app.metainfo.xml"
        "usr/share/icons/hicolor/scalable/apps/$id.$app.svg")
    for size in 16 32 48 64 128 256; do
        expected+=("usr/share/icons/hicolor/${size}x$size/apps/$id.$app.png")
    done
done
dpkg-deb --contents "$deb" | awk '{ print $6 }' | sed 's|^\./||' >"$work/contents"
for file in "${expected[@]}"; do
    grep -qx "$file" "$work/contents" || fail "the package lacks $file"
done

echo "-- run-time dependencies"
depends="$(dpkg-deb --field "$deb" Depends)"
needed=(qt6-qpa-plugins fonts-wqy-zenhei fonts-liberation libqt6serialport6 libmodbus5
    libprometheus-cpp-core1.0)
[ -f "$repo/trend/CMakeLists.txt" ] && needed+=(libqcustomplot2.1-qt6)
[ -f "$repo/publish/CMakeLists.txt" ] && needed+=(libmosquitto1)
for package in "${needed[@]}"; do
    grep -qE "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done
! grep -q "libqt6charts" <<<"$depends" || fail "Depends names Qt Charts, which nothing uses: $depends"

echo "-- menu entries name installed files"
for desktop in "$root"/usr/share/applications/*.desktop; do
    name="$(basename "$desktop")"
    exec_name="$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")"
    [ -x "$root/usr/bin/$exec_name" ] || fail "$name: Exec $exec_name is not in usr/bin"
    icon="$(sed -n 's/^Icon=//p' "$desktop")"
    [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] ||
        fail "$name: no scalable icon $icon"
    for size in 16 32 48 64 128 256; do
        [ -f "$root/usr/share/icons/hicolor/${size}x$size/apps/$icon.png" ] ||
            fail "$name: no ${size}px icon $icon"
    done
done

echo "-- installed programs start and quit"
export QT_QPA_PLATFORM=offscreen
for window in vantel pellow; do
    if LD_PRELOAD="$preload" timeout 60 "$root/usr/bin/$window" >"$work/$window.log" 2>&1 &&
        grep -q 'pressing Quit' "$work/$window.log"; then
        echo "$window: $(grep 'pressing Quit' "$work/$window.log")"
    else
        cat "$work/$window.log"
        fail "installed $window did not start and quit cleanly"
    fi
done
"$root/usr/bin/vantel-sim" --help >/dev/null || fail "installed vantel-sim --help"

# The demo takes its programs from PATH: the installed ones, vantel through a
# wrapper that preloads the Quit press.
mkdir -p "$work/wrap" "$work/tmp"
mkdir -m 700 "$work/runtime"
printf '#!/bin/sh\nLD_PRELOAD="%s" exec "%s" "$@"\n' "$preload" "$root/usr/bin/vantel" \
    >"$work/wrap/vantel"
chmod +x "$work/wrap/vantel"
if PATH="$work/wrap:$root/usr/bin:$PATH" TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/runtime" timeout 60 \
    "$root/usr/bin/vantel-demo" >"$work/demo.log" 2>&1 &&
    grep -q '^ready COM1 ' "$work/demo.log" && grep -q 'pressing Quit' "$work/demo.log"; then
    echo "vantel-demo: simulator ready, window quit"
else
    cat "$work/demo.log"
    fail "installed vantel-demo did not run the simulator and the window"
fi
[ -z "$(ls -A "$work/tmp")" ] || fail "vantel-demo left $(ls -A "$work/tmp") behind"
leftover="$(pgrep -f -- "--port-dir $work/tmp/" || true)"
if [ -n "$leftover" ]; then
    kill $leftover
    fail "vantel-demo left the simulator running"
fi

size="$(stat -c %s "$deb")"
echo "-- $(basename "$deb"): $((size / 1024)) KiB, $failures failures"
[ "$failures" -eq 0 ]
