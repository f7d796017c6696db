#!/usr/bin/env python3
"""The page of `vantelctl serve --http` in a real browser (headless Chromium through
Selenium) against vantel-sim with four supplies. What the page does is checked on
the supplies' own state, as the simulator reports it.

    test_page.py VANTELCTL VANTEL_SIM

Exits 0 when every case passes, 1 on a failure, 77 (skipped) without Selenium,
Chromium or chromedriver.
"""
import os
import secrets
import sys
import tempfile
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

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
        ("set_v", "12", "set-voltage", "1200"),
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

    # The server refuses what is out of range; the page refuses any form of a
    # number a user does not type, before anything is sent.
    refusals = [  # (field, typed, simulator's key, refused by the server)
        ("set_v", "70", "set-voltage", True),
        ("set_a", "4", "set-current", True),
        ("set_a", "-1", "set-current", False),
        ("set_v", "0x10", "set-voltage", False),
        ("set_v", "1e1", "set-voltage", False),
        ("set_v", "Infinity", "set-voltage", False),
        ("set_v", " ", "set-voltage", False),
        ("set_v", "1.2.3", "set-voltage", False),
        ("set_v", "1,2,3", "set-voltage", False),
        ("set_a", "abc", "set-current", False),
    ]
    for name, typed, key, by_server in refusals:
        before = sim.status(4)[key]
        writes = driver.execute_script("return window.vantelDebug.writes")
        driver.execute_script("arguments[0].textContent = ''",
                              card(driver, 4).find_element("css selector", '[data-field="message"]'))
        type_into(driver, 4, name, typed)
        said = wait_until(lambda: field(driver, 4, "message") and
                          "\u2026" not in field(driver, 4, "message"))
        message = field(driver, 4, "message")
        sent = driver.execute_script("return window.vantelDebug.writes") - writes
        if by_server:
            check(said and "refused" in message and "400" in message and sent == 1,
                  "%s %r: the server's refusal shown: %r" % (name, typed, message))
        else:
            check(said and ("not a number" in message or "no value" in message) and sent == 0,
                  "%s %r: refused on the page, nothing sent (%d sent): %r" %
                  (name, typed, sent, message))
        check(sim.status(4)[key] == before, "%s %r: nothing reached the supply" % (name, typed))


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
    check(said and "#2 NOT confirmed off: " in text and "#1, #3, #4" in text,
          "All outputs off lists the supply that did not confirm: %r" % text)
    check(text.lower().count("confirmed") == 2, "each word once: %r" % text)
    check(all(sim.status(n)["output"] == "off" for n in (1, 3, 4)),
          "the others' outputs are off")

    sim.command("fault silence off 2")
    back = wait_until(lambda: card(driver, 2).get_attribute("data-stale") == "false" and
                      field(driver, 2, "error") == "")
    check(back, "the card comes back by itself when the supply answers again")


def test_event_framing(driver):
    """The page's reader of the event stream cuts events as EventSource does,
    however the bytes are split into chunks."""
    cases = [
        # (chunks, events as [type, data])
        (["event: reading\ndata: {}\n\n"], [["reading", "{}"]]),
        (["event: rea", "ding\nda", "ta: 1\n", "\n"], [["reading", "1"]]),
        (["data: a\r\ndata: b\r\n\r\n"], [["message", "a\nb"]]),
        (["data: a\r", "\n\r", "\n"], [["message", "a"]]),
        (["data: a\rdata:b\r\r"], [["message", "a\nb"]]),
        (["data: a\r", "\r"], [["message", "a"]]),  # a CR ends its line at once
        (["data: a\r", "\n", "\n"], [["message", "a"]]),
        ([": keep-alive\n\n", "event: x\ndata: 1\n\n"], [["x", "1"]]),
        (["event: reading\n\n", "data: 2\n\n"], [["message", "2"]]),
        (["data: 3\n"], []),  # no blank line yet: nothing handed over
        (["data:  two spaces\n\n"], [["message", " two spaces"]]),
    ]
    for chunks, want in cases:
        got = driver.execute_script("""
            const events = [];
            const parser = new window.vantelLink.EventParser((t, d) => events.push([t, d]));
            for (const chunk of arguments[0]) { parser.feed(chunk); }
            return events;""", chunks)
        check(got == want, "the stream's framing of %r: %r (want %r)" % (chunks, got, want))


