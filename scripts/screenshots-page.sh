#!/usr/bin/env bash
# Takes the page of `vantelctl serve --http` with headless Chromium against the
# simulator with four supplies, at desktop size into docs/images/browser-desktop.png
# and at phone size (dark) into docs/images/browser-phone.png (or into the folder
# given as $1). Each PNG is kept under 150 KB: ImageMagick reduces its colours when
# it is larger. Needs chromium, chromium-driver, python3-selenium and ImageMagick.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
out="$(realpath -m "${1:-$root/docs/images}")"
mkdir -p "$out"
python=/usr/bin/python3
[ -x "$python" ] || python=python3
command -v convert >/dev/null || { echo "screenshots-page.sh: ImageMagick's convert is missing" >&2; exit 1; }
[ -x "$build/ctl/vantelctl" ] && [ -x "$build/sim/vantel-sim" ] ||
    cmake --build "$build" -j"$(nproc)" --target vantelctl vantel-sim >/dev/null

"$python" "$root/tests/web/screenshots_page.py" "$build/ctl/vantelctl" "$build/sim/vantel-sim" \
    "$out/browser-desktop.png" "$out/browser-phone.png"

limit=$((150 * 1024))
for picture in "$out/browser-desktop.png" "$out/browser-phone.png"; do
    for colours in 256 128 64 32; do
        [ "$(stat -c %s "$picture")" -le "$limit" ] && break
        convert "$picture" -strip -dither None -colors "$colours" "PNG8:$picture.tmp"
        mv "$picture.tmp" "$picture"
    done
    echo "$picture: $(stat -c %s "$picture") bytes"
done
