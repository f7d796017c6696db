#!/usr/bin/env bash
# Configures and builds into build/ (or the folder given as $BUILD_DIR): every
# target, or only those $BUILD_TARGETS names (with what they need).
# Extra arguments go to cmake's configure step.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
read -ra targets <<<"${BUILD_TARGETS:-}"
cmake --build "$build" -j"$(nproc)" ${targets[@]+--target "${targets[@]}"}
