#!/usr/bin/env python3
"""A meter played by pymodbus for the screen tests: Modbus TCP on 127.0.0.1, holding
registers set by the test, every request logged, chosen registers faulty. Prints
"READY <port>", then answers each stdin line with one line (leaves when stdin closes):
  set ADDR V...          -> ok
  fault FIRST LAST MODE  -> ok; requests touching FIRST..LAST get: exception (code 4), silent
                         (no answer, nothing written), short (one register short, or a write
                         confirmed for one less), ignore (writes confirmed, but FIRST..LAST
                         keep their values), off
  log                    -> "req MONOTONIC_SECONDS HEX" per request since reset, then end
  reset                  -> ok; registers 0, no faults, empty log
"""
import asyncio
import logging
import os
import sys
import time

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,
                                ModbusSlaveContext)
from pymodbus.framer.socket_framer import ModbusSocketFramer
from pymodbus.server import StartAsyncTcpServer


class PeerFault(Exception):
    """pymodbus answers it with exception 4 (slave failure)."""


class Peer:
    def __init__(self):
        self.block = ModbusSequentialDataBlock(0, [0] * 65536)
        self.faults = []        # (first, last, mode)
        self.log = []           # (monotonic seconds, frame bytes)
        self.silence = False    # the request being served gets no answer
        self.shorten = False    # the answer being served is one register short

    def fault_for(self, address, count):
        last = address + max(count, 1) - 1
        for first, end, mode in self.faults:
            if address <= end and last >= first:
                return mode
        return None

    def command(self, words):
        op, args = (words[0], words[1:]) if words else ("", [])
        try:
            if op == "set" and len(args) >= 2:
                self.block.setValues(int(args[0], 0), [int(v, 0) & 0xFFFF for v in args[1:]])
                return "ok"
            if op == "fault" and len(args) == 3:
                first, last, mode = int(args[0], 0), int(args[1], 0), args[2]
                if mode not in ("exception", "silent", "short", "ignore", "off"):
                    return "error unknown mode " + mode
                self.faults = [f for f in self.faults if (f[0], f[1]) != (first, last)]
                if mode != "off":
                    self.faults.append((first, last, mode))
                return "ok"
            if op == "log":
                return "\n".join(["req %.6f %s" % (t, d.hex()) for t, d in self.log] + ["end"])
            if op == "reset":
                self.block.setValues(0, [0] * 65536)
                self.faults.clear()
                self.log.clear()
                return "ok"
        except ValueError as exc:
            return "error " + str(exc)
        return "error unknown command " + " ".join(words)


PEER = Peer()


class PeerContext(ModbusSlaveContext):
    def _fault(self, address, count):
        mode = PEER.fault_for(address, count)
        if mode == "exception":
            raise PeerFault()
        PEER.silence = mode == "silent"
        PEER.shorten = mode == "short"
        return mode

    def getValues(self, fc_as_hex, address, count=1):
        self._fault(address, count)
        return super().getValues(fc_as_hex, address, count)

    def setValues(self, fc_as_hex, address, values):
        mode = self._fault(address, len(values))
        if mode == "silent":
            return
        kept = [(a, PEER.block.getValues(a, 1)[0]) for a in range(address, address + len(values))
                if any(f <= a <= e and m == "ignore" for f, e, m in PEER.faults)]
        super().setValues(fc_as_hex, address, values)
        for a, v in kept:
            PEER.block.setValues(a, [v])


def manipulate(response):
    if PEER.silence:
        response.should_respond = False
    elif PEER.shorten:
        if getattr(response, "registers", None):
            response.registers = response.registers[:-1]
        elif getattr(response, "count", 0):
            response.count -= 1
    PEER.silence = PEER.shorten = False
    return response, False


class LoggingFramer(ModbusSocketFramer):
    def processIncomingPacket(self, data, callback, unit, **kwargs):
        PEER.log.append((time.monotonic(), bytes(data)))
        return super().processIncomingPacket(data, callback, unit, **kwargs)


async def commands():
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while line := await reader.readline():
        sys.stdout.write(PEER.command(line.decode("ascii", "replace").split()) + "\n")
        sys.stdout.flush()
    os._exit(0)


async def main():
    context = ModbusServerContext(slaves=PeerContext(hr=PEER.block, zero_mode=True), single=True)
    server = await StartAsyncTcpServer(context=context, address=("127.0.0.1", 0),
                                       framer=LoggingFramer, defer_start=True,
                                       response_manipulator=manipulate)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print("READY", server.server.sockets[0].getsockname()[1], flush=True)
    await asyncio.gather(task, asyncio.create_task(commands()))  # held: tasks are weak refs


if __name__ == "__main__":
    # The faults the tests ask for are logged by pymodbus as errors; they are expected.
    logging.basicConfig(level=logging.CRITICAL)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL + 1)
    asyncio.run(main())
