#!/usr/bin/env python3
"""The page of `vantelctl serve --http` in a real browser (headless Chromium through
Selenium) against vantel-sim with four supplies. What the page does is checked on
the supplies' own state, as the simulator reports it.

    test_page.py VANTELCTL VANTEL_SIM

Exits 0 when every case passes, 1 on a failure, 77 (skipped) without Selenium,
Chromium or chromedriver.
"""
import os
import sys

sys.dont_write_bytecode = True  # nothing left behind in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stack  # noqa: E402
from stack import card, field, link, wait_until  # noqa: E402

FAILURES = []
ADDRESSES = (1, 2, 3, 4)


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        FAILURES.append(what)
    return ok


def shortest(count, decimals):
    """A count of 10^-decimals units as the log's CSV writes it: "12.34", "1.5", "0"."""
    whole, part = divmod(int(count), 10 ** decimals)
    part = str(part).rjust(decimals, "0").rstrip("0")
    return "%d.%s" % (whole, part) if part else str(whole)


def expected_fields(state):
    """The card's texts for a supply in the simulator's state."""
    v, a = int(state["actual-voltage"]), int(state["actual-current"])
    return {
        "set_v": shortest(state["set-voltage"], 2),
        "set_a": shortest(state["set-current"], 3),
        "v": shortest(v, 2),
        "a": shortest(a, 3),
        "w": shortest(v * a, 5),
        "output": "true" if state["output"] == "on" else "false",
        "mode": {"1": "CV", "0": "CC"}.get(state["mode"], state["mode"]),
    }


def card_fields(driver, address, names):
    return {name: field(driver, address, name) for name in names}


def outputs(sim):
    return {n: sim.status(n)["output"] for n in ADDRESSES}


def notice(driver):
    return driver.find_element("css selector", '[data-field="notice"]').text


def type_into(driver, address, name, text):
    box = card(driver, address).find_element("css selector", '[data-input="%s"]' % name)
    box.clear()
    box.send_keys(text + "\n")


def press(driver, address, action):
    card(driver, address).find_element("css selector", '[data-action="%s"]' % action).click()


def all_cards_live(driver):
    cards = driver.find_elements("css selector", "[data-address]")
    return (len(cards) == len(ADDRESSES) and link(driver) == "live" and
            all(c.get_attribute("data-stale") == "false" for c in cards))


def test_values(driver, sim):
    # Each supply in its own state: CV with a load, CC, off with set values, the
    # simulator's start.
    for command in ("set voltage 12.34 1", "set current 1.5 1", "set output on 1",
                    "set voltage 5 2", "set current 0.2 2", "set output on 2",
                    "set voltage 24 3", "set current 2 3"):
        sim.command(command)
    for address in ADDRESSES:
        want = expected_fields(sim.status(address))
        got = wait_until(lambda: (lambda g: g if g == want else None)(
            card_fields(driver, address, want)), timeout=stack.WAIT)
        check(got == want, "card %d shows the supply's values %s (shows %s)" %
              (address, want, got or card_fields(driver, address, want)))
    check(field(driver, 1, "mode") == "CV" and field(driver, 2, "mode") == "CC",
          "CV and CC as the supplies regulate")


def test_sets(driver, sim):
    cases = [
        # (field, typed, simulator's key, its count after)
        ("set_v", "7.5", "set-voltage", "750"),
        ("set_a", "0.25", "set-current", "250"),
        ("set_v", "6,2", "set-voltage", "620"),
    ]
    for name, typed, key, count in cases:
        type_into(driver, 4, name, typed)
        reached = wait_until(lambda: sim.status(4)[key] == count)
        check(reached, "%s %s typed on card 4 reaches the supply (%s=%s)" % (name, typed, key, count))
        shown = wait_until(lambda: "confirmed" in field(driver, 4, "message"))
        check(shown, "card 4 says the set was confirmed: %r" % field(driver, 4, "message"))

    refusals = [("set_v", "70", "set-voltage"), ("set_a", "-1", "set-current"),
                ("set_v", "abc", "set-voltage")]
    for name, typed, key in refusals:
        before = sim.status(4)[key]
        type_into(driver, 4, name, typed)
        said = wait_until(lambda: "refused" in field(driver, 4, "message"))
        check(said and "400" in field(driver, 4, "message"),
              "%s %s: the server's refusal shown: %r" % (name, typed, field(driver, 4, "message")))
        check(sim.status(4)[key] == before, "%s %s: nothing reached the supply" % (name, typed))


def test_switch(driver, sim):
    for action, state, text in (("output-on", "on", "true"), ("output-off", "off", "false")):
        press(driver, 3, action)
        reached = wait_until(lambda: sim.status(3)["output"] == state)
        check(reached, "%s on card 3: the supply's output is %s" % (action, state))
        shown = wait_until(lambda: field(driver, 3, "output") == text)
        check(shown, "%s on card 3: the card shows output %s" % (action, text))


def outputs_on(driver, sim):
    sim.command("set output on")
    return wait_until(lambda: all(field(driver, n, "output") == "true" for n in ADDRESSES))


def test_all_off(driver, sim):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys

    def button():
        driver.find_element("css selector", '[data-action="all-off"]').click()

    def keys():
        driver.find_element("css selector", "h1").click()  # the page has the focus
        (ActionChains(driver).key_down(Keys.CONTROL).key_down(Keys.SHIFT).send_keys("o")
         .key_up(Keys.SHIFT).key_up(Keys.CONTROL).perform())

    for how, act in (("the button", button), ("Ctrl+Shift+O", keys)):
        check(outputs_on(driver, sim), "%s: every output on first" % how)
        act()
        off = wait_until(lambda: all(v == "off" for v in outputs(sim).values()))
        check(off, "%s switches every supply's output off: %s" % (how, outputs(sim)))
        said = wait_until(lambda: "#1, #2, #3, #4" in notice(driver))
        check(said, "%s: the page lists the supplies confirmed: %r" % (how, notice(driver)))


