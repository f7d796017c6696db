#!/usr/bin/python3
"""An independent Modbus TCP client for the end-to-end tests: pymodbus's.

    modbus_client.py PORT OPERATION...

Each OPERATION goes out in turn on one connection to 127.0.0.1:PORT:
read:UNIT:REGISTER:COUNT (function 3), write:UNIT:REGISTER:VALUE (function 6),
input:UNIT:REGISTER:COUNT (function 4). Registers and values are decimal or 0x
hex. One line is printed for each: "ok" and the registers read, "exception N",
or "error" and what went wrong (no answer, the connection closed). Exit 77 when
pymodbus is missing, 1 when the connection cannot be made."""

import sys

SKIP = 77

try:
    from pymodbus.client import ModbusTcpClient
    from pymodbus.pdu import ExceptionResponse
except ImportError:
    print("pymodbus is not installed (python3-pymodbus): skipped")
    sys.exit(SKIP)


def run(client, operation):
    kind, unit, register, number = operation.split(":")
    unit, register, number = int(unit, 0), int(register, 0), int(number, 0)
    try:
        if kind == "read":
            reply = client.read_holding_registers(register, number, slave=unit)
        elif kind == "write":
            reply = client.write_register(register, number, slave=unit)
        elif kind == "input":
            reply = client.read_input_registers(register, number, slave=unit)
        else:
            return "error unknown operation " + kind
    except Exception as error:  # a closed connection raises in some versions
        return "error " + str(error).replace("\n", " ")
    if isinstance(reply, ExceptionResponse):
        return "exception %d" % reply.exception_code
    if reply.isError():
        return "error " + str(reply).replace("\n", " ")
    registers = getattr(reply, "registers", None)
    if registers is None:
        registers = [reply.value]
    return " ".join(["ok"] + [str(r) for r in registers])


def main():
    port = int(sys.argv[1])
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=3, retries=0)
    if not client.connect():
        print("error cannot connect")
        return 1
    for operation in sys.argv[2:]:
        print(run(client, operation), flush=True)
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
