#!/usr/bin/env python3
"""A meter played by pymodbus, slave 1: pymodbus_meter.py [tcp | rtu-over-tcp | serial].

Prints "READY <port-or-device>" (serial: two pty pairs joined by a bridge), registers a start
as (a * 7 + 3) & 0xFFFF; then one answer line per stdin line, leaving when stdin closes:
set ADDR V... | fault FIRST LAST exception|silent|short|ignore|off | log ("req T HEX"... "end")
| reset (registers 0, no faults, empty log). "short": one register short, or a write confirmed
for one less; "ignore": writes confirmed but not kept."""
import asyncio
import logging
import os
import select
import sys
import threading
import time
import tty

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.framer.socket_framer import ModbusSocketFramer
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer

BLOCK = ModbusSequentialDataBlock(0, [(a * 7 + 3) & 0xFFFF for a in range(65536)])
FAULTS = []   # (first, last, mode)
LOG = []      # (monotonic seconds, frame bytes)
STATE = {"silence": False, "shorten": False}  # for the answer being served


def fault_for(address, count):
    last = address + max(count, 1) - 1
    return next((m for f, e, m in FAULTS if address <= e and last >= f), None)


def command(words):
    op, args = (words[0], words[1:]) if words else ("", [])
    try:
        if op == "set" and len(args) >= 2:
            BLOCK.setValues(int(args[0], 0), [int(v, 0) & 0xFFFF for v in args[1:]])
            return "ok"
        if op == "fault" and len(args) == 3:
            first, last, mode = int(args[0], 0), int(args[1], 0), args[2]
            if mode not in ("exception", "silent", "short", "ignore", "off"):
                return "error unknown mode " + mode
            FAULTS[:] = [f for f in FAULTS if (f[0], f[1]) != (first, last)]
            FAULTS.extend([(first, last, mode)] if mode != "off" else [])
            return "ok"
        if op == "log":
            return "\n".join(["req %.6f %s" % (t, d.hex()) for t, d in LOG] + ["end"])
        if op == "reset":
            BLOCK.setValues(0, [0] * 65536)
            FAULTS.clear(), LOG.clear()
            return "ok"
    except ValueError as exc:
        return "error " + str(exc)
    return "error unknown command " + " ".join(words)


class PeerFault(Exception):  # answered with exception 4 (slave failure)
    pass


class PeerContext(ModbusSlaveContext):
    def _fault(self, address, count):
        mode = fault_for(address, count)
        if mode == "exception":
            raise PeerFault()
        STATE["silence"], STATE["shorten"] = mode == "silent", mode == "short"
        return mode

    def getValues(self, fc_as_hex, address, count=1):
        self._fault(address, count)
        return super().getValues(fc_as_hex, address, count)

    def setValues(self, fc_as_hex, address, values):
        if self._fault(address, len(values)) == "silent":
            return
        kept = [(a, BLOCK.getValues(a, 1)[0]) for a in range(address, address + len(values))
                if any(f <= a <= e and m == "ignore" for f, e, m in FAULTS)]
        super().setValues(fc_as_hex, address, values)
        for a, v in kept:  # "ignore": confirmed, not kept
            BLOCK.setValues(a, [v])


def manipulate(response):
    if STATE["silence"]:
        response.should_respond = False
    elif STATE["shorten"]:
        if getattr(response, "registers", None):
            response.registers = response.registers[:-1]
        elif getattr(response, "count", 0):
            response.count -= 1
    STATE["silence"] = STATE["shorten"] = False
    return response, False


def logging_framer(base):
    class Logging(base):
        def processIncomingPacket(self, data, callback, unit, **kwargs):
            LOG.append((time.monotonic(), bytes(data)))
            return super().processIncomingPacket(data, callback, unit, **kwargs)
    return Logging


def bridge(fd_a, fd_b):  # both ways between two pty masters
    while True:
        ready, _, _ = select.select([fd_a, fd_b], [], [])
        for src in ready:
            try:
                data = os.read(src, 4096)
            except OSError:
                continue  # the slave side is closed for now (EIO); it may be reopened
            view = memoryview(data)
            while view:
                view = view[os.write(fd_b if src == fd_a else fd_a, view):]


async def commands():
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while line := await reader.readline():
        print(command(line.decode("ascii", "replace").split()), flush=True)
    os._exit(0)


async def main(mode):
    slave = PeerContext(hr=BLOCK, ir=BLOCK, zero_mode=True)
    context = ModbusServerContext(slaves={1: slave}, single=False)
    framer = logging_framer(ModbusSocketFramer if mode == "tcp" else ModbusRtuFramer)
    if mode in ("tcp", "rtu-over-tcp"):
        server = await StartAsyncTcpServer(context=context, address=("127.0.0.1", 0),
                                           framer=framer, defer_start=True,
                                           response_manipulator=manipulate)
        task = asyncio.create_task(server.serve_forever())
        await server.serving
        print("READY", server.server.sockets[0].getsockname()[1], flush=True)
    elif mode == "serial":
        tool_master, tool_slave = os.openpty()
        meter_master, meter_slave = os.openpty()
        for fd in (tool_slave, meter_slave):
            tty.setraw(fd)
        threading.Thread(target=bridge, args=(tool_master, meter_master), daemon=True).start()
        server = await StartAsyncSerialServer(context=context, framer=framer,
                                              port=os.ttyname(meter_slave), baudrate=19200,
                                              defer_start=True, response_manipulator=manipulate)
        await server.start()
        task = asyncio.create_task(server.serve_forever())
        print("READY", os.ttyname(tool_slave), flush=True)
    else:
        sys.exit("unknown mode " + mode)
    await asyncio.gather(task, asyncio.create_task(commands()))  # held: tasks are weak refs


if __name__ == "__main__":
    logging.basicConfig(level=logging.CRITICAL)  # the faults asked for are no errors
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL + 1)
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "tcp"))
