"""The pieces the page's browser tests, benchmark and screenshots start: the
simulator with several supplies, `vantelctl serve --http` on it, and headless
Chromium driven by Selenium."""
import os
import re
import secrets
import shutil
import subprocess
import tempfile
import threading
import time

WAIT = 30.0  # upper bound for anything due to happen, in seconds (a busy machine)
CHROMEDRIVER_NAMES = ("chromedriver", "/usr/lib/chromium/chromedriver")
CHROMIUM_NAMES = ("chromium", "chromium-browser", "google-chrome")


def missing_browser():
    """Why the browser cannot run here, or None."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "Selenium for Python is not installed (python3-selenium)"
    if not any(shutil.which(name) for name in CHROMIUM_NAMES):
        return "Chromium is not installed (chromium)"
    if not any(shutil.which(name) for name in CHROMEDRIVER_NAMES):
        return "chromedriver is not installed (chromium-driver)"
    return None


def wait_until(condition, timeout=WAIT, step=0.05):
    """Polls `condition` until it returns something true; returns that or None."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = condition()
        except Exception:  # a page being replaced under the driver, a stale element
            value = None
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(step)


class Lines:
    """The lines a child writes to one of its streams, each with the wall-clock
    time (seconds since the epoch) it was read at."""

    def __init__(self, stream):
        self.lines = []
        self.lock = threading.Lock()
        self.cond = threading.Condition(self.lock)
        threading.Thread(target=self._pull, args=(stream,), daemon=True).start()

    def _pull(self, stream):
        for raw in stream:
            at = time.time()
            with self.cond:
                self.lines.append((at, raw.decode("utf-8", "replace").rstrip("\n")))
                self.cond.notify_all()

    def snapshot(self):
        with self.lock:
            return list(self.lines)

    def wait_for(self, pattern, timeout=WAIT, start=0):
        """The first match of `pattern` in the lines from index `start` on."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for _, line in self.lines[start:]:
                    match = re.search(pattern, line)
                    if match:
                        return match
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)


class Simulator:
    """vantel-sim publishing COM1 in a folder of its own, commands on its stdin."""

    def __init__(self, path, addresses="1-4", arguments=()):
        self.ports = tempfile.TemporaryDirectory(prefix="vantel-web-")
        self.env = dict(os.environ, VANTEL_PORT_DIR=self.ports.name)
        self.process = subprocess.Popen(
            [path, "--port", "1", "--address", addresses] + list(arguments),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=self.env)
        self.out = Lines(self.process.stdout)
        if not self.out.wait_for(r"^ready "):
            self.stop()
            raise RuntimeError("vantel-sim did not get ready")
        self.lock = threading.Lock()

    def command(self, text):
        """Sends one command and returns its answer lines (`ok`, `error: …` or the
        `status …` lines)."""
        with self.lock:
            start = len(self.out.snapshot())
            self.process.stdin.write(text.encode() + b"\n")
            self.process.stdin.flush()
            if text.split()[0] == "status":
                address = text.split()[1] if len(text.split()) > 1 else None
                pattern = r"^status address=%s " % address if address else r"^status "
                self.out.wait_for(pattern, start=start)
                return [l for _, l in self.out.snapshot()[start:] if l.startswith("status")]
            match = self.out.wait_for(r"^(ok|error: .*)$", start=start)
            return [match.group(0)] if match else []

    def status(self, address):
        """The supply's own state: {"set-voltage": "500", "output": "off", …}."""
        lines = self.command("status %d" % address)
        if not lines:
            raise RuntimeError("vantel-sim did not answer status")
        return dict(word.split("=", 1) for word in lines[0].split()[1:] if "=" in word)

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.close()
            except OSError:
                pass
            try:
                self.process.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.ports.cleanup()


class Server:
    """`vantelctl serve --http` on the simulator's port, with a token of its own
    given through VANTEL_HTTP_TOKEN so that it can be started again on the same
    port with the same token."""

    def __init__(self, vantelctl, simulator, addresses="1-4", port=0, token=None):
        self.vantelctl = vantelctl
        self.simulator = simulator
        self.addresses = addresses
        self.token = token or secrets.token_hex(16)
        self.port = port
        self.process = None
        self.start()

    def start(self):
        env = dict(self.simulator.env, VANTEL_HTTP_TOKEN=self.token,
                   QT_LOGGING_RULES="vantel.line.debug=false")
        self.process = subprocess.Popen(
            [self.vantelctl, "--port", "COM1", "serve", "--addresses", self.addresses,
             "--http", "127.0.0.1:%d" % self.port, "--listen", "none"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            env=env)
        self.err = Lines(self.process.stderr)
        opened = self.err.wait_for(r"open (http://127\.0\.0\.1:(\d+))/\?token=(\S+)")
        if not opened:
            self.stop()
            raise RuntimeError("vantelctl serve --http did not start:\n" +
                               "\n".join(l for _, l in self.err.snapshot()))
        self.origin = opened.group(1)
        self.port = int(opened.group(2))
        self.url = opened.group(0)[len("open "):]

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(WAIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def browser(width=1280, height=900, phone=False):
    """Headless Chromium; a phone is a 360 px wide touch screen."""
    from selenium import webdriver
    from selenium.webdriver.chrome.options import Options
    from selenium.webdriver.chrome.service import Service

    options = Options()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--disable-extensions",
                     "--window-size=%d,%d" % (width, height)):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver_path = next(shutil.which(n) for n in CHROMEDRIVER_NAMES if shutil.which(n))
    driver = webdriver.Chrome(service=Service(driver_path), options=options)
    driver.set_page_load_timeout(WAIT)
    if phone:
        as_phone(driver)
    return driver


def as_phone(driver, width=360, height=740):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 2, "mobile": True})


def as_desktop(driver):
    driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def card(driver, address):
    return driver.find_element("css selector", '[data-address="%d"]' % address)


def field(driver, address, name):
    return card(driver, address).find_element("css selector", '[data-field="%s"]' % name).text


def link(driver):
    return driver.find_element("css selector", '[data-field="link"]').text


def stop_all(driver, server, sim):
    """Ends what a script started, the browser first: any of them may be None."""
    if driver:
        driver.quit()
    if server:
        server.stop()
    if sim:
        sim.stop()
