#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64 and packs them in a zip and an
# installer.
#
# 1. Builds Qt for Windows once, from Debian's own qt6-base source package, into
#    ${XDG_CACHE_HOME:-~/.cache}/vantel (reused while it exists; see
#    scripts/windows-env.sh), then libmosquitto, prometheus-cpp's core and
#    QCustomPlot from their Debian source packages beside it, the same way.
# 2. Cross-builds vantel.exe, pellow.exe, vantelctl.exe and the unit tests into
#    build-windows/ (or $BUILD_DIR).
# 3. Packs dist/vantel-<version>-windows-x64.zip, the installer
#    dist/vantel-<version>-setup.exe (NSIS) and the corresponding source,
#    dist/vantel-<version>-source.tar.gz.
#
# `scripts/windows.sh qt` stops after the first step (scripts/test.sh runs it in the
# background beside the Linux stages).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/windows-env.sh"
toolchain="$root/cmake/mingw64-toolchain.cmake"

fail() {
    echo "windows.sh: $*" >&2
    exit 1
}

# The first Debian mirror the machine's own apt sources name for bookworm, from
# one-line (.list) or deb822 (.sources) files.
debian_mirror() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '$1 == "deb" && $0 ~ / bookworm / { for (i = 2; i <= NF; i++) if ($i ~ /^https?:/) { print $i; exit } }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; FS = "\n" }
             /(^|\n)Suites:[^\n]*[ \t]bookworm([ \t]|\n|$)/ {
                 for (i = 1; i <= NF; i++) if ($i ~ /^URIs:/) { split($i, u, /[ \t]+/); print u[2]; exit }
             }' "$f"
    done
}

# Fetches and unpacks the Debian source package $2 (of version $3, as its folder
# name begins) into $1, with a private source list and state folder so that the
# machine's apt configuration stays as it is.
fetch_source() {
    local into="$1" package="$2" version="$3" mirror apt_dir
    mirror="$(debian_mirror | head -n 1)"
    [ -n "$mirror" ] || fail "no Debian bookworm mirror found in /etc/apt/sources.list*"
    apt_dir="$into/apt"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/parts" "$apt_dir/cache/archives/partial"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm main" \
        >"$apt_dir/sources.list"
    local apt_opts=(
        -o Dir::Etc::SourceList="$apt_dir/sources.list"
        -o Dir::Etc::SourceParts="$apt_dir/parts"
        -o Dir::State::Lists="$apt_dir/lists"
        -o Dir::Cache="$apt_dir/cache"
        -o APT::Sandbox::User=root
    )
    echo "== fetching the $package source package from $mirror"
    local log="$into/apt.log"
    apt-get "${apt_opts[@]}" update >"$log" 2>&1 ||
        fail "the Debian source index could not be fetched from $mirror: $(tail -n 3 "$log")"
    (cd "$into" && apt-get "${apt_opts[@]}" source "$package" >>"$log" 2>&1) ||
        fail "the $package source package could not be fetched: $(tail -n 3 "$log")"
    ls -d "$into/$package-$version"*/ >/dev/null 2>&1 ||
        fail "the $package source package is not version $version: $(ls "$into")"
}

# Builds Qt Core, Gui, Widgets and Test for Windows, using Debian's own host tools
# (moc, rcc, uic) from /usr. Built in a temporary folder and renamed at the end, so
# that a failed build leaves nothing in the cache.
build_qt() {
    local cache_parent work src log started
    cache_parent="$(dirname "$qt_dir")"
    mkdir -p "$cache_parent" || fail "the cache folder $cache_parent could not be created"
    work="$(mktemp -d "$cache_parent/qt-build.XXXXXX")"
    # Remove the temporary folder however this ends, keeping the build's log.
    trap "cp -f '$work/qt-build.log' '$cache_parent/qt-build-failed.log' 2>/dev/null; rm -rf '$work'" EXIT
    started=$SECONDS
    # Debian's host tools (moc, rcc, uic) must be of the same version.
    fetch_source "$work" qt6-base "$qt_version"
    src="$(ls -d "$work/qt6-base-$qt_version"*/ | head -n 1)"
    log="$work/qt-build.log"
    echo "== building Qt $qt_version for Windows (once; about 25 minutes on 2 cores)"
    # $qt_options (scripts/windows-env.sh) says what is built and what stays out.
    nice -n 15 cmake -S "$src" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_INSTALL_PREFIX="$work/install" \
        -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        "${qt_options[@]}" \
        >"$log" 2>&1 || fail "Qt for Windows could not be configured: $(tail -n 20 "$log")"
    nice -n 15 cmake --build "$work/build" --parallel 2 >>"$log" 2>&1 ||
        fail "Qt for Windows did not build: $(grep -m 5 -A 5 -E 'error|FAILED' "$log")"
    cmake --install "$work/build" >>"$log" 2>&1 ||
        fail "Qt for Windows could not be installed: $(tail -n 20 "$log")"
    mv "$work/install" "$qt_dir" || fail "Qt for Windows could not be moved to $qt_dir"
    echo "== Qt $qt_version for Windows built in $(((SECONDS - started) / 60)) min into $qt_dir"
    rm -rf "$work" "$cache_parent/qt-build-failed.log"
    trap - EXIT
}

