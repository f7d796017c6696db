#!/usr/bin/python3
"""An independent Modbus RTU slave for the end-to-end tests: pymodbus's serial
server on one end of a pseudo-terminal pair made by socat, the other end
published as COMn in a port folder, as vantel-sim publishes its port.

    pymodbus_slave.py PORT_DIR COMn ADDRESS
    pymodbus_slave.py --tcp PORT ADDRESS

It prints "ready COMn LINK" once the port can be opened and serves until
stdin closes or a signal comes. With --tcp it is a Modbus TCP server on
127.0.0.1:PORT instead (pymodbus's own, with no serial line behind it), prints
"ready tcp PORT" once it listens; a request for a unit id other than ADDRESS
gets no answer (pymodbus's framer drops it). Its holding registers are the supply's:
0x1000 set voltage (10 mV), 0x1001 set current (mA), 0x1002 actual voltage,
0x1003 actual current, 0x1004 output state, 0x1005 regulation mode (1: CV),
0x1006 the output switch, 0x1008 the slave address. A write to the set values
or the switch is echoed and shows in the status block at once, with a 10 ohm
load. Exit 77 when pymodbus, pyserial-asyncio or socat is missing."""

import asyncio
import os
import shutil
import signal
import subprocess
import sys
import time

SKIP = 77

try:
    from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                    ModbusSlaveContext)
    from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer
    from pymodbus.transaction import ModbusRtuFramer
    if "--tcp" not in sys.argv:
        import serial_asyncio  # noqa: F401  (the serial server's transport)
except ImportError as error:
    print(f"skip: {error}", file=sys.stderr)
    sys.exit(SKIP)

FIRST = 0x1000
SET_V, SET_A, ACT_V, ACT_A, STATE, MODE, SWITCH, UNUSED, ADDRESS = range(FIRST, FIRST + 9)
LOAD_OHMS = 10.0
MODE_CV, MODE_CC = 1, 0


class SupplyBlock(ModbusSequentialDataBlock):
    """The status block follows the set values and the switch."""

    def __init__(self, address):
        super().__init__(FIRST, [500, 1000, 0, 0, 0, MODE_CV, 0, 0, address])
        self.update()

    def update(self):
        volts = super().getValues(SET_V)[0] / 100.0
        limit = super().getValues(SET_A)[0] / 1000.0
        on = super().getValues(SWITCH)[0] == 1
        amps, mode = volts / LOAD_OHMS, MODE_CV
        if amps > limit:
            amps, volts, mode = limit, limit * LOAD_OHMS, MODE_CC
        if not on:
            amps = volts = 0.0
        super().setValues(ACT_V, [round(volts * 100), round(amps * 1000), int(on), mode])

    def validate(self, address, count=1):
        return FIRST <= address and address + count <= FIRST + 9

    def setValues(self, address, values):  # pylint: disable=invalid-name
        super().setValues(address, values)
        self.update()


async def until_asked_to_end():
    done = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        loop.add_signal_handler(number, done.set)
    loop.add_reader(sys.stdin.fileno(),
                    lambda: done.set() if not sys.stdin.buffer.read1(512) else None)
    await done.wait()


async def serve(link_dir, name, address):
    socat = shutil.which("socat")
    if not socat:
        print("skip: socat is missing", file=sys.stderr)
        sys.exit(SKIP)
    link = os.path.join(link_dir, name)
    inner = os.path.join(link_dir, f".{name}.slave")
    bridge = subprocess.Popen([socat, f"pty,raw,echo=0,link={link}",
                               f"pty,raw,echo=0,link={inner}"],
                              stdin=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 5
        while not (os.path.exists(link) and os.path.exists(inner)):
            if time.monotonic() > deadline or bridge.poll() is not None:
                print("socat did not make its pseudo-terminals", file=sys.stderr)
                sys.exit(1)
            await asyncio.sleep(0.02)
        slave = ModbusSlaveContext(hr=SupplyBlock(address), zero_mode=True)
        context = ModbusServerContext(slaves={address: slave}, single=False)
        server = await StartAsyncSerialServer(context=context, framer=ModbusRtuFramer,
                                              port=inner, baudrate=9600, bytesize=8,
                                              parity="N", stopbits=1,
                                              ignore_missing_slaves=True,
                                              defer_start=True)
        await server.start()
        print(f"ready {name} {link}", flush=True)
        await until_asked_to_end()
        await server.shutdown()
    finally:
        bridge.terminate()
        bridge.wait()


async def serve_tcp(port, address):
    slave = ModbusSlaveContext(hr=SupplyBlock(address), zero_mode=True)
    context = ModbusServerContext(slaves={address: slave}, single=False)
    # Reusing the address lets a server started again take the port at once.
    server = await StartAsyncTcpServer(context=context, address=("127.0.0.1", port),
                                       allow_reuse_address=True, defer_start=True)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print(f"ready tcp {port}", flush=True)
    await until_asked_to_end()
    await server.shutdown()
    task.cancel()


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    if sys.argv[1] == "--tcp":
        asyncio.run(serve_tcp(int(sys.argv[2]), int(sys.argv[3])))
    else:
        asyncio.run(serve(sys.argv[1], sys.argv[2], int(sys.argv[3])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
