#!/usr/bin/env bash
# Applies .clang-format to every C++ file the repository tracks.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.cpp' '*.h' | xargs clang-format -i