# build_library NAME PACKAGE VERSION INTO CMAKE OPTIONS...: builds the Debian source
# package PACKAGE (of VERSION) for Windows with the command CMAKE and OPTIONS, and
# installs it into INTO. Built in a temporary folder and renamed at the end, so
# that a failed build leaves nothing in the cache.
build_library() {
    local name="$1" package="$2" version="$3" into="$4" cache_parent work src log started
    shift 4
    cache_parent="$(dirname "$into")"
    mkdir -p "$cache_parent" || fail "the cache folder $cache_parent could not be created"
    work="$(mktemp -d "$cache_parent/$name-build.XXXXXX")"
    trap "cp -f '$work/build.log' '$cache_parent/$name-build-failed.log' 2>/dev/null; rm -rf '$work'" EXIT
    started=$SECONDS
    fetch_source "$work" "$package" "$version"
    src="$(ls -d "$work/$package-$version"*/ | head -n 1)"
    log="$work/build.log"
    echo "== building $name $version for Windows (once)"
    "$@" -S "$src" -B "$work/build" -G Ninja -DCMAKE_INSTALL_PREFIX="$work/install" \
        >"$log" 2>&1 || fail "$name for Windows could not be configured: $(tail -n 20 "$log")"
    nice -n 15 cmake --build "$work/build" --parallel 2 >>"$log" 2>&1 ||
        fail "$name for Windows did not build: $(grep -m 5 -A 5 -E 'error|FAILED' "$log")"
    cmake --install "$work/build" >>"$log" 2>&1 ||
        fail "$name for Windows could not be installed: $(tail -n 20 "$log")"
    mv "$work/install" "$into" || fail "$name for Windows could not be moved to $into"
    echo "== $name $version for Windows built in $((SECONDS - started)) s into $into"
    rm -rf "$work" "$cache_parent/$name-build-failed.log"
    trap - EXIT
}

build_mosquitto() {
    [ -f "$mosquitto_dir/lib/libmosquitto_static.a" ] && return
    build_library libmosquitto mosquitto "$mosquitto_version" "$mosquitto_dir" \
        cmake -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${mosquitto_options[@]}"
    [ -f "$mosquitto_dir/lib/libmosquitto_static.a" ] ||
        fail "the libmosquitto build installed no lib/libmosquitto_static.a into $mosquitto_dir"
}

build_prometheus_cpp() {
    [ -f "$prometheus_cpp_dir/lib/libprometheus-cpp-core.a" ] && return
    build_library prometheus-cpp prometheus-cpp "$prometheus_cpp_version" "$prometheus_cpp_dir" \
        cmake -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${prometheus_cpp_options[@]}"
    [ -f "$prometheus_cpp_dir/lib/libprometheus-cpp-core.a" ] ||
        fail "the prometheus-cpp build installed no lib/libprometheus-cpp-core.a into $prometheus_cpp_dir"
}

# The programs link its import library by path (trend/CMakeLists.txt then marks
# its classes as imported from the DLL), not through its CMake package, whose
# targets do not.
qcustomplot_built() {
    ls "$qcustomplot_dir"/bin/*.dll "$qcustomplot_dir"/lib/lib*.dll.a \
        "$qcustomplot_dir/include/qcustomplot.h" >/dev/null 2>&1
}
build_qcustomplot() {
    qcustomplot_built && return
    build_library QCustomPlot qcustomplot "$qcustomplot_version" "$qcustomplot_dir" \
        "$qt_dir/bin/qt-cmake" -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" "${qcustomplot_options[@]}"
    qcustomplot_built ||
        fail "the QCustomPlot build installed no DLL, import library and header into $qcustomplot_dir"
}

# http_parser is one C file and a header: compiled with MinGW into a static
# library, in a temporary folder renamed at the end.
build_http_parser() {
    [ -f "$http_parser_dir/lib/libhttp_parser.a" ] && return
    local cache_parent work src
    cache_parent="$(dirname "$http_parser_dir")"
    mkdir -p "$cache_parent" || fail "the cache folder $cache_parent could not be created"
    work="$(mktemp -d "$cache_parent/http-parser-build.XXXXXX")"
    trap "rm -rf '$work'" EXIT
    fetch_source "$work" http-parser "$http_parser_version"
    src="$(ls -d "$work/http-parser-$http_parser_version"*/ | head -n 1)"
    echo "== building http_parser $http_parser_version for Windows (once)"
    mkdir -p "$work/install/lib" "$work/install/include"
    x86_64-w64-mingw32-gcc "${http_parser_options[@]}" -c "$src/http_parser.c" \
        -o "$work/http_parser.o" || fail "http_parser for Windows did not compile"
    x86_64-w64-mingw32-ar rcs "$work/install/lib/libhttp_parser.a" "$work/http_parser.o" ||
        fail "http_parser's library could not be made"
    cp "$src/http_parser.h" "$work/install/include/" || fail "http_parser.h is missing"
    mv "$work/install" "$http_parser_dir" || fail "http_parser could not be moved to $http_parser_dir"
    rm -rf "$work"
    trap - EXIT
}

