#!/usr/bin/env python3
"""Takes the page of `vantelctl serve --http` at desktop size (light) and phone
size (dark) in headless Chromium against vantel-sim with four supplies at work.

    screenshots_page.py VANTELCTL VANTEL_SIM DESKTOP.png PHONE.png
"""
import os
import sys
import time

sys.dont_write_bytecode = True  # nothing left behind in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stack  # noqa: E402
from stack import wait_until  # noqa: E402


def settle(driver):
    wait_until(lambda: stack.link(driver) == "live" and len(
        driver.find_elements("css selector", '[data-stale="false"]')) == 4)
    time.sleep(1.5)  # a chart redraw or two


def main():
    vantelctl, simulator, desktop, phone = sys.argv[1:5]
    why = stack.missing_browser()
    if why:
        print(why, file=sys.stderr)
        return 1
    sim = stack.Simulator(simulator)
    server = driver = None
    try:
        # A charging battery, a supply in CC, one off, one stepping its voltage.
        for command in ("set load battery:11.8,0.5,2 1", "set voltage 12.6 1",
                        "set current 1.2 1", "set output on 1",
                        "set voltage 24 2", "set current 0.8 2", "set output on 2",
                        "set voltage 3.3 3", "set current 0.5 3",
                        "set voltage 5 4", "set current 1 4", "set load 8 4", "set output on 4"):
            sim.command(command)
        server = stack.Server(vantelctl, sim)
        driver = stack.browser(1280, 1100)
        driver.get(server.url)
        for volts in (5, 6, 7.5, 9, 7.5, 6, 5, 4, 5):
            sim.command("set voltage %s 4" % volts)
            time.sleep(2.5)
        settle(driver)
        driver.execute_script("document.activeElement.blur()")
        driver.save_screenshot(desktop)

        stack.as_phone(driver)
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
            "features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        settle(driver)
        driver.save_screenshot(phone)
    finally:
        stack.stop_all(driver, server, sim)
    return 0


if __name__ == "__main__":
    sys.exit(main())
