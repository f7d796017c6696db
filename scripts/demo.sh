#!/usr/bin/env bash
# Installs what is missing, builds, and starts vantel (or pellow: scripts/demo.sh pellow)
# against the simulated supply, which is published as COM1 in a private port folder.
# The starting and cleaning up is packaging/vantel-demo, the script the installed
# menu entry runs; here it finds the programs in the build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
program="${1:-vantel}"
case "$program" in
vantel | pellow) ;;
*) echo "usage: $0 [vantel|pellow]" >&2; exit 2 ;;
esac

# Only what the demo starts: the tests and benchmarks are built by scripts/test.sh.
"$root/scripts/install-deps.sh" demo
BUILD_DIR="$root/build" BUILD_TARGETS="vantel-sim $program" "$root/scripts/build.sh"

build="$root/build"
PATH="$build/sim:$build/monitor:$build/addrtool:$PATH" exec "$root/packaging/vantel-demo" "$program"
