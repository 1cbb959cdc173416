#!/usr/bin/env python3
"""A meter played by pymodbus, slave 1: pymodbus_meter.py tcp | rtu-over-tcp | serial.

Serves on 127.0.0.1 (ephemeral port) or behind a pty, prints "READY <port-or-device>", and
runs until its stdin closes. Holding and input register a start as (a * 7 + 3) & 0xFFFF.
Serial: pymodbus and the tool each need a device path, so two pty pairs are made, pymodbus
serves on one slave side, the tool gets the other, and the two masters are joined.
Run with /usr/bin/python3 (the interpreter that sees Debian's pymodbus).
"""
import asyncio
import logging
import os
import select
import sys
import threading
import tty

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.framer.socket_framer import ModbusSocketFramer
from pymodbus.server import StartAsyncSerialServer, StartAsyncTcpServer


def make_context():
    values = [(a * 7 + 3) & 0xFFFF for a in range(65536)]
    slave = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, values),
                               ir=ModbusSequentialDataBlock(0, list(values)), zero_mode=True)
    return ModbusServerContext(slaves={1: slave}, single=False)


def bridge(fd_a, fd_b):
    """Copies bytes both ways between two pty masters until one side fails."""
    while True:
        ready, _, _ = select.select([fd_a, fd_b], [], [])
        for src in ready:
            dst = fd_b if src == fd_a else fd_a
            try:
                data = os.read(src, 4096)
            except OSError:
                continue  # the slave side is closed for now (EIO); it may be reopened
            view = memoryview(data)
            while view:
                written = os.write(dst, view)
                view = view[written:]


async def watch_stdin():
    """Ends the process when the test closes our stdin."""
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.read)
    os._exit(0)


async def main(mode):
    context = make_context()
    asyncio.get_running_loop().create_task(watch_stdin())
    if mode in ("tcp", "rtu-over-tcp"):
        framer = ModbusSocketFramer if mode == "tcp" else ModbusRtuFramer
        server = await StartAsyncTcpServer(context=context, address=("127.0.0.1", 0),
                                           framer=framer, defer_start=True)
        task = asyncio.create_task(server.serve_forever())
        await server.serving
        print("READY", server.server.sockets[0].getsockname()[1], flush=True)
        await task
    elif mode == "serial":
        tool_master, tool_slave = os.openpty()
        meter_master, meter_slave = os.openpty()
        for fd in (tool_slave, meter_slave):
            tty.setraw(fd)
        threading.Thread(target=bridge, args=(tool_master, meter_master), daemon=True).start()
        server = await StartAsyncSerialServer(context=context, framer=ModbusRtuFramer,
                                              port=os.ttyname(meter_slave), baudrate=19200,
                                              defer_start=True)
        await server.start()
        print("READY", os.ttyname(tool_slave), flush=True)
        await server.serve_forever()
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    logging.basicConfig(level=logging.CRITICAL)
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "tcp"))