# Cross-builds the programs and the tests with warnings as errors.
build_programs() {
    local launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    echo "== cross-building vantel, pellow, vantelctl and the tests for Windows into $build"
    "$qt_dir/bin/qt-cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" -DVANTEL_WERROR=ON \
        -DVANTEL_MOSQUITTO_DIR="$mosquitto_dir" \
        -DVANTEL_HTTP_PARSER_DIR="$http_parser_dir" \
        -DVANTEL_PROMETHEUS_CPP_DIR="$prometheus_cpp_dir" \
        -DQCUSTOMPLOT_LIBRARY="$(ls "$qcustomplot_dir"/lib/lib*.dll.a | head -n 1)" \
        -DQCUSTOMPLOT_INCLUDE_DIR="$qcustomplot_dir/include" \
        -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 "${launcher[@]}" >/dev/null ||
        fail "the Windows build could not be configured (see above)"
    cmake --build "$build" --parallel 2 || fail "the Windows build failed (see above)"
}

# The DLLs a program or plugin loads, found in Qt's and MinGW's folders, with the
# DLLs those load in turn. Windows' own DLLs are in neither folder and stay out.
dll_dirs=("$qt_dir/bin" "$qcustomplot_dir/bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib)
needed_dlls() {
    local pending=("$@") seen=" " file name dir
    while [ ${#pending[@]} -gt 0 ]; do
        file="${pending[0]}"
        pending=("${pending[@]:1}")
        for name in $(x86_64-w64-mingw32-objdump -p "$file" | awk '/DLL Name:/ { print $3 }'); do
            case "$seen" in *" $name "*) continue ;; esac
            seen="$seen$name "
            for dir in "${dll_dirs[@]}"; do
                if [ -f "$dir/$name" ]; then
                    echo "$dir/$name"
                    pending+=("$dir/$name")
                    break
                fi
            done
        done
    done
}

# Stages the programs with what they need to start on a Windows PC without Qt
# into $stage/$name, the folder that both the zip and the installer hold.
stage_programs() {
    local programs=() plugins exe
    mkdir -p "$stage/$name/platforms" "$stage/$name/styles"
    # Qt's project setup puts every Windows program at the top of the build folder.
    for exe in vantel.exe pellow.exe vantelctl.exe; do
        [ -f "$build/$exe" ] || fail "$exe was not built"
        programs+=("$build/$exe")
    done
    plugins=("$qt_dir/plugins/platforms/qwindows.dll" "$qt_dir/plugins/styles/qwindowsvistastyle.dll")
    cp "${programs[@]}" "$stage/$name/"
    cp "${plugins[0]}" "$stage/$name/platforms/"
    cp "${plugins[1]}" "$stage/$name/styles/"
    needed_dlls "${programs[@]}" "${plugins[@]}" | sort -u | xargs -r cp -t "$stage/$name/"
    x86_64-w64-mingw32-strip --strip-unneeded "$stage/$name"/*.exe "$stage/$name"/*.dll \
        "$stage/$name"/*/*.dll
    sed "s/@VERSION@/$version/g" "$root/packaging/windows/README-windows.txt" \
        >"$stage/$name/README-windows.txt"
    cp "$root/LICENSE" "$stage/$name/LICENSE.txt"
    # The manual as in the tree: README.md beside the programs, the pages in docs\.
    # The programs carry it too: vantel.exe --manual shows it without a Markdown viewer.
    mkdir -p "$stage/$name/docs/images"
    cp "$root/README.md" "$stage/$name/"
    cp "$root"/docs/*.md "$stage/$name/docs/"
    find "$root/docs/images" -maxdepth 1 -name '*.png' -exec cp -t "$stage/$name/docs/images/" {} +
}

pack_zip() {
    local zip="$root/dist/$name.zip"
    rm -f "$zip"
    (cd "$stage" && cmake -E tar cf "$zip" --format=zip "$name") || fail "the zip could not be packed"
    echo "== $zip ($(du -k "$zip" | cut -f1) KB)"
}

# What the staged folder holds, as the installer lists it for its uninstaller and
# the next version's installer (see vantel.nsi): the files, then the folders deepest
# first, each ended by a backslash; paths relative to the folder, with Windows'
# separators.
list_staged() {
    (
        cd "$1" &&
            find . -type f | LC_ALL=C sort &&
            find . -mindepth 1 -type d | LC_ALL=C sort -r | sed 's|$|/|'
    ) | sed 's|^\./||; s|/|\\|g'
}

pack_installer() {
    local setup="$root/dist/vantel-$version-setup.exe" log="$stage/makensis.log" files="$stage/files.lst"
    rm -f "$setup"
    list_staged "$stage/$name" >"$files" || fail "the staged files could not be listed"
    makensis -V2 -DVERSION="$version" -DSTAGE="$stage/$name" -DFILES="$files" -DOUTFILE="$setup" \
        "$root/packaging/windows/vantel.nsi" >"$log" 2>&1 ||
        fail "the installer could not be made: $(tail -n 20 "$log")"
    echo "== $setup ($(du -k "$setup" | cut -f1) KB)"
}

# The tree's own files, one a line relative to it, for a tree that is no git
# repository (an unpacked source archive): everything but what .gitignore names
# (the build folders, dist/), version-control folders and caches. A pattern that
# begins with "/" is taken from the top of the tree, any other by name anywhere;
# one that ends with "/" names folders only.
tree_files() {
    local prune=(-name .git -o -name .cache -o -name __pycache__) pattern type
    while IFS= read -r pattern || [ -n "$pattern" ]; do
        case "$pattern" in '' | '#'* | '!'*) continue ;; esac
        type=()
        if [ "${pattern%/}" != "$pattern" ]; then
            type=(-type d)
            pattern="${pattern%/}"
        fi
        case "$pattern" in
        /*) prune+=(-o \( "${type[@]}" -path "./${pattern#/}" \)) ;;
        *) prune+=(-o \( "${type[@]}" -name "$pattern" \)) ;;
        esac
    done <"$root/.gitignore"
    (cd "$root" && find . -mindepth 1 \( "${prune[@]}" \) -prune -o \( -type f -o -type l \) -print) |
        sed 's|^\./||' | LC_ALL=C sort
}

# True when the tree is the top of a git repository (not a folder inside another
# one's work tree) and git is there to read it.
in_repository() {
    local top
    command -v git >/dev/null || return 1
    top="$(git -C "$root" rev-parse --show-toplevel 2>/dev/null)" || return 1
    [ "$(cd "$top" && pwd -P)" = "$(cd "$root" && pwd -P)" ]
}

# The corresponding source of what was built: in a git repository, the tree as
# committed with the changes not yet committed (git stash create makes a commit of
# them, or prints nothing when there are none); elsewhere, the tree's own files.
pack_source() {
    local archive="$root/dist/vantel-$version-source.tar.gz" tree list
    rm -f "$archive"
    if in_repository; then
        tree="$(git -C "$root" stash create)" || fail "the source tree could not be read with git"
        git -C "$root" archive --format=tar.gz --prefix="vantel-$version/" -o "$archive" \
            "${tree:-HEAD}" || fail "the source archive could not be written"
    else
        list="$stage/source-files"
        tree_files >"$list" && [ -s "$list" ] || fail "the source tree's files could not be listed"
        tar -C "$root" -czf "$archive" --verbatim-files-from -T "$list" --sort=name \
            --owner=0 --group=0 --numeric-owner --transform="s|^|vantel-$version/|SH" ||
            fail "the source archive could not be written"
        echo "== (no git repository: the archive holds the tree's $(wc -l <"$list") files)"
    fi
    echo "== $archive ($(du -k "$archive" | cut -f1) KB)"
}

"$root/scripts/install-deps.sh" windows
if [ ! -x "$qt_dir/bin/qt-cmake" ]; then
    build_qt
fi
build_mosquitto
build_http_parser
build_prometheus_cpp
build_qcustomplot
[ "${1:-}" = "qt" ] && exit 0
build="${BUILD_DIR:-$root/build-windows}"
build_programs
version="$(sed -n 's/^project(vantel VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
name="vantel-$version-windows-x64"
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
stage_programs
mkdir -p "$root/dist"
pack_zip
pack_installer
pack_source
