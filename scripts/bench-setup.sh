# Sourced by the benchmarks that run vantelctl against vantel-sim: builds (unless
# VANTEL_BENCH_NO_BUILD=1), names the programs, and makes a private port folder that
# is removed, with every process listed in `pids`, when the benchmark ends.
if [ "${VANTEL_BENCH_NO_BUILD:-0}" != "1" ]; then
    "$root/scripts/install-deps.sh"
    BUILD_DIR="$build" "$root/scripts/build.sh" >/dev/null
fi
ctl="$build/ctl/vantelctl"
sim="$build/sim/vantel-sim"

work="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
export VANTEL_PORT_DIR="$work"

# wait_ready N: until the simulator writing $work/simN.out says it is ready.
wait_ready() {
    for _ in $(seq 100); do
        grep -q '^ready' "$work/sim$1.out" 2>/dev/null && return 0
        sleep 0.05
    done
    echo "simulator on COM$1 did not start" >&2
    exit 1
}
