#!/usr/bin/env python3
"""A stand-in for `vantelctl serve --http` that serves web/page/ and the JSON API
over four made-up supplies, for working on the page without a line or a build.

    mock_server.py [--port 8080] [--token TOKEN]

It follows the server's contract for the page (the page's files for anyone, the
token as a bearer header on every API request, the API, the stream), not its
security in depth. Commands on standard input: `silence N`
and `speak N` make a supply fail its readings or answer again.
"""
import argparse
import json
import os
import queue
import secrets
import sys
import threading
import time
from datetime import datetime
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "web", "page")
CHART = "/usr/share/javascript/chart.js/chart.min.js"
COLUMNS = ["time", "elapsed_s", "address", "set_v", "set_a", "v", "a", "w", "output",
           "mode", "ah", "wh", "error"]
CSP = ("default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
       "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'")


class Supply:
    def __init__(self, address):
        self.address = address
        self.set_v, self.set_a, self.output = 5.0, 1.0, False
        self.load = 10.0
        self.silent = False
        self.ah = self.wh = 0.0
        self.latest = None

    def read(self, start):
        elapsed = round(time.monotonic() - start, 3)
        row = {"time": datetime.now().astimezone().isoformat(timespec="milliseconds"),
               "elapsed_s": elapsed, "address": self.address, "name": "address %d" % self.address,
               "ceilings": {"v": None, "a": None, "w": None, "by": None}}
        if self.silent:
            row.update({k: None for k in COLUMNS[3:10]}, ah=self.ah, wh=self.wh, error="timeout")
        else:
            v = min(self.set_v, self.set_a * self.load) if self.output else 0.0
            a = v / self.load if self.output else 0.0
            row.update(set_v=self.set_v, set_a=self.set_a, v=round(v, 2), a=round(a, 3),
                       w=round(round(v, 2) * round(a, 3), 5), output=self.output,
                       mode="CV" if v >= self.set_v else "CC", ah=round(self.ah, 6),
                       wh=round(self.wh, 6), error=None)
            self.ah += a * 0.15 / 3600
            self.wh += v * a * 0.15 / 3600
        self.latest = row
        return row


class Bench:
    def __init__(self, addresses):
        self.start = time.monotonic()
        self.supplies = {n: Supply(n) for n in addresses}
        for supply in self.supplies.values():
            supply.read(self.start)
        self.lock = threading.Lock()
        self.listeners = set()
        self.record = []
        threading.Thread(target=self.poll, daemon=True).start()

    def poll(self):
        while True:
            for supply in self.supplies.values():
                time.sleep(0.037)
                with self.lock:
                    row = supply.read(self.start)
                    self.record.append(row)
                    for listener in list(self.listeners):
                        listener.put(row)


def csv_cell(value):
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)


