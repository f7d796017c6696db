#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as $BUILD_DIR): every
# target, or only those $BUILD_TARGETS names (with what they need).
# Extra arguments go to cmake's configure step.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
# A compiler cache, where one is installed, keeps a second build of the same
# sources short. Its paths are taken relative to the tree, so that another clone
# of it, or another build folder beside it, finds what an earlier build left.
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR=1
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    ${launcher[@]+"${launcher[@]}"} "$@" >/dev/null
read -ra targets <<<"${BUILD_TARGETS:-}"
cmake --build "$build" -j"$(nproc)" ${targets[@]+--target "${targets[@]}"}
