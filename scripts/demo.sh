#!/usr/bin/env bash
# Installs what is missing, builds, and starts vantel (or pellow: scripts/demo.sh pellow)
# against the simulated supply, which is published as COM1 in a private port folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
program="${1:-vantel}"
case "$program" in
vantel) exe="monitor/vantel" ;;
pellow) exe="addrtool/pellow" ;;
*) echo "usage: $0 [vantel|pellow]" >&2; exit 2 ;;
esac

"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"

ports="$(mktemp -d)"
export VANTEL_PORT_DIR="$ports"
# The simulator reads commands from its standard input; keep it open until the end.
coproc SIM { exec "$root/build/sim/vantel-sim" --port 1 --port-dir "$ports"; }
cleanup() {
    kill "$SIM_PID" 2>/dev/null || true
    wait "$SIM_PID" 2>/dev/null || true
    rm -rf "$ports"
}
trap cleanup EXIT
for _ in $(seq 50); do
    [ -e "$ports/COM1" ] && break
    sleep 0.1
done
echo "Simulated supply at address 1 on COM1. In the window: Look for serial port, Open serial port, Output monitor start."
"$root/build/$exe"
