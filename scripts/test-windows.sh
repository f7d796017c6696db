#!/usr/bin/env bash
# Builds the Windows programs, the zip and the installer (scripts/windows.sh), then
# tests them under Wine, headless on Xvfb, in a private Wine prefix made for this run:
#  1. the zip, unpacked into the fresh prefix, starts vantelctl.exe and vantel.exe;
#  2. the installer, run silently for the current user: the programs, the Start
#     menu entries, the uninstall entry and the installed vantelctl.exe, then the
#     silent uninstall, which leaves none of them but a file of the user's; then
#     an install into the folder /D names;
#  3. the Windows unit tests, through CTest: each suite writes its report to a file
#     that CTest prints when the suite fails (cmake/wine-test-report.cmake), so
#     that a failure names its case;
#  4. end to end against vantel-sim on a pseudo-terminal mapped into the prefix as
#     COM3 (two supplies): vantelctl.exe's commands and exit codes, the vantel
#     window polling and setting a voltage (the poll period is read off the
#     simulator's trace) while vantelctl.exe joins its line for a read, a bus
#     window of two supplies,
#     its trend opened with F2 and saved as CSV, its sequence window opened with F3
#     running a short sequence to its end and stopping another with Shift+F5, and
#     `vantelctl.exe log --mqtt`
#     publishing to a mosquitto on a free loopback port, every row received, and
#     `log --mqtt-control` carrying out a set value and an all-off from it;
#     vantelctl.exe serve (SCPI, Modbus TCP, and --http: the API, the page and
#     its stream answering a client on the Linux side); and a joined run and log
#     through the end of the program that owns COM3 (Ctrl-C, SIGTERM, SIGKILL).
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

# Waits up to 10 s for a line with `text` in `file`; fails with what came instead.
wait_for_line() {
    local file="$1" text="$2" what="$3"
    for _ in $(seq 100); do
        grep -qF "$text" "$file" && return
        sleep 0.1
    done
    fail "$what: $(cat "$file")"
}

# Stops a background Windows program with Ctrl-C, killing it after 5 s.
stop_program() {
    local pid="$1"
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
}

BUILD_DIR="$build" "$root/scripts/windows.sh"

sim="$root/build/sim/vantel-sim"
if [ ! -x "$sim" ]; then
    BUILD_DIR="$root/build" "$root/scripts/build.sh" >/dev/null
fi

work="$(mktemp -d)"
sim_pid=""
xvfb_pid=""
broker_pid=""
sub_pid=""
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
    if [ -n "$sub_pid" ]; then kill "$sub_pid" 2>/dev/null || true; fi
    if [ -n "$broker_pid" ]; then kill "$broker_pid" 2>/dev/null || true; fi
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

