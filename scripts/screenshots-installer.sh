#!/usr/bin/env bash
# Runs the Windows installer under Wine on a virtual X display (Xvfb with openbox), in
# a fresh Wine prefix, as a person would: it takes a picture of each page and goes on
# with Enter, the page's default button (I Agree, Install, Close). Then it runs the
# installed uninstall.exe the same way. The pages become the manual's pictures
# docs/images/installer-<page>.png; every screenshot stays in the folder given as $2
# (screenshots/installer by default).
# Usage: scripts/screenshots-installer.sh dist/vantel-<version>-setup.exe [folder]
# Needs Wine (64-bit), Xvfb, openbox, xdotool and ImageMagick (import, convert).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ $# -lt 1 ] || [ ! -f "$1" ]; then
    echo "usage: screenshots-installer.sh <setup.exe> [folder]" >&2
    exit 2
fi
setup="$(realpath "$1")"
out="$(realpath -m "${2:-$root/screenshots/installer}")"
mkdir -p "$out"
rm -f "$out"/*.png

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] || wine="$(command -v wine64 || true)"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver || true)"
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
    echo "screenshots-installer.sh: wine64 is missing" >&2
    exit 1
fi
for tool in Xvfb openbox xdotool import convert; do
    command -v "$tool" >/dev/null || { echo "screenshots-installer.sh: $tool is missing" >&2; exit 1; }
done

work="$(mktemp -d)"
# A prefix of this run only, without the Mono and Gecko installers' questions.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
cleanup() {
    "$wineserver" -k 2>/dev/null || true
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "screenshots-installer.sh: $*" >&2
    exit 1
}

# Xvfb on a free display, with openbox.
. "$(dirname "$0")/xdisplay.sh"
start_display

echo "the Wine prefix:"
"$wine" wineboot -i >/dev/null 2>&1 || fail "the Wine prefix could not be made"
"$wineserver" -w

window=""
shot=0
# wait_for TITLE: waits (30 s at most) for the window whose title holds TITLE.
wait_for() {
    window=""
    for _ in $(seq 60); do
        window="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1)" || true
        [ -n "$window" ] && break
        sleep 0.5
    done
    [ -n "$window" ] || fail "no window \"$1\" appeared"
    xdotool windowactivate --sync "$window" 2>/dev/null || true
    sleep 1
}
# snap PAGE: the installer's window as it shows now, without the frame.
snap() {
    shot=$((shot + 1))
    local file
    file="$(printf '%s/%02d-%s.png' "$out" "$shot" "$1")"
    import -window "$window" "$file"
    echo "  $file"
}
# settle PAGE: waits (60 s at most) until the window stops changing, as a finished
# progress page does, then takes its picture.
settle() {
    local last="" now
    for _ in $(seq 120); do
        sleep 0.5
        now="$(import -window "$window" rgb:- 2>/dev/null | md5sum)"
        [ "$now" = "$last" ] && break
        last="$now"
    done
    snap "$1"
}
# next: the page's default button. On the last page the window closes at the key's
# press, and xdotool's release then finds no window: that is no failure.
next() {
    xdotool windowactivate --sync "$window" 2>/dev/null || true
    xdotool key --window "$window" Return 2>/dev/null || true
}

echo "the installer:"
"$wine" "$setup" >/dev/null 2>&1 &
pids+=($!)
wait_for " Setup"
snap licence
next
sleep 1
snap directory
next
# The files take a few seconds to copy: the picture is taken while they are.
sleep 0.6
snap progress
settle complete
next
"$wineserver" -w

echo "the uninstaller:"
programs="$("$wine" cmd /c echo "%LOCALAPPDATA%\\Programs\\vantel" 2>/dev/null | tr -d '\r')"
[ -f "$("$wine" winepath -u "$programs\\uninstall.exe" 2>/dev/null)" ] ||
    fail "the installer left no $programs\\uninstall.exe"
"$wine" "$programs\\uninstall.exe" >/dev/null 2>&1 &
pids+=($!)
wait_for " Uninstall"
snap uninstall
next
settle uninstall-complete
next
# The uninstaller copies itself away and returns at once; wineserver -w waits for it.
"$wineserver" -w

# The manual's pictures, each small enough to keep in the repository.
images="$root/docs/images"
mkdir -p "$images"
max_bytes=$((60 * 1024))
echo "manual:"
for page in licence directory progress complete uninstall; do
    files=("$out"/[0-9][0-9]-"$page".png)
    [ -e "${files[0]}" ] || fail "no screenshot $page"
    target="$images/installer-$page.png"
    convert "${files[0]}" -strip -define png:compression-level=9 "$target"
    [ "$(stat -c %s "$target")" -le "$max_bytes" ] || fail "$target is over $max_bytes bytes"
    echo "  $target"
done
echo "screenshots in $out, the manual's pictures in $images"
