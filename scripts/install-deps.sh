#!/usr/bin/env bash
# Installs, from Debian's packages, what building, running and testing need.
# Packages already present are left alone; apt-get runs only when one is missing.
# With the argument `windows`, also what scripts/windows.sh needs; with `demo`,
# only what building and running the programs needs (scripts/demo.sh).
set -euo pipefail

# Building and running the programs.
packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-serialport-dev qt6-qpa-plugins
    libqcustomplot-dev # the trend window's plot (its Qt 6 build, libQCustomPlotQt6)
    libmodbus-dev libmosquitto-dev
    libhttp-parser-dev # the HTTP server's request parser (serve --http)
    prometheus-cpp-dev # the text format of serve --http's /metrics
    libjs-chart.js # the browser page's chart, built into the program's resources
    fonts-liberation fonts-wqy-zenhei
)
# The tests, the benchmarks, the fuzzers and the package besides.
[ "${1:-}" = "demo" ] || packages+=(
    ccache # the suite's builds share a compiler cache (scripts/build.sh)
    mbpoll mosquitto mosquitto-clients
    prometheus # a real Prometheus server (and promtool) that scrapes serve --http's /metrics
    python3-pyvisa python3-pyvisa-py # a real SCPI client for vantelctl serve's tests
    # an independent Modbus RTU slave on a socat pty for the end-to-end tests
    python3-pymodbus python3-serial python3-serial-asyncio socat
    # a real browser for the page's end-to-end tests
    chromium chromium-driver python3-selenium
    xvfb xauth openbox imagemagick xdotool
    clang libclang-rt-14-dev clang-format
    locales
    dpkg-dev file librsvg2-bin desktop-file-utils appstream lintian
)
# `install-deps.sh windows`: the cross-build for Windows and its tests under Wine.
if [ "${1:-}" = "windows" ]; then
    packages+=(g++-mingw-w64-x86-64-posix ninja-build dpkg-dev wine64 qt6-base-dev-tools nsis)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