def test_record(driver):
    """The page's "Download CSV" gives the record with the log's columns, named
    vantel-record.csv."""
    with tempfile.TemporaryDirectory(prefix="vantel-download-") as folder:
        driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                               {"behavior": "allow", "downloadPath": folder})
        driver.find_element("css selector", '[data-action="download-csv"]').click()
        path = os.path.join(folder, "vantel-record.csv")
        done = wait_until(lambda: os.listdir(folder) == ["vantel-record.csv"])
        lines = open(path).read().split("\n") if done else []
        check(done and lines[0] == "time,elapsed_s,address,set_v,set_a,v,a,w,output,"
              "mode,ah,wh,error" and len(lines) > len(ADDRESSES),
              "Download CSV gives the record as vantel-record.csv (%s, %r)" %
              (os.listdir(folder), lines[:1]))


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


class Recorder:
    """A plain web server of the test's own on another port of 127.0.0.1: it
    records every request's line and headers, and serves a page that asks it for
    more (a script, an image, a fetch)."""

    PAGE = (b"<!doctype html><title>elsewhere</title><img src='/image.png'>"
            b"<script src='/script.js'></script>")

    def __init__(self):
        self.requests = []
        recorder = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                recorder.requests.append((self.path, list(self.headers.items())))
                body = {"/": Recorder.PAGE, "/script.js": b"fetch('/fetched');"}.get(
                    self.path.split("?")[0], b"")
                self.send_response(200)
                self.send_header("Content-Type", "text/javascript" if self.path == "/script.js"
                                 else "text/html")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.origin = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def in_new_tab(driver, url):
    """Opens `url` in a new tab of the same browser and switches to it; returns
    the tab it came from."""
    before = driver.current_window_handle
    driver.switch_to.new_window("tab")
    driver.get(url)
    return before


def test_no_token_elsewhere(driver, server):
    """A web server on another port of the same host sees no token of the page's,
    in no header and no address, while the page goes on working."""
    recorder = Recorder()
    try:
        page_tab = in_new_tab(driver, recorder.origin + "/")
        wait_until(lambda: any(path == "/fetched" for path, _ in recorder.requests))
        driver.get(recorder.origin + "/again")
        driver.close()
        driver.switch_to.window(page_tab)
        check(wait_until(lambda: all_cards_live(driver)), "the page is live beside the other port")
        press(driver, 3, "output-on")
        check(wait_until(lambda: "confirmed" in field(driver, 3, "message")),
              "the page writes while the other port is open")
        paths = [path for path, _ in recorder.requests]
        check({"/", "/script.js", "/fetched", "/again"} <= set(paths),
              "the other port's page was loaded: %s" % paths)
        seen = [(path, name) for path, headers in recorder.requests for name, value in headers
                if server.token in value] + [(path, "address") for path in paths
                                            if server.token in path]
        check(not seen, "the other port saw no token (found in %s)" % seen)
        cookies = [value for _, headers in recorder.requests for name, value in headers
                   if name.lower() == "cookie"]
        check(not cookies, "the other port got no cookie: %s" %
              [c.replace(server.token, "TOKEN") for c in cookies])
    finally:
        recorder.stop()


def test_signin(driver, server):
    """A tab without a token shows the form; a token the server refuses is
    forgotten; the printed address pasted into the form signs the tab in."""
    def form_shown():
        return driver.find_element("css selector", "#signin").is_displayed()

    def kept():
        return driver.execute_script("return sessionStorage.getItem('vantel-token')")

    page_tab = in_new_tab(driver, server.origin + "/?token=" + secrets.token_hex(16))
    try:
        check(driver.current_url.rstrip("/") == server.origin,
              "a wrong token leaves the address bar too")
        check(wait_until(form_shown), "a wrong token: the form is shown")
        check(wait_until(lambda: kept() is None), "a wrong token is forgotten")
        check("did not take" in driver.find_element("css selector", "#signin").text,
              "the form says the token was not taken")
        box = driver.find_element("css selector", '[data-input="token"]')
        box.send_keys(server.url + "\n")
        check(wait_until(lambda: all_cards_live(driver)), "the pasted address signs the tab in")
        check(not form_shown(), "the form is gone once signed in")
        driver.get(server.origin + "/")
        check(wait_until(lambda: all_cards_live(driver)),
              "the tab stays signed in at its origin's address")
        driver.execute_script("sessionStorage.clear()")
        driver.get(server.origin + "/")
        check(wait_until(form_shown), "with no token kept, the form is shown")
        check(driver.find_elements("css selector", "[data-address]") == [],
              "with no token kept, no card")
    finally:
        driver.close()
        driver.switch_to.window(page_tab)


