#!/usr/bin/env bash
# Starts vantel and pellow on a virtual X display (Xvfb with openbox) against the
# simulated supply, uses them as a person would by clicking the controls (the trend,
# a sequence run and the bus window of four supplies included), and saves a
# screenshot after each step into screenshots/ (or the folder given as $1).
# Then makes the manual's pictures in docs/images/: the window, the trend, a
# sequence running, the bus window and pellow from those steps, a vantelctl session
# rendered as a terminal would show it, and the browser page's pictures
# (scripts/screenshots-page.sh, when it is there).
# Needs Xvfb, openbox, xdotool and ImageMagick (import, convert).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
out="$(realpath -m "${1:-$root/screenshots}")"
mkdir -p "$out"
rm -f "$out"/*.png

for tool in Xvfb openbox xdotool import convert; do
    command -v "$tool" >/dev/null || { echo "screenshots.sh: $tool is missing" >&2; exit 1; }
done
for program in monitor/vantel addrtool/pellow ctl/vantelctl sim/vantel-sim; do
    [ -x "$build/$program" ] || { BUILD_DIR="$build" "$root/scripts/build.sh" >/dev/null; break; }
done

work="$(mktemp -d)"
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb on a free display, with openbox.
. "$(dirname "$0")/xdisplay.sh"
start_display

export VANTEL_PORT_DIR="$work/ports"
export QT_QPA_PLATFORM=xcb
# Settings and records of this session only: the records folder is Documents/vantel.
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME"
mkdir -p "$VANTEL_PORT_DIR"
"$build/sim/vantel-sim" --port 1 --no-stdin --control "$work/sim.ctl" \
    --voltage 12.34 --current 1.5 --load 10 >/dev/null &
pids+=($!)
for _ in $(seq 50); do
    [ -e "$VANTEL_PORT_DIR/COM1" ] && break
    sleep 0.1
done

window=""
shot=0
# snap NAME [root|WINDOW]: the window's client area, the whole screen (message boxes,
# menus) or another window.
snap() {
    shot=$((shot + 1))
    local file
    file="$(printf '%s/%02d-%s.png' "$out" "$shot" "$1")"
    sleep 0.3
    import -window "${2:-$window}" "$file"
    echo "  $file"
}
# click LEFT TOP WIDTH HEIGHT [TIMES]: the centre of a control placed in twips.
click() {
    local x=$((($1 + $3 / 2) / 15)) y=$((($2 + $4 / 2) / 15)) n="${5:-1}"
    xdotool mousemove --window "$window" "$x" "$y"
    for _ in $(seq "$n"); do
        xdotool click 1
        sleep 0.15
    done
}
# A message box is open: close it with Enter.
dismiss() {
    xdotool key Return
    sleep 0.3
}
start() {
    "$build/$1" >/dev/null 2>&1 &
    pids+=($!)
    window="$(xdotool search --sync --onlyvisible --name "$2" | head -1)"
    xdotool windowactivate --sync "$window" 2>/dev/null || true
    sleep 0.8
}

echo "vantel:"
start monitor/vantel "^vantel"
snap vantel-start
import -window root "$out/00-screen-with-frame.png"
click 7440 6600 2175 495 # C31 with an empty port list
snap vantel-open-without-search root
dismiss
click 4800 6600 2415 495 # C32 Look for serial port
snap vantel-search
click 7440 6600 2175 495 # C31 Open serial port
snap vantel-open
click 5160 2520 2535 615 # C1 Output monitor start
sleep 1.5
snap vantel-monitor
click 360 4680 255 225 2  # C2: tens of volts up twice
click 1560 4680 255 240 4 # C4: volts up four times -> 24.00 V
click 1920 3600 255 225 8 # C10: tenths of amperes up eight times -> 0.800 A
snap vantel-dialled
click 6120 4680 1575 495 # C18 Set voltage
click 6120 3600 1575 495 # C19 Set current
sleep 1.5
snap vantel-set
click 480 7800 2175 495 # C25 Output start: 24 V into 10 ohms is limited to 0.8 A (CC)
sleep 1.5
snap vantel-output-on
# The trend: right-click the background, choose its one entry; it records from now on
# behind the main window, through load changes and the silence below.
xdotool mousemove --window "$window" $((9000 / 15)) $((1500 / 15)) click 3
snap vantel-context-menu root
xdotool key Down Return
trend="$(xdotool search --sync --onlyvisible --name '^vantel - trend$' | head -1)"
xdotool windowactivate --sync "$window" 2>/dev/null || true
for load in 15 20 30 40 60 40 30 20 15; do
    echo "set load $load" >"$work/sim.ctl"
    sleep 1
done
echo "fault silence on" >"$work/sim.ctl"
sleep 4.6
snap vantel-silence root
dismiss
echo "fault clear" >"$work/sim.ctl"
sleep 1
snap vantel-answering-again
for load in 12 8 6 8 12; do
    echo "set load $load" >"$work/sim.ctl"
    sleep 1
done
xdotool windowactivate --sync "$trend" 2>/dev/null || true
sleep 0.5
snap vantel-trend "$trend"
# The sequence window (F3): a sequence typed in, checked and previewed, then run with
# F5 and stopped with Shift+F5, which switches the output off.
xdotool windowactivate --sync "$window" 2>/dev/null || true
xdotool key F3
sequence="$(xdotool search --sync --onlyvisible --name '^vantel - sequence' | head -1)"
xdotool windowactivate --sync "$sequence" 2>/dev/null || true
xdotool mousemove --window "$sequence" 300 150 click 1
for line in '# I-V points, then a hold' 'limit 21V 1A' 'set 4V 0.8A' 'output on' \
    'sweep voltage 4V 20V 4V dwell 2s' 'hold 20s' 'output off'; do
    xdotool type --delay 10 "$line"
    xdotool key Return
done
sleep 0.6
snap sequence-preview "$sequence"
xdotool key F5
sleep 4
snap sequence-running "$sequence"
snap vantel-running
xdotool windowactivate --sync "$sequence" 2>/dev/null || true
xdotool key shift+F5
sleep 2
snap sequence-stopped "$sequence"
xdotool windowactivate --sync "$window" 2>/dev/null || true
click 480 7800 2175 495 # C25 Output start (the stop switched the output off)
sleep 1.2
click 480 7800 2175 495 # C25 Output stop
sleep 1.2
snap vantel-output-off
click 7440 6600 2175 495 # C31 Close serial port
snap vantel-closed
click 6360 7680 1575 495 # C28 Quit
sleep 0.5

echo "pellow:"
start addrtool/pellow "^pellow"
snap pellow-start
click 4800 1920 2415 495 # C32 Look for serial port
click 7800 1920 1935 495 # C31 Open serial port
snap pellow-open
click 5520 1080 255 225 5 # Command2: new address 2 -> 7
snap pellow-new-address
click 5880 1080 3975 495 # Command1 Set new address of power supply
sleep 1
snap pellow-address-set root
dismiss
snap pellow-done # at its opening size: the status line and the note read in full
click 8160 2880 1575 495 # C28 Quit
sleep 0.3
echo "bus:"
# Four supplies on COM2: 1 limited to 0.200 A (CC), 2 silent, 3 with its output off.
"$build/sim/vantel-sim" --port 2 --no-stdin --control "$work/bus.ctl" --address 1,2,3,4 \
    --output on --voltage 5 --load 10 >/dev/null &
pids+=($!)
for _ in $(seq 50); do
    [ -e "$VANTEL_PORT_DIR/COM2" ] && [ -p "$work/bus.ctl" ] && break
    sleep 0.1
done
for command in "set current 0.2 1" "fault silence on 2" "set output off 3" "set voltage 12 4"; do
    echo "$command" >"$work/bus.ctl"
    sleep 0.2
done
# A vantel of its own: the first one may still ask about its unsaved sequence.
"$build/monitor/vantel" >/dev/null 2>&1 &
pids+=($!)
window="$(xdotool search --sync --all --onlyvisible --pid "$!" --name '^vantel - bench' | head -1)"
xdotool windowactivate --sync "$window" 2>/dev/null || true
sleep 0.8
click 4800 6600 2415 495 # C32 Look for serial port
click 3240 6720 1320 420 # the port list: COM2 typed in
xdotool key ctrl+a
xdotool type --delay 20 COM2
click 7440 6600 2175 495 # C31 Open serial port
xdotool key F6
bus="$(xdotool search --sync --onlyvisible --name '^vantel - bus' | head -1)"
xdotool windowactivate --sync "$bus" 2>/dev/null || true
xdotool windowsize "$bus" 1010 700
sleep 0.5
snap bus-first-look "$bus"
xdotool type --delay 20 "1-4"
xdotool key Return
sleep 4
snap bus-four-cards "$bus"
xdotool key F4
sleep 2
snap bus-recording "$bus"
xdotool key F4
xdotool key ctrl+shift+o
sleep 3
snap bus-all-outputs-off "$bus"
xdotool key alt+F4
sleep 0.3
xdotool windowactivate --sync "$window" 2>/dev/null || true
click 6360 7680 1575 495 # C28 Quit
sleep 0.5

# The manual's pictures, each small enough to keep in the repository.
images="$root/docs/images"
mkdir -p "$images"
max_bytes=$((150 * 1024))
# picture SOURCE NAME: SOURCE as docs/images/NAME.png, its colours reduced when the
# picture would be too large otherwise.
picture() {
    local target="$images/$2.png"
    convert "$1" -strip -define png:compression-level=9 "$target"
    if [ "$(stat -c %s "$target")" -gt "$max_bytes" ]; then
        convert "$1" -strip -colors 128 -define png:compression-level=9 "$target"
    fi
    if [ "$(stat -c %s "$target")" -gt "$max_bytes" ]; then
        echo "screenshots.sh: $target is over $max_bytes bytes" >&2
        exit 1
    fi
    echo "  $target"
}
# step NAME: the screenshot taken above as that step.
step() {
    local files=("$out"/[0-9][0-9]-"$1".png)
    [ -e "${files[0]}" ] || { echo "screenshots.sh: no screenshot $1" >&2; exit 1; }
    echo "${files[0]}"
}
echo "manual:"
picture "$(step vantel-output-on)" window
picture "$(step vantel-trend)" trend
picture "$(step bus-four-cards)" bus
picture "$(step pellow-done)" pellow
picture "$(step sequence-running)" sequence

# A shell session against a simulated supply of its own, typed as a user would and
# rendered in a terminal's colours and font.
"$build/sim/vantel-sim" --port 3 --no-stdin --voltage 12 --current 1 --load 10 >/dev/null &
pids+=($!)
for _ in $(seq 50); do
    [ -e "$VANTEL_PORT_DIR/COM3" ] && break
    sleep 0.1
done
session="$work/session.txt"
: >"$session"
for command in "vantelctl --port COM3 scan --to 4" \
    "vantelctl -p COM3 -a 1 set --voltage 12.6 --current 1.5" \
    "vantelctl -p COM3 -a 1 output on" \
    "vantelctl -p COM3 -a 1 --json read" \
    "vantelctl -p COM3 -a 1 log --interval 1000 --duration 3s --off-at-end"; do
    echo "\$ $command" >>"$session"
    read -r -a words <<<"$command"
    (cd "$work" && PATH="$build/ctl:$PATH" "${words[@]}" >>"$session" 2>&1) || true
done
echo "\$ " >>"$session"
# Drawn a line at a time (a command in green) on a canvas the size of the text: a
# character of Liberation Mono at 14 points is 8.4 pixels wide, a line 17 high.
columns="$(awk '{ if (length > m) m = length } END { print m }' "$session")"
draw=()
y=26
while IFS= read -r line; do
    colour='#e0e0e0'
    [[ "$line" == '$ '* ]] && colour='#8ae234'
    line="${line//%/%%}" # ImageMagick reads % as an escape
    indent="${line%%[! ]*}" # and drops leading spaces: they move the line instead
    draw+=(-fill "$colour" -annotate "+$((12 + ${#indent} * 17 / 2))+$y" "${line#"$indent"}")
    y=$((y + 17))
done <"$session"
convert -size "$((columns * 17 / 2 + 24))x$((y - 5))" xc:'#1e1e1e' -font Liberation-Mono \
    -pointsize 14 "${draw[@]}" "$work/shell.png"
picture "$work/shell.png" shell

if [ -x "$root/scripts/screenshots-page.sh" ]; then
    echo "the browser page:"
    BUILD_DIR="$build" "$root/scripts/screenshots-page.sh"
fi
echo "screenshots in $out, the manual's pictures in $images"
