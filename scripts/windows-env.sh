# What scripts/windows.sh builds for Windows and where it keeps it: sourced by it and
# by scripts/test-windows.sh. Each cross-built library is cached under
# ${XDG_CACHE_HOME:-~/.cache}/vantel in a folder named by its version and a hash of
# its build options, so that a change of options builds it anew.

cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/vantel"

# The first 10 hex digits of the SHA-256 of the arguments.
options_key() {
    printf '%s\n' "$@" | sha256sum | cut -c1-10
}

qt_version=6.4.2
# Tablet events need wintab.h, which Debian's source leaves out. OpenGL stays on:
# the Windows platform plugin of this version does not compile without it.
# Network stays in for vantelctl's SCPI server (Qt's sockets, no TLS backend).
# What the programs do not use stays out, to keep the build short on a shared
# machine: Direct2D, JPEG, GIF, FreeType (Windows draws its own fonts), graphics
# view, the widgets and dialogs no window here has (the input dialog stays: the
# Vista style includes it; the text browser and the Markdown reader stay: the
# windows' help renders the manual's pages), the rich-text writers, and HarfBuzz (shaping for
# complex scripts; the windows' Latin and Chinese texts need none). DirectWrite
# and DirectWrite 3 go too: their font engine is compiled into Gui only with
# Direct2D, and PrintSupport's print engine would link against it; the platform
# plugin then uses GDI's font database. PrintSupport (with PDF, which its
# printer needs) is built for the trend's plot library. Of Qt Network only the TCP
# and local sockets are used: HTTP (QNetworkAccessManager's protocol), its disk
# cache, DNS lookups, the public-suffix list, UDP, SOCKS5 and Windows' SSPI and
# network-list manager stay out. -O1 rather than Qt's own -O2
# and -O3 shortens the build; a window that polls three times a second does not
# notice.
qt_unused=(
    sql dbus concurrent xml tabletevent
    direct2d directwrite directwrite3 jpeg gif freetype graphicsview
    treewidget listwidget tablewidget commandlinkbutton datetimeedit calendarwidget
    splashscreen lcdnumber fontcombobox toolbox mdiarea dial
    keysequenceedit colordialog filedialog fontdialog progressdialog
    errormessage wizard columnview datawidgetmapper undoview syntaxhighlighter
    dockwidget undocommand undostack undogroup
    textodfwriter textmarkdownwriter movie harfbuzz
    http networkdiskcache dnslookup topleveldomain udpsocket socks5 sspi netlistmgr
)
qt_options=(-DCMAKE_BUILD_TYPE=Release -DQT_USE_DEFAULT_CMAKE_OPTIMIZATION_FLAGS=ON
    "-DCMAKE_C_FLAGS_RELEASE=-O1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG"
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF
    -DFEATURE_system_doubleconversion=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_EXAMPLES=OFF)
for feature in "${qt_unused[@]}"; do
    qt_options+=("-DFEATURE_$feature=OFF")
done
qt_dir="$cache_root/qt-$qt_version-mingw64-$(options_key "${qt_options[@]}")"

# libmosquitto, the client library only, linked statically. Without TLS: OpenSSL
# for Windows would have to be built as well, which a CI run has no time for.
# Without its threading: the Windows build would need a pthreads library; the
# publisher runs the library's loop in a thread of its own and calls it from
# that thread only.
mosquitto_version=2.0.11
mosquitto_options=(-DCMAKE_BUILD_TYPE=Release -DWITH_TLS=OFF -DWITH_THREADING=OFF
    -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DWITH_CLIENTS=OFF -DWITH_CJSON=OFF
    -DDOCUMENTATION=OFF -DWITH_LIB_CPP=OFF -DWITH_STATIC_LIBRARIES=ON)
mosquitto_dir="$cache_root/mosquitto-$mosquitto_version-mingw64-$(options_key "${mosquitto_options[@]}")"

# http_parser, serve --http's request parser: its one C file compiled into a
# static library.
http_parser_version=2.9.4
http_parser_options=(-O2 -DHTTP_PARSER_STRICT=0)
http_parser_dir="$cache_root/http-parser-$http_parser_version-mingw64-$(options_key "${http_parser_options[@]}")"

# prometheus-cpp's core, serve --http's /metrics writer, linked statically: its
# text serializer only, without the pull and push parts (and so without civetweb,
# curl and zlib).
prometheus_cpp_version=1.0.1
prometheus_cpp_options=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DENABLE_PULL=OFF
    -DENABLE_PUSH=OFF -DENABLE_COMPRESSION=OFF -DENABLE_TESTING=OFF -DUSE_THIRDPARTY_LIBRARIES=OFF
    -DGENERATE_PKGCONFIG=OFF -DRUN_IWYU=OFF)
prometheus_cpp_dir="$cache_root/prometheus-cpp-$prometheus_cpp_version-mingw64-$(options_key "${prometheus_cpp_options[@]}")"

# QCustomPlot, the trend's plot library, as a DLL built by Debian's own CMake
# files for it, against the Qt above (whose folder name is part of its key).
qcustomplot_version=2.1.0
qcustomplot_options=(-DCMAKE_BUILD_TYPE=Release -DUSE_QT_VERSION=6)
qcustomplot_dir="$cache_root/qcustomplot-$qcustomplot_version-mingw64-$(options_key "${qcustomplot_options[@]}" "$qt_dir")"
