#!/usr/bin/env python3
"""Modbus RTU vectors by pymodbus from a fixed seed, one a line, in hex: crc PAYLOAD|- CRC,
read SLAVE FN START COUNT FRAME, write SLAVE START COUNT DATA FRAME (frames with their CRC)."""
import random
import struct

from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.register_read_message import (ReadHoldingRegistersRequest,
                                            ReadInputRegistersRequest)
from pymodbus.register_write_message import WriteMultipleRegistersRequest
from pymodbus.utilities import computeCRC


def crc_value(data):  # computeCRC's bytes, packed big-endian, are the wire's low-high
    lo_hi = struct.pack(">H", computeCRC(data))
    return lo_hi[0] | (lo_hi[1] << 8)


rng = random.Random(20240601)
framer = ModbusRtuFramer(decoder=None)

payloads = [b"", b"123456789", b"\x00", b"\xff", b"\x01\x03\x10\x03\x00\x01"]
payloads += [bytes(rng.randrange(256) for _ in range(n)) for n in range(1, 64)]
payloads += [bytes(rng.randrange(256) for _ in range(n)) for n in (100, 255, 256, 300)]
for p in payloads:
    print("crc", p.hex() or "-", "%04x" % crc_value(p))

reads = [(1, 3, 4099, 1), (1, 3, 1024, 50), (1, 3, 1082, 8), (247, 3, 0, 125),
         (1, 4, 270, 92), (17, 3, 65535, 1), (0, 3, 4096, 30), (1, 3, 4128, 5)]
reads += [(rng.randrange(1, 248), rng.choice((3, 4)), rng.randrange(65536),
           rng.randrange(1, 126)) for _ in range(40)]
for slave, fn, start, count in reads:
    cls = ReadHoldingRegistersRequest if fn == 3 else ReadInputRegistersRequest
    frame = framer.buildPacket(cls(start, count, unit=slave))
    print("read", slave, fn, start, count, frame.hex())

writes = [(1, 4096, [0x2024, 0x0601, 0x1230, 0, 1, 2, 3, 0xFFFF]),
          (1, 4128, [0xAAAA, 0x5555, 0x0F0F, 0xF0F0, 0x0001]), (5, 0, [7])]
writes += [(rng.randrange(1, 248), rng.randrange(65536),
            [rng.randrange(65536) for _ in range(rng.randrange(1, 124))])
           for _ in range(30)]
for slave, start, values in writes:
    frame = framer.buildPacket(WriteMultipleRegistersRequest(start, values, unit=slave))
    data = b"".join(struct.pack(">H", v) for v in values)
    print("write", slave, start, len(values), data.hex(), frame.hex())

