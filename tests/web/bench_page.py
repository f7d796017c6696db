#!/usr/bin/env python3
"""Figures of the page of `vantelctl serve --http` against vantel-sim's timed line
with four supplies, in headless Chromium:

- how long a reading takes from its reply on the line to an open page: the end of
  the reply in the simulator's trace, put on the system's clock, to the moment the
  page's stream handed the reading over (the page's debug hook keeps
  performance.timeOrigin + performance.now() per reading);
- what the page weighs: the bytes of everything / loads;
- how soon a phone-size window shows the first card's values after it opens the
  page (navigation start to the first value on a card, the page's own clock).

    bench_page.py VANTELCTL VANTEL_SIM [SECONDS]

Prints figures; judges nothing.
"""
import os
import re
import statistics
import sys
import time
import urllib.request

sys.dont_write_bytecode = True  # nothing left behind in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stack  # noqa: E402
from stack import wait_until  # noqa: E402

TRACE = re.compile(r"^(\d+\.\d+) (\d+\.\d+) tx ([0-9A-F]{2}) 03 0C ")
PAGE_FILES = ("/", "/link.js", "/app.js", "/style.css", "/chart.min.js")


def replies_on_wall_clock(lines):
    """The status replies' ends per address, in seconds on the system's clock.

    The trace counts from the simulator's start; each line is read here as soon as
    the simulator prints it, a little after the reply's end. The smallest gap
    between the two over all lines is the best estimate of the offset."""
    replies = []
    offset = None
    for read_at, text in lines:
        match = TRACE.match(text)
        if not match:
            continue
        end = float(match.group(2))
        replies.append((int(match.group(3), 16), end))
        gap = read_at - end
        offset = gap if offset is None else min(offset, gap)
    by_address = {}
    for address, end in replies:
        by_address.setdefault(address, []).append(end + offset)
    return by_address


def latencies(events, replies):
    """For each good reading the page received, the time since the last status
    reply of its supply that ended before it, in ms."""
    found = []
    for event in events:
        ends = replies.get(event["address"], [])
        at = event["at"] / 1000.0
        before = [end for end in ends if end <= at]
        if event["good"] and before:
            found.append((at - before[-1]) * 1000.0)
    return found


def describe(values):
    values = sorted(values)
    return "median %.1f ms, 90th percentile %.1f ms, max %.1f ms (%d readings)" % (
        statistics.median(values), values[int(len(values) * 0.9)], values[-1], len(values))


def main():
    vantelctl, simulator = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 20.0
    why = stack.missing_browser()
    if why:
        print(why)
        return 1
    load = open("/proc/loadavg").read().split()[:3] if os.path.exists("/proc/loadavg") else []
    print("line: vantel-sim's 9600-baud timing, four supplies; machine load %s" % " ".join(load))

    sim = stack.Simulator(simulator, arguments=["--trace", "--output", "on"])
    server = driver = None
    try:
        server = stack.Server(vantelctl, sim)

        weight = 0
        for path in PAGE_FILES:
            request = urllib.request.Request(server.origin + path, headers={
                "Authorization": "Bearer " + server.token})
            with urllib.request.urlopen(request, timeout=stack.WAIT) as response:
                size = len(response.read())
            print("  %-14s %7d bytes" % (path, size))
            weight += size
        print("page weight: %d bytes (%.1f KiB) for %s (target: 300 KB)" %
              (weight, weight / 1024.0, ", ".join(PAGE_FILES)))

        driver = stack.browser()
        driver.get(server.url)
        wait_until(lambda: stack.link(driver) == "live")
        driver.execute_script("window.vantelDebug.events.length = 0")
        time.sleep(seconds)
        events = driver.execute_script("return window.vantelDebug.events")
        found = latencies(events, replies_on_wall_clock(sim.out.snapshot()))
        if found:
            print("reading from its reply on the line to the open page: %s (target: median "
                  "100 ms)" % describe(found))
        else:
            print("reading to the page: no reading matched a reply of the trace")
        driver.quit()

        # The first cards on a phone: a fresh window each time, the token taken
        # from the address included (the way a phone first opens it).
        firsts = []
        for _ in range(5):
            driver = stack.browser(phone=True)
            driver.get(server.url)
            first = wait_until(lambda: driver.execute_script(
                "return window.vantelDebug && window.vantelDebug.firstValueAt"))
            if first:
                firsts.append(first)
            driver.quit()
        driver = None
        if firsts:
            print("phone-size window, opening to the first card's values: median %.0f ms, "
                  "max %.0f ms over %d openings (target: 1 s)" %
                  (statistics.median(firsts), max(firsts), len(firsts)))
    finally:
        stack.stop_all(driver, server, sim)
    return 0


if __name__ == "__main__":
    sys.exit(main())