def test_two_benches(driver, server, sim, vantelctl, simulator):
    """Two servers on two ports of one host, each in a tab of one browser: both
    stay signed in, through a reload, and each writes to its own supplies."""
    sim_b = stack.Simulator(simulator, addresses="7")
    server_b = None
    try:
        server_b = stack.Server(vantelctl, sim_b, addresses="7")
        tab_a = in_new_tab(driver, server_b.url)
        tab_b = driver.current_window_handle

        def live_b():
            return (link(driver) == "live" and
                    card(driver, 7).get_attribute("data-stale") == "false")

        check(wait_until(live_b), "the second bench's tab is live")
        driver.switch_to.window(tab_a)
        driver.refresh()
        check(wait_until(lambda: all_cards_live(driver)),
              "the first bench's tab, reloaded after the second opened, is live")
        press(driver, 1, "output-on")
        check(wait_until(lambda: sim.status(1)["output"] == "on"),
              "the first bench's tab writes to its supply")
        driver.switch_to.window(tab_b)
        driver.refresh()
        check(wait_until(live_b), "the second bench's tab, reloaded, is live")
        type_into(driver, 7, "set_v", "3,3")
        check(wait_until(lambda: sim_b.status(7)["set-voltage"] == "330"),
              "the second bench's tab writes to its supply")
        driver.close()
        driver.switch_to.window(tab_a)
    finally:
        stack.stop_all(None, server_b, sim_b)


def test_new_token(driver, server):
    """A server started again with another token: the page forgets the old one
    and asks for the new address."""
    server.stop()
    server.token = secrets.token_hex(16)
    server.start()
    shown = wait_until(lambda: driver.find_element("css selector", "#signin").is_displayed())
    check(shown, "the page shows the form when the server no longer takes its token")
    check(driver.execute_script("return sessionStorage.getItem('vantel-token')") is None,
          "the refused token is forgotten")


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
        check(driver.execute_script("return document.cookie") == "", "the page sets no cookie")
        check(wait_until(lambda: all_cards_live(driver)), "four live cards")
        for name, run in (("values", lambda: test_values(driver, sim)),
                          ("sets", lambda: test_sets(driver, sim)),
                          ("switch", lambda: test_switch(driver, sim)),
                          ("all off", lambda: test_all_off(driver, sim)),
                          ("silenced", lambda: test_silenced(driver, sim)),
                          ("framing", lambda: test_event_framing(driver)),
                          ("record", lambda: test_record(driver)),
                          ("reload", lambda: test_reload(driver)),
                          ("sizes", lambda: test_sizes(driver)),
                          ("stream", lambda: test_stream(driver, server)),
                          ("no token elsewhere", lambda: test_no_token_elsewhere(driver, server)),
                          ("sign in", lambda: test_signin(driver, server)),
                          ("two benches", lambda: test_two_benches(driver, server, sim,
                                                                   vantelctl, simulator)),
                          ("new token", lambda: test_new_token(driver, server))):
            try:
                run()
            except Exception as error:  # one case's crash leaves the others to run
                check(False, "%s: %s: %s" % (name, type(error).__name__, error))
        refused = [entry["message"] for entry in driver.get_log("browser")
                   if "Content Security Policy" in entry["message"]
                   or entry["level"] == "SEVERE" and (
                       "app.js" in entry["message"] or "link.js" in entry["message"])]
        check(not refused, "no script error and nothing the security policy refused: %s" % refused)
    finally:
        stack.stop_all(driver, server, sim)
    print("%d failure(s)" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
