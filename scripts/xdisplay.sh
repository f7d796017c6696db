# Sourced by the picture scripts: starts Xvfb on a free display and openbox on it,
# exports DISPLAY, and adds both processes to the caller's `pids` array, which the
# caller's cleanup ends.
start_display() {
    local display=99
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY=":$display"
    for _ in $(seq 50); do
        xdotool getdisplaygeometry >/dev/null 2>&1 && break
        sleep 0.1
    done
    openbox >/dev/null 2>&1 &
    pids+=($!)
    sleep 0.5
}
