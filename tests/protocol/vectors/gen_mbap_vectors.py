#!/usr/bin/python3
"""Writes the Modbus TCP (MBAP) vectors the protocol tests compare against.

pymodbus (Debian package python3-pymodbus), which shares no code with ours, frames
each message with its socket framer. Run from anywhere with Debian's interpreter:
    /usr/bin/python3 tests/protocol/vectors/gen_mbap_vectors.py
It rewrites mbap.inc next to itself: one row a message, its name, transaction id,
unit id, PDU and the whole ADU.
"""

import os

from pymodbus.factory import ClientDecoder
from pymodbus.framer.socket_framer import ModbusSocketFramer
from pymodbus.pdu import ExceptionResponse
from pymodbus.register_read_message import (ReadHoldingRegistersRequest,
                                            ReadHoldingRegistersResponse)
from pymodbus.register_write_message import (WriteSingleRegisterRequest,
                                             WriteSingleRegisterResponse)

HERE = os.path.dirname(os.path.abspath(__file__))


def hexs(data):
    return " ".join("%02X" % b for b in data)


def message(msg, transaction, unit):
    msg.transaction_id = transaction
    msg.unit_id = unit
    return msg


def main():
    framer = ModbusSocketFramer(ClientDecoder())
    rows = [
        ("read status, unit 5", message(ReadHoldingRegistersRequest(0x1000, 6), 0x1234, 5)),
        ("read status, unit 247", message(ReadHoldingRegistersRequest(0x1000, 6), 1, 247)),
        ("status reply", message(ReadHoldingRegistersResponse([500, 1000, 499, 0, 1, 0]), 0x1234, 5)),
        ("output on", message(WriteSingleRegisterRequest(0x1006, 1), 7, 1)),
        ("set voltage 62.00", message(WriteSingleRegisterRequest(0x1000, 6200), 0xFFFF, 3)),
        ("write echoed", message(WriteSingleRegisterResponse(0x1001, 3200), 0x8000, 3)),
        ("address change", message(WriteSingleRegisterRequest(0x1008, 9), 2, 0)),
        ("illegal function", message(ExceptionResponse(0x10, 0x01), 3, 1)),
        ("illegal value", message(ExceptionResponse(0x06, 0x03), 4, 1)),
        ("path unavailable", message(ExceptionResponse(0x03, 0x0A), 5, 9)),
        ("target failed", message(ExceptionResponse(0x03, 0x0B), 0, 2)),
    ]
    with open(os.path.join(HERE, "mbap.inc"), "w") as out:
        out.write("// Written by gen_mbap_vectors.py from pymodbus's socket framer; do not edit.\n")
        out.write("// name, transaction id, unit id, PDU, ADU\n")
        for name, msg in rows:
            adu = framer.buildPacket(msg)
            pdu = adu[7:]
            out.write('{"%s", 0x%04X, %d, "%s", "%s"},\n'
                      % (name, msg.transaction_id, msg.unit_id, hexs(pdu), hexs(adu)))


if __name__ == "__main__":
    main()
