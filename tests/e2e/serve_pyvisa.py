#!/usr/bin/env python3
"""End to end: `vantelctl serve` against vantel-sim on its timed line, driven by a
real SCPI client, PyVISA with its pure-Python backend, over a raw socket.

    serve_pyvisa.py VANTELCTL VANTEL_SIM

Exits 0 when every case passes, 1 on a failure, 77 (skipped) without PyVISA.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

try:
    import pyvisa
except ImportError:
    print("PyVISA is not installed (python3-pyvisa, python3-pyvisa-py): skipped")
    sys.exit(77)

WAIT = 10.0  # upper bound for anything due to happen, in seconds
FAILURES = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        FAILURES.append(what)


class Lines:
    """The lines a child writes to one of its streams, collected as they come."""

    def __init__(self, stream):
        self.lines = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._pull, args=(stream,), daemon=True)
        self.thread.start()

    def _pull(self, stream):
        for raw in stream:
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def snapshot(self):
        with self.lock:
            return list(self.lines)

    def whole(self, timeout=WAIT):
        """Every line, once the child has ended and its stream is read to the end."""
        self.thread.join(timeout)
        return self.snapshot()

    def wait_for(self, pattern, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for line in self.snapshot():
                match = re.search(pattern, line)
                if match:
                    return match
            time.sleep(0.02)
        return None


class Simulator:
    """vantel-sim with its trace: "START END rx|tx HEX @ADDRESS"."""

    def __init__(self, path, port_dir, arguments):
        env = dict(os.environ, VANTEL_PORT_DIR=port_dir)
        self.process = subprocess.Popen([path] + arguments, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, env=env)
        self.out = Lines(self.process.stdout)
        self.asked = 0
        if not self.out.wait_for(r"^ready "):
            raise RuntimeError("vantel-sim did not get ready")

    def requests(self, prefix):
        """How many requests beginning with `prefix` (hex) the supply received so far."""
        # The answer to a command comes after every trace line printed before it.
        self.asked += 1
        self.process.stdin.write(b"status\n")
        self.process.stdin.flush()
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            if sum(1 for l in self.out.snapshot() if l.startswith("status")) >= self.asked:
                break
            time.sleep(0.01)
        return sum(1 for l in self.out.snapshot()
                   if " rx " in l and l.split(" rx ")[1].startswith(prefix))

    def stop(self):
        self.process.stdin.close()
        self.process.wait(WAIT)


READ_5 = "05 03 10 00"
OUTPUT_ON_5 = "05 06 10 06 00 01"
OUTPUT_OFF_5 = "05 06 10 06 00 00"
WRITES_5 = "05 06"


def main():
    vantelctl, simulator = sys.argv[1], sys.argv[2]

    # Refused options exit 2 before anything opens: COM9 does not exist, so an
    # attempt to open it would exit 3.
    refusals = [
        (["--listen", "0.0.0.0:5025"], r"not a loopback address.*--allow"),
        (["--listen", "[::]:5025"], r"not a loopback address.*--allow"),
        (["--listen", "192.168.1.10:5025", "--allow", "10.0.0.0/33"], r"--allow takes"),
        (["--listen", "localhost"], r"--listen takes ADDRESS:PORT"),
        (["--listen", "127.0.0.1:65536"], r"--listen takes ADDRESS:PORT"),
        (["--max-clients", "0"], r"--max-clients"),
        (["--idle-timeout", "-1"], r"--idle-timeout"),
        (["--addresses", "0,3"], r"--addresses"),
        (["--json"], r"--json"),
    ]
    for options, message in refusals:
        refused = subprocess.run([vantelctl, "--port", "COM9", "serve"] + options,
                                 capture_output=True, timeout=WAIT)
        text = refused.stderr.decode("utf-8", "replace")
        check(refused.returncode == 2 and re.search(message, text) is not None,
              "serve %s exits 2: %s" % (" ".join(options), text.strip()))

    ports = tempfile.TemporaryDirectory()
    sim = Simulator(simulator, ports.name,
                    ["--port", "1", "--address", "5,6", "--trace", "--voltage", "12.34",
                     "--current", "1.5"])
    env = dict(os.environ, VANTEL_PORT_DIR=ports.name)
    server = subprocess.Popen([vantelctl, "--port", "COM1", "serve", "--addresses", "5,6",
                               "--listen", "127.0.0.1:0", "--allow", "127.0.0.1/32",
                               "--max-clients", "2"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=env)
    err = Lines(server.stderr)
    listening = err.wait_for(r"listening on 127\.0\.0\.1:(\d+)")
    if not listening:
        print("\n".join(err.snapshot()))
        raise RuntimeError("vantelctl serve did not listen")
    port = int(listening.group(1))

    rm = pyvisa.ResourceManager("@py")
    resource = "TCPIP::127.0.0.1::%d::SOCKET" % port

    def instrument():
        inst = rm.open_resource(resource, read_termination="\n", write_termination="\n")
        inst.timeout = int(WAIT * 1000)
        return inst

    a = instrument()

    # (what, command, expected answer: a regular expression, or None for a command)
    conversation = [
        ("identify", "*IDN?", r"vantel,Modbus RTU gateway,COM1-5,\d+\.\d+\.\d+"),
        ("set the voltage", "VOLT 7.5", None),
        ("query it", "SOUR:VOLT?", r"7\.50"),
        ("set the current in mA, long form", "SOURce:CURRent:LEVel:IMMediate 250 MA", None),
        ("query it, any case", "curr?", r"0\.250"),
        ("values are rounded as set rounds them", "VOLT 7.505;VOLT?", r"7\.50"),
        ("output on", "OUTP ON", None),
        ("output state", "OUTP?", r"1"),
        ("mode", "OUTP:MODE?", r"CV|CC"),
        ("measure", "MEAS:VOLT?", r"\d+\.\d\d"),
        ("a compound line", "MEAS:VOLT?;CURR?;POW?;:OUTP?;*OPC?", r"[\d.]+;[\d.]+;[\d.]+;1;1"),
        ("an error", "VOLT 70", None),
        ("read back", "SYST:ERR?", r'-222,"Data out of range;0 to 62\.00 V"'),
        ("an unknown header", "VOLTAGE:FOO 1", None),
        ("read back", "SYST:ERR?", r'-113,"Undefined header;.*"'),
        ("the queue is empty", "SYST:ERR:COUN?;:SYST:ERR?", r'0;0,"No error"'),
        ("the second supply by suffix", "SOUR2:VOLT 3.3;VOLT?", r"3\.30"),
        ("the first is still selected", "VOLT?", r"7\.50"),
        ("the second selected", "INST:NSEL 2;:MEAS:VOLT?;:INST:SEL CH1;:INST?", r"0\.00;CH1"),
        ("a channel that is not there", "OUTP3 ON;:SYST:ERR?", None),
        ("read back", "SYST:ERR?", r'-114,"Header suffix out of range;.*"'),
        ("output off", "OUTP OFF;OUTP?", r"0"),
    ]
    for what, command, expected in conversation:
        before = sim.requests(WRITES_5)
        if expected is None:
            a.write(command)
            a.query("*OPC?")
            check(True, "%s: %s" % (what, command))
        else:
            answer = a.query(command)
            check(re.fullmatch(expected, answer) is not None,
                  "%s: %s -> %r" % (what, command, answer))
        if what == "an error":
            check(sim.requests(WRITES_5) == before, "a refused value sends nothing")

    # The output's writes reached the supply, once each.
    check(sim.requests(OUTPUT_ON_5) == 1, "output on is on the trace once")
    check(sim.requests(OUTPUT_OFF_5) == 1, "output off is on the trace once")

    # One command line measuring three quantities takes one status reading.
    before = sim.requests(READ_5)
    a.query("MEAS:VOLT?;CURR?;POW?")
    check(sim.requests(READ_5) == before + 1, "one line, one status reading")

    # Bad input: a line too long, binary bytes, an unterminated string.
    a.write("VOLT " + "9" * 5000)
    check(a.query("SYST:ERR?").startswith('-223,"Too much data'), "a line over 4096 bytes: -223")
    a.write_raw(b"\x00\xff\n")
    check(a.query("SYST:ERR?").startswith("-101,"), "binary bytes: -101")
    a.write("VOLT 'abc")
    check(a.query("SYST:ERR?").startswith("-151,"), "an unterminated string: -151")

    # A client that half-closes after its lines (nc -N, socat, printf | ...) has them
    # carried out and answered, the last one without its terminator too, then is closed.
    ons = sim.requests(OUTPUT_ON_5)
    half = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    half.sendall(b"*CLS\nVOLT 6.5\nOUTP ON\nOUTP?;VOLT?")
    half.shutdown(socket.SHUT_WR)
    received = b""
    while True:
        chunk = half.recv(4096)
        if not chunk:
            break
        received += chunk
    half.close()
    check(received == b"1;6.50\n", "a half-closed client is answered: %r" % received)
    check(sim.requests(OUTPUT_ON_5) == ons + 1, "its lines after the first were carried out")
    check(err.wait_for(r"client \d+ \(.*\) left: closed by the client; 4 lines") is not None,
          "it is closed once answered")

    # Two clients at once, each with its own error queue, both served in turn.
    b = instrument()
    a.write("BOGUS")
    check(b.query("SYST:ERR?") == '0,"No error"', "the second client's queue is its own")
    check(a.query("SYST:ERR?").startswith("-113,"), "the first client's error stays its own")
    answers = {"a": [], "b": []}

    def poll(inst, name, command):
        for _ in range(15):
            answers[name].append(inst.query(command))

    threads = [threading.Thread(target=poll, args=(a, "a", "MEAS:VOLT?;CURR?")),
               threading.Thread(target=poll, args=(b, "b", "MEAS2:VOLT?"))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(WAIT * 3)
    check(len(answers["a"]) == 15 and all(re.fullmatch(r"[\d.]+;[\d.]+", x) for x in answers["a"]),
          "two clients: the first's 15 answers")
    check(answers["b"] == ["0.00"] * 15, "two clients: the second's 15 answers")

    # One client floods (300 readings and a line of 100 kB, answers left unread): the
    # other's queries each wait for at most one of the flood's, as the trace shows.
    sim.requests(READ_5)
    seen = len(sim.out.snapshot())
    a.write_raw(b"MEAS:VOLT?\n" * 300 + b"X" * 100000 + b"\n")
    time.sleep(0.3)
    for _ in range(5):
        b.query("MEAS2:VOLT?")
    sim.requests(READ_5)
    between, worst, started = 0, 0, False
    for line in sim.out.snapshot()[seen:]:
        if " rx 06 03 10 00" in line:
            worst = max(worst, between) if started else worst
            between, started = 0, True
        elif " rx 05 03 10 00" in line:
            between += 1
    check(started and worst <= 1,
          "a flood: the other client waits at most one command between its own (%d)" % worst)
    # The flooder leaves: its waiting lines are dropped, the one on the line finishes.
    a.close()
    check(err.wait_for(r"client 1 \(.*\) left") is not None, "the flooder's leaving is seen")
    reads = sim.requests(READ_5)
    b.query("MEAS2:VOLT?;*OPC?")
    check(sim.requests(READ_5) <= reads + 1, "nothing of the flood runs after it left")
    a = instrument()
    check(a.query("*IDN?").startswith("vantel,"), "the server serves on after the flood")

    # A third client is one too many: told why and closed.
    third = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    told = third.makefile("rb").readline()
    check(b"at most 2 clients" in told, "a client over --max-clients is told why: %r" % told)
    third.close()

    # A client from outside --allow is closed at once; what it sent never reaches the line.
    writes = sim.requests(WRITES_5)
    try:
        foreign = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        foreign.settimeout(WAIT)
        foreign.bind(("127.0.0.2", 0))
        foreign.connect(("127.0.0.1", port))
        try:
            foreign.sendall(b"OUTP ON\nVOLT 20\n")
            closed = foreign.recv(100) == b""
        except ConnectionError:
            closed = True
        foreign.close()
        check(closed, "a client from outside --allow is closed")
        check(err.wait_for(r"refused 127\.0\.0\.2") is not None, "the refusal is on stderr")
        a.query("*OPC?")
        check(sim.requests(WRITES_5) == writes, "nothing it sent reached the line")
    except OSError as error:
        print("skip  a second loopback address cannot be bound here: %s" % error)

    # Ctrl-C ends the server with 0 and leaves the output as it is.
    a.write("OUTP ON")
    a.query("*OPC?")
    a.close()
    b.close()
    offs = sim.requests(OUTPUT_OFF_5)
    server.send_signal(signal.SIGINT)
    code = server.wait(WAIT)
    check(code == 0, "SIGINT exits 0 (%s)" % code)
    check(sim.requests(OUTPUT_OFF_5) == offs, "the output is left on")
    summary = "\n".join(err.whole())
    check(re.search(r"client 1 connected from 127\.0\.0\.1", summary) is not None,
          "a line per client connecting")
    check(re.search(r"client 2 .* left", summary) is not None, "a line per client leaving")
    check(re.search(r"^vantelctl: link: \d+ requests", summary, re.M) is not None,
          "a link summary at the end")

    # An idle client is closed; --off-at-end switches the output off on SIGTERM. The
    # wait for a reply leaves the slow supply below room on a machine four times slower.
    server = subprocess.Popen([vantelctl, "--port", "COM1", "--address", "5", "--timeout", "1200",
                               "serve",
                               "--listen", "127.0.0.1:0", "--idle-timeout", "1", "--off-at-end"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=env)
    err = Lines(server.stderr)
    listening = err.wait_for(r"listening on 127\.0\.0\.1:(\d+)")
    check(listening is not None, "a second server listens")
    if listening:
        idle = socket.create_connection(("127.0.0.1", int(listening.group(1))), timeout=WAIT)
        idle.sendall(b"OUTP ON;*OPC?\r\n")
        reader = idle.makefile("rb")
        check(reader.readline() == b"1\n", "a raw socket client with CR LF")
        started = time.monotonic()
        check(reader.readline() == b"", "the idle client is closed")
        # The close is due after 1 s; a server that never closes is the fault, and
        # the bound leaves a loaded machine four times that.
        check(time.monotonic() - started < 5, "within its idle timeout")
        check(err.wait_for(r"left: idle for 1 s") is not None, "the idle close is on stderr")
        idle.close()

        # A slow supply: a line of four writes outlasts the idle timeout, and the
        # client waiting for it is not idle.
        sim.process.stdin.write(b"fault delay 250\n")
        sim.process.stdin.flush()
        waiting = socket.create_connection(("127.0.0.1", int(listening.group(1))), timeout=WAIT)
        waiting.sendall(b"VOLT 1;VOLT 2;VOLT 3;VOLT?\n")
        started = time.monotonic()
        answer = waiting.makefile("rb").readline()
        check(answer == b"3.00\n" and time.monotonic() - started > 1.2,
              "a client waiting for a slow line is not idle: %r after %.1f s"
              % (answer, time.monotonic() - started))
        waiting.close()
        sim.process.stdin.write(b"fault clear\n")
        sim.process.stdin.flush()

        # A byte a second is no whole line: the client is closed all the same.
        trickle = socket.create_connection(("127.0.0.1", int(listening.group(1))), timeout=WAIT)
        started = time.monotonic()
        closed = False
        for byte in b"*IDN":
            try:
                trickle.sendall(bytes([byte]))
            except OSError:
                closed = True
                break
            time.sleep(0.5)
        trickle.settimeout(3)
        try:
            closed = closed or trickle.recv(100) == b""
        except OSError:
            closed = True
        check(closed and time.monotonic() - started < 4,
              "a client sending a byte at a time is idle (%.1f s)" % (time.monotonic() - started))
        trickle.close()

        # The port goes away: queries answer "not a number" with a -240 that names
        # it, and the server serves on and opens it again once it is back.
        client = socket.create_connection(("127.0.0.1", int(listening.group(1))), timeout=WAIT)
        reader = client.makefile("rb")
        sim.stop()
        gone = err.wait_for(r"COM1: the device is gone; serving on")
        check(gone is not None, "the port's going is named on stderr")
        client.sendall(b"MEAS:VOLT?\n")
        check(reader.readline() == b"9.91E37\n", "a query without the port answers 9.91E37")
        client.sendall(b"VOLT 2;SYST:ERR?;:SYST:ERR?\n")
        client.sendall(b"SYST:ERR?;:SYST:ERR?\n")
        errors = reader.readline()
        check(errors == b'-240,"Hardware error;address 5: COM1: the device is gone";'
                        b'-240,"Hardware error;voltage not confirmed: COM1: the device is gone"\n',
              "the errors name the port: %r" % errors)
        sim = Simulator(simulator, ports.name, ["--port", "1", "--address", "5", "--trace"])
        check(err.wait_for(r"COM1 is back; serving on") is not None, "the port is opened again")
        # The first request after the reopening waits for a quiet line; on a loaded
        # machine it may time out, so a few are asked.
        answers = []
        for _ in range(5):
            client.sendall(b"MEAS:VOLT?\n")
            answers.append(reader.readline())
            if re.fullmatch(rb"\d+\.\d\d\n", answers[-1]):
                break
            time.sleep(0.5)
        check(re.fullmatch(rb"\d+\.\d\d\n", answers[-1]) is not None,
              "the server serves on once the port is back: %r" % answers)
        client.close()
    offs = sim.requests(OUTPUT_OFF_5)
    server.send_signal(signal.SIGTERM)
    code = server.wait(WAIT)
    check(code == 0, "SIGTERM exits 0 (%s)" % code)
    check(sim.requests(OUTPUT_OFF_5) == offs + 1, "--off-at-end switches the output off")
    # [::] listens on IPv6 and IPv4 alike.
    server = subprocess.Popen([vantelctl, "--port", "COM1", "--address", "5", "serve",
                               "--listen", "[::]:0", "--allow", "127.0.0.1,::1"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=env)
    err = Lines(server.stderr)
    listening = err.wait_for(r"listening on \[::\]:(\d+)")
    check(listening is not None, "a server listens on [::]")
    if listening:
        families = [("127.0.0.1", socket.AF_INET)]
        if socket.has_ipv6:
            families.append(("::1", socket.AF_INET6))
        for host, family in families:
            try:
                both = socket.socket(family, socket.SOCK_STREAM)
                both.settimeout(WAIT)
                both.connect((host, int(listening.group(1))))
            except OSError as error:
                check(family == socket.AF_INET6, "[::] takes %s: %s" % (host, error))
                continue
            both.sendall(b"*IDN?\n")
            check(both.makefile("rb").readline().startswith(b"vantel,"), "[::] takes " + host)
            both.close()
    server.send_signal(signal.SIGINT)
    server.wait(WAIT)

    # Descriptors run short while serving (prlimit lowers the server's own limit):
    # accepting pauses, said on stderr, and a client that waited is served once
    # there are descriptors again.
    server = subprocess.Popen([vantelctl, "--port", "COM1", "--address", "5", "serve",
                               "--listen", "127.0.0.1:0"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=env)
    err = Lines(server.stderr)
    listening = err.wait_for(r"listening on 127\.0\.0\.1:(\d+)")
    check(listening is not None, "a server listens")
    prlimit = shutil.which("prlimit")
    if listening and prlimit and os.path.isdir("/proc/%d/fd" % server.pid):
        in_use = len(os.listdir("/proc/%d/fd" % server.pid))
        subprocess.run([prlimit, "--pid", str(server.pid), "--nofile=%d:" % in_use], check=True)
        waited = socket.create_connection(("127.0.0.1", int(listening.group(1))), timeout=WAIT)
        check(err.wait_for(r"accepting paused: .*trying again every second") is not None,
              "out of descriptors, accepting pauses and says so")
        import resource
        soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        subprocess.run([prlimit, "--pid", str(server.pid), "--nofile=%d:" % soft], check=True)
        waited.sendall(b"*IDN?\n")
        check(waited.makefile("rb").readline().startswith(b"vantel,"),
              "with descriptors again, the client that waited is served")
        check(err.wait_for(r"accepting again") is not None, "accepting again is said")
        waited.close()
        later = socket.create_connection(("127.0.0.1", int(listening.group(1))), timeout=WAIT)
        later.sendall(b"*IDN?\n")
        check(later.makefile("rb").readline().startswith(b"vantel,"), "and so is a later one")
        later.close()
        check(len(re.findall(r"accepting paused", "\n".join(err.snapshot()))) == 1,
              "the pause is said once")
    else:
        print("skip  prlimit or /proc is missing")
    server.send_signal(signal.SIGINT)
    server.wait(WAIT)

    # More clients than the descriptors allow is refused at the start.
    def few_descriptors():
        import resource
        resource.setrlimit(resource.RLIMIT_NOFILE, (40, 40))

    refused = subprocess.run([vantelctl, "--port", "COM1", "serve", "--max-clients", "100"],
                             capture_output=True, timeout=WAIT, env=env,
                             preexec_fn=few_descriptors)
    text = refused.stderr.decode("utf-8", "replace")
    check(refused.returncode == 2 and re.search(r"--max-clients 100 needs .*ulimit -n", text),
          "--max-clients above the descriptor limit exits 2: %s" % text.strip())
    sim.stop()
    if FAILURES:
        print("\n".join(err.snapshot()))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