def test_silenced(driver, sim):
    """A silent supply turns grey with its error, is listed as not confirmed by
    "All outputs off", and comes back by itself."""
    check(outputs_on(driver, sim), "every output on before the silence")
    sim.command("fault silence on 2")
    grey = wait_until(lambda: card(driver, 2).get_attribute("data-stale") == "true")
    check(grey, "a silenced supply's card turns grey")
    check(wait_until(lambda: field(driver, 2, "error")),
          "the grey card shows the last error: %r" % field(driver, 2, "error"))
    check(card(driver, 1).get_attribute("data-stale") == "false", "the others stay live")

    driver.find_element("css selector", '[data-action="all-off"]').click()
    said = wait_until(lambda: "NOT confirmed" in notice(driver), timeout=stack.WAIT * 2)
    text = notice(driver)
    check(said and "#2 (" in text.split("NOT confirmed")[1] and "#1, #3, #4" in text,
          "All outputs off lists the supply that did not confirm: %r" % text)
    check(all(sim.status(n)["output"] == "off" for n in (1, 3, 4)),
          "the others' outputs are off")

    sim.command("fault silence off 2")
    back = wait_until(lambda: card(driver, 2).get_attribute("data-stale") == "false" and
                      field(driver, 2, "error") == "")
    check(back, "the card comes back by itself when the supply answers again")


def test_record(driver):
    """The page's "Download CSV" link gives the record with the log's columns."""
    got = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const link = document.querySelector('[data-action="download-csv"]');
        fetch(link.href).then((r) => r.text().then((t) => done([r.status, t.split("\\n")])))
            .catch((e) => done([0, [String(e)]]));""")
    status, lines = got
    check(status == 200 and lines[0] == "time,elapsed_s,address,set_v,set_a,v,a,w,output,"
          "mode,ah,wh,error" and len(lines) > len(ADDRESSES),
          "Download CSV gives the record (%s, %r, %d lines)" % (status, lines[0], len(lines)))


def test_reload(driver):
    driver.refresh()
    check(wait_until(lambda: all_cards_live(driver) and field(driver, 4, "v") != ""),
          "after a reload the cards are live again")


def test_sizes(driver):
    stack.as_phone(driver)
    driver.refresh()
    wait_until(lambda: all_cards_live(driver))
    widths = driver.execute_script(
        "return [document.documentElement.scrollWidth, document.documentElement.clientWidth]")
    check(widths[0] <= widths[1] and widths[1] <= 360,
          "a 360 px window scrolls not sideways (content %d, window %d)" % tuple(widths))
    lefts = {card(driver, n).rect["x"] for n in ADDRESSES}
    check(len(lefts) == 1, "the phone shows the cards in one column")

    stack.as_desktop(driver)
    driver.set_window_size(1280, 900)
    driver.refresh()
    wait_until(lambda: all_cards_live(driver))
    check(card(driver, 1).rect["y"] == card(driver, 2).rect["y"],
          "a desktop shows the cards side by side")


def test_stream(driver, server):
    server.stop()
    lost = wait_until(lambda: link(driver) == "lost")
    check(lost, "the page says at once that the stream is lost")
    check(driver.find_element("css selector", "#banner").is_displayed(),
          "a banner says it is reconnecting")
    server.start()
    live = wait_until(lambda: link(driver) == "live")
    check(live, "the stream comes back by itself when the server is there again")
    count = driver.execute_script("return window.vantelDebug.events.length")
    check(wait_until(lambda: driver.execute_script(
        "return window.vantelDebug.events.length") > count + len(ADDRESSES)),
        "readings flow again after the return")
    check(wait_until(lambda: all_cards_live(driver)), "every card live after the return")


def main():
    vantelctl, simulator = sys.argv[1], sys.argv[2]
    why = stack.missing_browser()
    if why:
        print(why + ": skipped")
        return 77

    sim = stack.Simulator(simulator)
    server = driver = None
    try:
        server = stack.Server(vantelctl, sim)
        driver = stack.browser()
        driver.get(server.url)
        address_bar = driver.current_url
        check(address_bar.rstrip("/") == server.origin, "the token leaves the address bar: %s" %
              address_bar.replace(server.token, "TOKEN"))
        check(wait_until(lambda: all_cards_live(driver)), "four live cards")
        for name, run in (("values", lambda: test_values(driver, sim)),
                          ("sets", lambda: test_sets(driver, sim)),
                          ("switch", lambda: test_switch(driver, sim)),
                          ("all off", lambda: test_all_off(driver, sim)),
                          ("silenced", lambda: test_silenced(driver, sim)),
                          ("record", lambda: test_record(driver)),
                          ("reload", lambda: test_reload(driver)),
                          ("sizes", lambda: test_sizes(driver)),
                          ("stream", lambda: test_stream(driver, server))):
            try:
                run()
            except Exception as error:  # one case's crash leaves the others to run
                check(False, "%s: %s: %s" % (name, type(error).__name__, error))
        refused = [entry["message"] for entry in driver.get_log("browser")
                   if "Content Security Policy" in entry["message"]
                   or entry["level"] == "SEVERE" and "app.js" in entry["message"]]
        check(not refused, "no script error and nothing the security policy refused: %s" % refused)
    finally:
        stack.stop_all(driver, server, sim)
    print("%d failure(s)" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