def make_handler(bench, token):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def authorised(self):
            return self.headers.get("Authorization", "") == "Bearer " + token

        def reply(self, status, body, kind="application/json", extra=()):
            if isinstance(body, (dict, list)):
                body = json.dumps(body).encode()
            elif isinstance(body, str):
                body = body.encode()
            self.send_response(status)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Content-Security-Policy", CSP)
            self.send_header("X-Content-Type-Options", "nosniff")
            self.send_header("Referrer-Policy", "no-referrer")
            for name, value in extra:
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(body)

        def file(self, name):
            path = CHART if name == "chart.min.js" else os.path.join(PAGE, name)
            with open(path, "rb") as f:
                return f.read()

        def do_GET(self):
            path = self.path.partition("?")[0]
            kinds = {"/": "text/html; charset=utf-8", "/login": "text/html; charset=utf-8",
                     "/link.js": "text/javascript", "/app.js": "text/javascript",
                     "/style.css": "text/css", "/chart.min.js": "text/javascript"}
            if path in kinds:
                name = {"/": "index.html", "/login": "login.html"}.get(path, path[1:])
                return self.reply(200, self.file(name), kinds[path])
            if not self.authorised():
                return self.reply(401, {"error": "a valid token is needed"})
            if path == "/api/supplies":
                with bench.lock:
                    rows = [s.latest for _, s in sorted(bench.supplies.items())]
                return self.reply(200, {"supplies": rows})
            if path == "/api/record.csv":
                with bench.lock:
                    lines = [",".join(COLUMNS)] + [
                        ",".join(csv_cell(r[c]) for c in COLUMNS) for r in bench.record]
                return self.reply(200, "\n".join(lines) + "\n", "text/csv")
            if path == "/api/events":
                return self.stream()
            return self.reply(404, {"error": "no such path"})

        def stream(self):
            listener = queue.Queue()
            with bench.lock:
                first = [s.latest for _, s in sorted(bench.supplies.items())]
                bench.listeners.add(listener)
            try:
                self.send_response(200)
                self.send_header("Content-Type", "text/event-stream")
                self.send_header("Cache-Control", "no-store")
                self.send_header("Content-Security-Policy", CSP)
                self.end_headers()
                for row in first:
                    self.wfile.write(b"event: reading\ndata: " + json.dumps(row).encode() + b"\n\n")
                self.wfile.flush()
                while True:
                    try:
                        row = listener.get(timeout=15)
                        data = b"event: reading\ndata: " + json.dumps(row).encode() + b"\n\n"
                    except queue.Empty:
                        data = b": keep-alive\n\n"
                    self.wfile.write(data)
                    self.wfile.flush()
            except OSError:
                pass
            finally:
                with bench.lock:
                    bench.listeners.discard(listener)
                self.close_connection = True

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length) if length else b""
            if not self.authorised():
                return self.reply(401, {"error": "a valid token is needed"})
            try:
                body = json.loads(raw or b"{}")
            except ValueError:
                return self.reply(400, {"error": "the body is not JSON"})
            parts = self.path.split("/")
            if self.path == "/api/all-off":
                with bench.lock:
                    off, failed = [], []
                    for n, s in sorted(bench.supplies.items()):
                        if s.silent:
                            failed.append({"address": n, "error": "timeout"})
                        else:
                            s.output = False
                            off.append(n)
                return self.reply(200, {"off": off, "failed": failed})
            if len(parts) != 5 or parts[1:3] != ["api", "supplies"]:
                return self.reply(404, {"error": "no such path"})
            try:
                supply = bench.supplies[int(parts[3])]
            except (ValueError, KeyError):
                return self.reply(404, {"error": "address %s is not served" % parts[3]})
            if parts[4] == "set":
                limits = {"v": 62.0, "a": 3.2}
                for key, value in body.items():
                    if key not in limits:
                        return self.reply(400, {"error": "unknown key %s" % key})
                    if isinstance(value, bool) or not isinstance(value, (int, float)):
                        return self.reply(400, {"error": "%s: not a number" % key})
                    if value < 0 or value > limits[key]:
                        return self.reply(400, {"error": "%s: %s is out of range" % (key, value)})
                with bench.lock:
                    if "v" in body:
                        supply.set_v = round(body["v"], 2)
                    if "a" in body:
                        supply.set_a = round(body["a"], 3)
            elif parts[4] == "output":
                if not isinstance(body.get("on"), bool):
                    return self.reply(400, {"error": "on takes true or false"})
                with bench.lock:
                    supply.output = body["on"]
            else:
                return self.reply(404, {"error": "no such path"})
            with bench.lock:
                if supply.silent:
                    return self.reply(502, {"error": "timeout"})
                return self.reply(200, {"reading": supply.read(bench.start)})

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--token", default=os.environ.get("VANTEL_HTTP_TOKEN") or secrets.token_hex(16))
    arguments = parser.parse_args()
    bench = Bench([1, 2, 3, 4])
    server = ThreadingHTTPServer(("127.0.0.1", arguments.port), make_handler(bench, arguments.token))
    server.daemon_threads = True
    print("open http://127.0.0.1:%d/?token=%s" % (server.server_address[1], arguments.token),
          file=sys.stderr, flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    for line in sys.stdin:
        words = line.split()
        if len(words) == 2 and words[0] in ("silence", "speak"):
            bench.supplies[int(words[1])].silent = words[0] == "silence"
    server.shutdown()


if __name__ == "__main__":
    main()
