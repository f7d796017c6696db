#!/usr/bin/env bash
# Builds the Windows programs and the zip (scripts/windows.sh), then tests them
# under Wine, headless on Xvfb, in a private Wine prefix made for this run:
#  1. the zip, unpacked into the fresh prefix, starts vantelctl.exe and vantel.exe;
#  2. the Windows unit tests, through CTest;
#  3. end to end against vantel-sim on a pseudo-terminal mapped into the prefix as
#     COM3: vantelctl.exe's commands and exit codes, and the vantel window polling
#     and setting a voltage; the poll period is read off the simulator's trace.
# Exits non-zero on the first failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build-windows}"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
started=$SECONDS
# The programs under Wine use Windows' own platform plugin on the Xvfb display.
unset QT_QPA_PLATFORM

fail() {
    echo "test-windows.sh: $*" >&2
    exit 1
}

BUILD_DIR="$build" "$root/scripts/windows.sh"

sim="$root/build/sim/vantel-sim"
if [ ! -x "$sim" ]; then
    BUILD_DIR="$root/build" "$root/scripts/build.sh" >/dev/null
fi

work="$(mktemp -d)"
sim_pid=""
xvfb_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    WINEPREFIX="$work/prefix" "$wineserver" -k 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=":$(cat "$work/display")"
echo "== a fresh Wine prefix"
"$wine" wineboot -i >/dev/null 2>&1 || fail "the Wine prefix could not be made"
"$wineserver" -w

echo "== the zip in the fresh prefix"
zip="$(ls "$root"/dist/vantel-*-windows-x64.zip)"
(cd "$WINEPREFIX/drive_c" && cmake -E tar xf "$zip")
unpacked="$(basename "$zip" .zip)"
help="$("$wine" "C:\\$unpacked\\vantelctl.exe" --help 2>&1)" ||
    fail "vantelctl.exe --help from the zip failed: $help"
grep -q "read" <<<"$help" || fail "vantelctl.exe --help printed no commands: $help"
"$wine" "C:\\$unpacked\\vantel.exe" >/dev/null 2>&1 &
gui=$!
window="$(timeout 60 xdotool search --sync --onlyvisible --name '^vantel - ' 2>/dev/null | head -n 1)" ||
    true
kill "$gui" 2>/dev/null || true
[ -n "$window" ] || fail "vantel.exe from the zip showed no window"
"$wineserver" -k
"$wineserver" -w

# The programs and tests in the build folder find their DLLs through WINEPATH.
. "$root/scripts/windows-env.sh"
winepath=""
for dir in "$qt_dir/bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib; do
    winepath="$winepath;Z:${dir//\//\\}"
done
export WINEPATH="${winepath#;}"

echo "== Windows unit tests under Wine"
(cd "$build" && ctest --output-on-failure -E '^tst_e2e_wine$')

echo "== end to end against vantel-sim as COM3"
mkdir -p "$work/ports"
"$sim" --port 3 --port-dir "$work/ports" --trace --no-stdin >"$work/trace" 2>&1 &
sim_pid=$!
for _ in $(seq 50); do
    [ -L "$work/ports/COM3" ] && break
    sleep 0.1
done
pty="$(readlink "$work/ports/COM3")" || fail "vantel-sim published no port"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM3"="%s"\n' "$pty" >"$work/ports.reg"
"$wine" regedit /S "$work/ports.reg"
# The mapping takes effect when Wine starts again.
"$wineserver" -k
"$wineserver" -w

ctl="$build/vantelctl.exe"
if [ -f "$ctl" ]; then
    expect() { # expect STATUS COMMAND...: runs vantelctl.exe, checks its exit status
        local want="$1" status=0
        shift
        "$wine" "$ctl" "$@" >"$work/out" 2>&1 || status=$?
        [ "$status" = "$want" ] ||
            fail "vantelctl.exe $* exited $status, not $want: $(cat "$work/out")"
    }
    expect 0 ports
    grep -q "^COM3 .*free" "$work/out" || fail "vantelctl.exe ports did not list COM3 as free: $(cat "$work/out")"
    expect 0 --port COM3 read
    grep -q "5.00 V" "$work/out" || fail "vantelctl.exe read: $(cat "$work/out")"
    expect 0 --port COM3 set --voltage 12.6 --current 1.5
    expect 0 --port COM3 output on
    grep -q "output on" "$work/out" || fail "vantelctl.exe output on: $(cat "$work/out")"
    expect 0 --port COM3 output off
    # Back to the values the window's test starts from.
    expect 0 --port COM3 set --voltage 5 --current 1
    expect 1 --port COM3 --address 9 read
    expect 3 --port COM9 read
    echo "vantelctl.exe: ports, read, set, output, a silent address (1) and a missing port (3)"
else
    echo "vantelctl.exe is not built: its end-to-end checks are left out"
fi

before="$(wc -l <"$work/trace")"
# Wine passes little of a test's output through a pipe: the test writes a file.
VANTEL_E2E_COM=COM3 "$wine" "$build/tst_e2e_wine.exe" -o "$work/window.txt,txt" >/dev/null 2>&1 ||
    fail "the vantel window against COM3 failed: $(cat "$work/window.txt" 2>/dev/null)"
tail -n +"$((before + 1))" "$work/trace" >"$work/window-trace"

# Periods between status requests at address 1 that follow one another with no
# other request in between.
awk -v request="01 03 10 00 00 06 C1 08" '
    $3 == "rx" {
        frame = $4
        for (i = 5; i <= NF && $i !~ /^@/; i++) frame = frame " " $i
        if (frame == request && last != "") printf "%.1f\n", ($1 - last) * 1000
        last = frame == request ? $1 : ""
    }' "$work/window-trace" | sort -n >"$work/periods"
awk '{ p[NR] = $1; sum += $1 }
    END {
        if (NR < 10) { print "only " NR " poll periods in the trace"; exit 1 }
        mean = sum / NR; median = p[int((NR + 1) / 2)]
        printf "poll period under Wine over %d polls: mean %.1f ms, median %.1f ms, shortest %.1f, longest %.1f\n",
               NR, mean, median, p[1], p[NR]
        if (mean < 315 || mean > 385 || median < 315 || median > 385) exit 1
    }' "$work/periods" || fail "the poll period is not 350 ms +-10 %"
set_frame="01 06 10 00 04 D2 0F 97" # 12.34 V, as the Linux build sends it
[ "$(grep -c " rx $set_frame @1\$" "$work/window-trace")" = 1 ] ||
    fail "the set-voltage click did not send $set_frame once"
echo "set-voltage click sent $set_frame"

echo "== Windows tests passed in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