echo "== the installer in the fresh prefix, for the current user"
setup="$(ls "$root"/dist/vantel-*-setup.exe)"
"$wine" "$setup" /S || fail "$(basename "$setup") /S failed"
"$wineserver" -w
win_env() { "$wine" cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'; }
programs_win="$(win_env LOCALAPPDATA)\\Programs\\vantel"
installed="$("$wine" winepath -u "$programs_win" 2>/dev/null)"
start_menu="$("$wine" winepath -u "$(win_env APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs\\vantel" 2>/dev/null)"
for file in vantel.exe pellow.exe vantelctl.exe uninstall.exe LICENSE.txt README-windows.txt \
    platforms/qwindows.dll README.md docs/window.md docs/bus.md docs/pellow.md; do
    [ -f "$installed/$file" ] || fail "the installer put no $file into $installed"
done
for link in vantel.lnk pellow.lnk "vantel manual.lnk"; do
    [ -f "$start_menu/$link" ] || fail "the installer made no Start menu entry $link in $start_menu"
done
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\vantel'
"$wine" reg query "$uninstall_key" >"$work/uninstall-entry" 2>&1 ||
    fail "the installer wrote no uninstall entry $uninstall_key"
for value in DisplayName DisplayVersion DisplayIcon UninstallString; do
    grep -q "$value" "$work/uninstall-entry" ||
        fail "the uninstall entry has no $value: $(cat "$work/uninstall-entry")"
done
help="$("$wine" "$programs_win\\vantelctl.exe" --help 2>&1)" ||
    fail "the installed vantelctl.exe --help failed: $help"
grep -q "read" <<<"$help" || fail "the installed vantelctl.exe --help printed no commands: $help"
# A sequence file the user keeps beside the programs, as README's examples run it,
# stays through an upgrade (the same installer again) and the uninstall.
echo "set 5V 1A" >"$installed/charge.txt"
"$wine" "$setup" /S || fail "$(basename "$setup") /S over an installed version failed"
"$wineserver" -w
[ -f "$installed/charge.txt" ] && [ -f "$installed/vantelctl.exe" ] ||
    fail "an upgrade did not keep the user's charge.txt and the programs: $(ls "$installed")"
# The uninstaller copies itself away and returns at once; wineserver -w waits for it.
"$wine" "$programs_win\\uninstall.exe" /S || fail "uninstall.exe /S failed"
"$wineserver" -w
left="$(cd "$installed" && find . -mindepth 1 | sort | tr '\n' ' ')"
[ "$left" = "./charge.txt " ] ||
    fail "the uninstaller did not leave exactly the user's charge.txt in $installed: $left"
[ ! -e "$start_menu" ] || fail "the uninstaller left Start menu entries: $(ls "$start_menu")"
if "$wine" reg query "$uninstall_key" >/dev/null 2>&1; then
    fail "the uninstaller left the uninstall entry $uninstall_key"
fi
rm -r "$installed"
# /D names the folder, over the per-user default.
"$wine" "$setup" /S '/D=C:\Tools\vantel' || fail "$(basename "$setup") /S /D=C:\Tools\vantel failed"
"$wineserver" -w
[ -f "$WINEPREFIX/drive_c/Tools/vantel/vantelctl.exe" ] ||
    fail "the installer ignored /D=C:\Tools\vantel: $(ls "$WINEPREFIX/drive_c/Tools/vantel" 2>&1)"
[ ! -e "$installed" ] || fail "with /D the installer still wrote into $installed"
"$wine" 'C:\Tools\vantel\uninstall.exe' /S || fail "uninstall.exe /S from C:\Tools\vantel failed"
"$wineserver" -w
[ ! -e "$WINEPREFIX/drive_c/Tools/vantel" ] ||
    fail "the uninstaller left $(ls "$WINEPREFIX/drive_c/Tools/vantel") in C:\Tools\vantel"
echo "installer: programs, Start menu entries, uninstall entry, vantelctl.exe --help, silent uninstall" \
    "that keeps the user's own file, /D"
# The uninstaller's wait above may have let the server end: nothing to stop then.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w

# The programs and tests in the build folder find their DLLs through WINEPATH.
. "$root/scripts/windows-env.sh"
winepath=""
for dir in "$qt_dir/bin" "$qcustomplot_dir/bin" /usr/lib/gcc/x86_64-w64-mingw32/*-posix /usr/x86_64-w64-mingw32/lib; do
    winepath="$winepath;Z:${dir//\//\\}"
done
export WINEPATH="${winepath#;}"

echo "== Windows unit tests under Wine"
(cd "$build" && ctest --output-on-failure -E '^tst_e2e_wine')

echo "== end to end against vantel-sim as COM3"
mkdir -p "$work/ports"
# Two supplies on the port: the window polls address 1, a bus of two reads both.
"$sim" --port 3 --port-dir "$work/ports" --address 1,2 --trace --no-stdin >"$work/trace" 2>&1 &
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
    expect 2 --port COM3 log --duration 1s --mqtt mqtts://127.0.0.1
    grep -q "mqtts:// is not available" "$work/out" ||
        fail "vantelctl.exe log --mqtt mqtts:// did not say TLS is not available: $(cat "$work/out")"
    echo "vantelctl.exe: ports, read, set, output, a silent address (1), a missing port (3), mqtts:// refused (2)"
else
    echo "vantelctl.exe is not built: its end-to-end checks are left out"
fi

before="$(wc -l <"$work/trace")"
polls_since() { tail -n +"$(($1 + 1))" "$work/trace" | grep -c " rx 01 03 10 00 00 06 C1 08 " || true; }
# Wine passes little of a test's output through a pipe: the test writes a file.
VANTEL_E2E_COM=COM3 "$wine" "$build/tst_e2e_wine.exe" monitorAndSetVoltage \
    -o "$work/window.txt,txt" >/dev/null 2>&1 &
window_pid=$!
# While the window polls COM3, vantelctl.exe opens it too: it joins the window's
# line and reads the other supply, and the window goes on polling.
for _ in $(seq 150); do
    [ "$(polls_since "$before")" -ge 3 ] && break
    sleep 0.1
done
[ "$(polls_since "$before")" -ge 3 ] || fail "the vantel window did not poll COM3"
joined_at="$(wc -l <"$work/trace")"
"$wine" "$ctl" --port COM3 --address 2 read >"$work/joined" 2>&1 ||
    fail "vantelctl.exe read while the window polls COM3 failed: $(cat "$work/joined")"
grep -q " V" "$work/joined" || fail "vantelctl.exe read beside the window: $(cat "$work/joined")"
read_at="$(wc -l <"$work/trace")"
for _ in $(seq 30); do
    [ "$(polls_since "$read_at")" -ge 2 ] && break
    sleep 0.1
done
[ "$(polls_since "$read_at")" -ge 2 ] || fail "the window stopped polling when vantelctl.exe joined it"
tail -n +"$((joined_at + 1))" "$work/trace" | grep -q " rx 02 03 10 00 00 06 C1 3B " ||
    fail "vantelctl.exe's read of address 2 did not reach the line"
wait "$window_pid" || fail "the vantel window against COM3 failed: $(cat "$work/window.txt" 2>/dev/null)"
echo "shared port: vantelctl.exe read address 2 through the vantel window's line while it polled COM3"
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

bus_from="$(wc -l <"$work/trace")"
VANTEL_E2E_COM=COM3 "$wine" "$build/tst_e2e_wine.exe" busOfTwo -o "$work/bus.txt,txt" \
    >/dev/null 2>&1 || fail "the bus window on COM3 failed: $(cat "$work/bus.txt" 2>/dev/null)"
[ "$(tail -n +"$((bus_from + 1))" "$work/trace" | grep -c " rx 02 03 10 00 00 06 C1 3B ")" -ge 3 ] ||
    fail "the bus window did not read address 2"
echo "bus: a bus of two read round-robin beside the window's poll"

if [ -f "$build/tst_e2e_wine_trend.exe" ]; then
    VANTEL_E2E_COM=COM3 "$wine" "$build/tst_e2e_wine_trend.exe" -o "$work/trend.txt,txt" \
        >/dev/null 2>&1 || fail "the trend of the vantel window failed: $(cat "$work/trend.txt" 2>/dev/null)"
    echo "trend: opened with F2 while polling COM3, its CSV saved"
else
    fail "tst_e2e_wine_trend.exe was not built: the Windows build has no trend window"
fi

# The sequence window: F3 opens it, a short run goes from F5 to its end with its
# record, and a run stopped with Shift+F5 leaves the output off on the trace.
if [ -f "$build/tst_e2e_wine_sequence.exe" ]; then
    off_frame="01 06 10 06 00 00 6D 0B" # output off at address 1
    offs_before="$(grep -c " rx $off_frame @1\$" "$work/trace" || true)"
    VANTEL_E2E_COM=COM3 "$wine" "$build/tst_e2e_wine_sequence.exe" -o "$work/sequence.txt,txt" \
        >/dev/null 2>&1 || fail "the sequence window failed: $(cat "$work/sequence.txt" 2>/dev/null)"
    offs="$(grep -c " rx $off_frame @1\$" "$work/trace" || true)"
    # One from the run's own last line, one from the stop.
    [ "$((offs - offs_before))" -ge 2 ] ||
        fail "the stopped run left no output-off request on the trace"
    echo "sequence: F3 opened it, a run went from F5 to its end with its record, Shift+F5 switched the output off"
else
    fail "tst_e2e_wine_sequence.exe was not built"
fi

# A mosquitto of our own on a free loopback port: a port another program holds
# makes it exit at once, and the next port is tried.
echo "== vantelctl.exe log --mqtt against mosquitto"
port=""
for _ in $(seq 20); do
    candidate=$((20000 + RANDOM % 20000))
    printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$candidate" >"$work/mosquitto.conf"
    mosquitto -c "$work/mosquitto.conf" >"$work/broker.log" 2>&1 &
    broker_pid=$!
    sleep 0.5
    if kill -0 "$broker_pid" 2>/dev/null; then
        port=$candidate
        break
    fi
    broker_pid=""
done
[ -n "$port" ] || fail "mosquitto did not start on any of 20 loopback ports: $(cat "$work/broker.log")"
mosquitto_sub -h 127.0.0.1 -p "$port" -t 'vantel/wine/#' -v -q 1 >"$work/received" 2>&1 &
sub_pid=$!
sleep 1
"$wine" "$ctl" --port COM3 log --duration 4s --format jsonl --output "Z:${work//\//\\}\\log.jsonl" \
    --mqtt "mqtt://127.0.0.1:$port" --mqtt-topic vantel/wine >"$work/out" 2>&1 ||
    fail "vantelctl.exe log --mqtt failed: $(cat "$work/out")"
sleep 1
kill "$sub_pid" 2>/dev/null || true
wait "$sub_pid" 2>/dev/null || true
sub_pid=""
tr -d '\r' <"$work/log.jsonl" >"$work/rows"
sed -n 's|^vantel/wine/1/reading ||p' "$work/received" >"$work/published"
rows="$(wc -l <"$work/rows")"
[ "$rows" -ge 5 ] || fail "vantelctl.exe log --mqtt logged only $rows rows in 4 s: $(cat "$work/out")"
cmp -s "$work/rows" "$work/published" ||
    fail "the broker did not receive every row as logged: $(diff "$work/rows" "$work/published" | head -n 10)"
grep -qx "vantel/wine/status offline" "$work/received" ||
    fail "vantelctl.exe did not publish vantel/wine/status offline at the end: $(tail -n 3 "$work/received")"
grep -q "$rows published, 0 dropped" "$work/out" ||
    fail "vantelctl.exe log --mqtt did not count $rows published: $(cat "$work/out")"
echo "log --mqtt: $rows rows logged, the same $rows received by mosquitto_sub, status offline at the end"

# Commands from the broker: a set value and the bench's all-off, each carried out
# on COM3 (the simulator's trace is the judge) and answered with its result.
echo "== vantelctl.exe log --mqtt-control against mosquitto"
mosquitto_sub -h 127.0.0.1 -p "$port" -t 'vantel/wine/1/result' -t 'vantel/wine/result' -v -q 1 \
    >"$work/results" 2>&1 &
sub_pid=$!
"$wine" "$ctl" --port COM3 log --duration 60s --format csv --output "Z:${work//\//\\}\\control.csv" \
    --mqtt "mqtt://127.0.0.1:$port" --mqtt-topic vantel/wine --mqtt-control >"$work/control.out" 2>&1 &
control_pid=$!
for _ in $(seq 300); do
    grep -qF "mqtt: taking commands" "$work/control.out" && break
    kill -0 "$control_pid" 2>/dev/null || break
    sleep 0.1
done
grep -qF "mqtt: taking commands" "$work/control.out" ||
    fail "vantelctl.exe log --mqtt-control took no commands: $(cat "$work/control.out")"
# Waits up to 30 s for the n-th result line.
wait_for_results() {
    for _ in $(seq 300); do
        [ "$(grep -c . "$work/results" || true)" -ge "$1" ] && return
        sleep 0.1
    done
    fail "no result $1 from vantelctl.exe log --mqtt-control: $(cat "$work/results") $(cat "$work/control.out")"
}
sets_before="$(grep -c ' rx 01 06 10 00 02 D5' "$work/trace" || true)" # 7.25 V at address 1
mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t vantel/wine/1/set/v -m '7,25'
wait_for_results 1
grep -q '^vantel/wine/1/result .*"command":"set/v".*"ok":true' "$work/results" ||
    fail "set/v 7,25 was not confirmed: $(cat "$work/results")"
[ "$(grep -c ' rx 01 06 10 00 02 D5' "$work/trace" || true)" -gt "$sets_before" ] ||
    fail "set/v 7,25 sent no 7.25 V write to COM3"
offs_before="$(grep -c ' rx 01 06 10 06 00 00' "$work/trace" || true)"
mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t vantel/wine/all-off -m ''
wait_for_results 2
grep -q '^vantel/wine/result .*"command":"all-off".*"ok":true' "$work/results" ||
    fail "the bench's all-off was not confirmed: $(cat "$work/results")"
[ "$(grep -c ' rx 01 06 10 06 00 00' "$work/trace" || true)" -gt "$offs_before" ] ||
    fail "the bench's all-off sent no output-off to address 1"
stop_program "$control_pid"
wait "$control_pid" 2>/dev/null || fail "vantelctl.exe log --mqtt-control did not end cleanly: $(cat "$work/control.out")"
kill "$sub_pid" 2>/dev/null || true
wait "$sub_pid" 2>/dev/null || true
sub_pid=""
echo "log --mqtt-control: set/v 7,25 and the bench's all-off carried out on COM3 and confirmed"

# vantelctl.exe serve: SCPI on a socket of the Windows program (Wine's sockets are
# the host's), driven from Linux, against the same simulator as COM3.
echo "== vantelctl.exe serve over a socket"
serve_port=$((20000 + RANDOM % 20000))
ons_before="$(grep -c ' rx 01 06 10 06 00 01' "$work/trace" || true)"
"$wine" "$ctl" --port COM3 serve --listen "127.0.0.1:$serve_port" >"$work/serve.out" 2>&1 &
serve_pid=$!
wait_for_line "$work/serve.out" "listening on 127.0.0.1:$serve_port" "vantelctl.exe serve did not listen"
/usr/bin/python3 - "$serve_port" >"$work/scpi" <<'PY' || fail "the SCPI session failed: $(cat "$work/scpi")"
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
f = s.makefile("rb")
for line in ["*IDN?", "VOLT 7.5", "OUTP ON", "MEAS:VOLT?", "SYST:ERR?", "OUTP OFF;VOLT 5;OUTP?"]:
    s.sendall(line.encode() + b"\n")
    if "?" in line:
        print(f.readline().decode().rstrip("\n"))
PY
stop_program "$serve_pid"
mapfile -t answers <"$work/scpi"
[[ "${answers[0]}" == vantel,Modbus\ RTU\ gateway,COM3-1,* ]] ||
    fail "vantelctl.exe serve: *IDN? answered '${answers[0]}'"
[ "${answers[1]}" = "7.50" ] || fail "vantelctl.exe serve: MEAS:VOLT? after VOLT 7.5 and OUTP ON: '${answers[1]}'"
[ "${answers[2]}" = '0,"No error"' ] || fail "vantelctl.exe serve: SYST:ERR? answered '${answers[2]}'"
[ "${answers[3]}" = "0" ] || fail "vantelctl.exe serve: OUTP? after OUTP OFF answered '${answers[3]}'"
ons_after="$(grep -c ' rx 01 06 10 06 00 01' "$work/trace" || true)"
[ "$ons_after" -eq $((ons_before + 1)) ] ||
    fail "vantelctl.exe serve: OUTP ON did not reach the simulator once ($ons_before, then $ons_after)"
echo "serve: *IDN?, VOLT, OUTP ON (on the trace), MEAS:VOLT? and SYST:ERR? over a socket"

# vantelctl.exe serve --modbus on COM3, and vantelctl.exe over tcp:// through it: the
# Windows program's Modbus TCP face and its network port, each against the other.
echo "== vantelctl.exe over tcp:// to vantelctl.exe serve --modbus"
modbus_port=$((20000 + RANDOM % 20000))
"$wine" "$ctl" --port COM3 serve --listen none --modbus "$modbus_port" >"$work/modbus.out" 2>&1 &
serve_pid=$!
wait_for_line "$work/modbus.out" "Modbus TCP on 127.0.0.1:$modbus_port" \
    "vantelctl.exe serve --modbus did not listen"
"$wine" "$ctl" --port "tcp://127.0.0.1:$modbus_port" set --voltage 6.25 --current 1.5 >"$work/tcp.out" 2>&1 ||
    fail "vantelctl.exe set over tcp:// failed: $(cat "$work/tcp.out")"
"$wine" "$ctl" --port "tcp://127.0.0.1:$modbus_port" --json read >"$work/tcp.json" 2>&1 ||
    fail "vantelctl.exe read over tcp:// failed: $(cat "$work/tcp.json")"
stop_program "$serve_pid"
grep -q '"set_v":6.25,"set_a":1.5,' "$work/tcp.json" ||
    fail "vantelctl.exe read over tcp:// did not show the set 6.25 V: $(cat "$work/tcp.json")"
echo "tcp://: set and read through serve --modbus, both Windows programs"

# vantelctl.exe serve --http on COM3, asked from Linux as the page and its script
# ask: nothing without the token, the supplies with it, a set that reaches the
# simulator (on its trace), the page from the program's resources (no token in it,
# no cookie), the stream.
echo "== vantelctl.exe serve --http"
http_port=$((20000 + RANDOM % 20000))
http_token="wine-$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
sets_before="$(grep -c ' rx 01 06 10 00 03 39' "$work/trace" || true)"
VANTEL_HTTP_TOKEN="$http_token" "$wine" "$ctl" --port COM3 serve --listen none \
    --http "$http_port" >"$work/http.out" 2>&1 &
serve_pid=$!
wait_for_line "$work/http.out" "open http://127.0.0.1:$http_port/?token=$http_token" \
    "vantelctl.exe serve --http did not listen"
/usr/bin/python3 - "$http_port" "$http_token" >"$work/http" 2>&1 <<'PY' ||
import http.client, json, sys
port, token = int(sys.argv[1]), sys.argv[2]
def ask(method, path, body=None, headers=None):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
    c.request(method, path, body=body, headers=headers or {})
    r = c.getresponse()
    return r.status, dict(r.getheaders()), r.read()
bearer = {"Authorization": "Bearer " + token}
status, _, _ = ask("GET", "/api/supplies")
assert status == 401, f"no token: {status}"
status, _, body = ask("GET", "/api/supplies", headers=bearer)
assert status == 200, f"supplies: {status} {body}"
supplies = json.loads(body)["supplies"]
assert [s["address"] for s in supplies] == [1], supplies
status, _, body = ask("POST", "/api/supplies/1/set", json.dumps({"v": 8.25}), bearer)
assert status == 200 and json.loads(body)["reading"]["set_v"] == 8.25, f"set: {status} {body}"
status, _, body = ask("POST", "/api/supplies/1/set", json.dumps({"v": 70}), bearer)
assert status == 400, f"70 V: {status} {body}"
status, headers, body = ask("GET", "/?token=" + token)
assert status == 200 and "Set-Cookie" not in headers, f"first visit: {status} {headers}"
assert b'src="/link.js"' in body and token.encode() not in body, f"page: {status}"
assert "default-src 'self'" in headers["Content-Security-Policy"]
status, _, body = ask("GET", "/chart.min.js")
assert status == 200 and len(body) > 100000, f"chart.min.js: {status} {len(body)}"
c = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
c.request("GET", "/api/events", headers=bearer)
r = c.getresponse()
assert r.status == 200 and r.getheader("Content-Type") == "text/event-stream"
assert r.readline() == b"event: reading\n", "the stream's first event"
print("ok")
PY
    fail "the HTTP session failed: $(cat "$work/http") $(cat "$work/http.out")"
stop_program "$serve_pid"
sets_after="$(grep -c ' rx 01 06 10 00 03 39' "$work/trace" || true)"
[ "$sets_after" -ge $((sets_before + 1)) ] ||
    fail "vantelctl.exe serve --http: the set 8.25 V did not reach the simulator ($sets_before, then $sets_after)"
grep -c "$http_token" "$work/http.out" | grep -qx 1 ||
    fail "vantelctl.exe serve --http: the token shows outside its start message: $(cat "$work/http.out")"
echo "serve --http: 401 without the token, the supplies, a set on the trace, 400 for 70 V, the page without a cookie, the stream"

# The owner of COM3 ends while a run and a log have joined its line: by Ctrl-C
# (the owner answers what it took, then hands over), SIGTERM and SIGKILL (the
# process ends at once). The run completes and leaves the output off on the
# trace; the log goes on with at most one "port" row.
echo "== vantelctl.exe: a joined run and log through the owner's end"
printf 'set 6V 1A\noutput on\nrepeat 20\nset 5V 1A\nset 6V 1A\nend\noutput off\nhold 1s\n' \
    >"$work/handover-seq.txt"
win_path() { echo "Z:${1//\//\\}"; }
csv_rows() { tail -n +2 "$1" 2>/dev/null | tr -d '\r' | grep -c . || true; }
# A log started in the background with its record in handover-NAME.csv: waits
# for its first rows.
log_in_background() {
    local name="$1" duration="$2"
    "$wine" "$ctl" --port COM3 log --interval 200 --duration "$duration" \
        --output "$(win_path "$work/handover-$name.csv")" >"$work/handover-$name.out" 2>&1 &
    background_pid=$!
    for _ in $(seq 150); do
        [ "$(csv_rows "$work/handover-$name.csv")" -ge 3 ] && return 0
        sleep 0.1
    done
    fail "handover ($sig): the $name log wrote no rows: $(cat "$work/handover-$name.out")"
}
for sig in INT TERM KILL; do
    rm -f "$work"/handover-*.csv
    log_in_background owner 60s
    owner_pid=$background_pid
    log_in_background joined 5s
    log_pid=$background_pid
    ran_from="$(wc -l <"$work/trace")"
    "$wine" "$ctl" --port COM3 run "$(win_path "$work/handover-seq.txt")" \
        --output "$(win_path "$work/handover-run.csv")" >"$work/handover-run.out" 2>&1 &
    run_pid=$!
    for _ in $(seq 150); do
        tail -n +"$((ran_from + 1))" "$work/trace" | grep -q " rx 01 06 10 06 00 01 " && break
        sleep 0.1
    done
    tail -n +"$((ran_from + 1))" "$work/trace" | grep -q " rx 01 06 10 06 00 01 " ||
        fail "handover ($sig): the joined run never switched the output on: $(cat "$work/handover-run.out")"
    kill -"$sig" "$owner_pid"
    status=0
    # The shell tells of a job a signal ended (the owner) on its own stderr: not here.
    { wait "$run_pid"; } 2>/dev/null || status=$?
    [ "$status" = 0 ] ||
        fail "handover ($sig): the joined run exited $status: $(cat "$work/handover-run.out")"
    last_switch="$(tail -n +"$((ran_from + 1))" "$work/trace" |
        grep -o ' rx 01 06 10 06 00 0[01] ' | tail -n 1)"
    [ "$last_switch" = " rx 01 06 10 06 00 00 " ] ||
        fail "handover ($sig): the run's last switch on the trace was '$last_switch', not off"
    status=0
    wait "$log_pid" || status=$?
    [ "$status" = 0 ] ||
        fail "handover ($sig): the joined log exited $status: $(cat "$work/handover-joined.out")"
    rows="$(csv_rows "$work/handover-joined.csv")"
    # 5 s at 200 ms: 25 slots, with room for the handover and Wine's pace.
    [ "$rows" -ge 15 ] ||
        fail "handover ($sig): the joined log wrote $rows rows in 5 s: $(cat "$work/handover-joined.out")"
    errors="$(tail -n +2 "$work/handover-joined.csv" | tr -d '\r' | awk -F, '$NF != ""' | wc -l)"
    port_rows="$(tail -n +2 "$work/handover-joined.csv" | tr -d '\r' | awk -F, '$NF == "port"' | wc -l)"
    [ "$errors" -le 1 ] && [ "$errors" = "$port_rows" ] ||
        fail "handover ($sig): the joined log's failed rows: $(tail -n +2 "$work/handover-joined.csv" |
            tr -d '\r' | awk -F, '$NF != ""' | head -n 5)"
    { wait "$owner_pid"; } 2>/dev/null || true
    echo "handover ($sig): the joined run completed with the output off, the joined log wrote $rows rows"
done

echo "== Windows tests passed in $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s"
