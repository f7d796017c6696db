#!/usr/bin/env bash
# Builds the Debian package into dist/: the installed programs and files only, in
# build-pkg/ (or $BUILD_DIR) with Debian's hardening flags, then CPack. Prints the
# package's path on standard output, everything else on standard error.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-pkg}"

"$root/scripts/install-deps.sh" >&2

# Debian's hardening flags, as cache arguments: whatever configured the folder
# before, the package is built with them (test.sh hands over the folder it built
# and tested with the same flags, which then rebuilds nothing).
. "$root/scripts/hardening.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON "${hardening_args[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target package-contents >&2

rm -rf "$build/cpack"
(cd "$build" && cpack -G DEB -B "$build/cpack" >&2)
mkdir -p "$root/dist"
deb="$(ls "$build"/cpack/*.deb)"
rm -f "$root/dist/$(basename "$deb")"
mv "$deb" "$root/dist/"
echo "$root/dist/$(basename "$deb")"
