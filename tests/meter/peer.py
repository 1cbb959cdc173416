#!/usr/bin/env python3
"""A meter played by pymodbus for the meter-screen tests: a Modbus TCP server on
127.0.0.1 (ephemeral port) whose holding registers the test sets, which logs every request
it receives and can be told to misbehave for a range of registers.

Run with /usr/bin/python3 (the interpreter that sees Debian's pymodbus). Prints
"READY <port>", then takes one command per line on stdin and answers each with one line:

  set ADDR V [V ...]       holding registers from ADDR                    -> ok
  get ADDR COUNT                                                         -> values V ...
  fault FIRST LAST MODE    requests touching FIRST..LAST: exception (code 4, slave
                           failure), silent (no answer, nothing written), short (a read
                           answer one register short, a write confirmed for one register
                           less), off                                     -> ok
  log                      requests received since the last reset, one line each
                           "req MONOTONIC_SECONDS HEX" (the Modbus TCP frame as it
                           arrived), then                                 -> end
  reset                    all registers 0, no faults, empty log          -> ok
  now                                                                    -> now SECONDS

time.monotonic() is CLOCK_MONOTONIC, the clock of the test's std::chrono::steady_clock.
The process ends when its stdin closes.
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

REGISTERS = 65536


class PeerFault(Exception):
    """Raised by the datastore; pymodbus answers it with exception 4 (slave failure)."""


class Peer:
    def __init__(self):
        self.block = ModbusSequentialDataBlock(0, [0] * REGISTERS)
        self.faults = []        # (first, last, mode)
        self.log = []           # (monotonic seconds, frame bytes)
        self.silence = False    # the request being served gets no answer
        self.shorten = False    # the read being served is answered one register short

    def reset(self):
        self.block.setValues(0, [0] * REGISTERS)
        self.faults.clear()
        self.log.clear()

    def fault_for(self, address, count):
        last = address + max(count, 1) - 1
        for first, end, mode in self.faults:
            if address <= end and last >= first:
                return mode
        return None

    def command(self, words):
        if not words:
            return "error empty command"
        op, args = words[0], words[1:]
        try:
            if op == "set" and len(args) >= 2:
                values = [int(v, 0) & 0xFFFF for v in args[1:]]
                self.block.setValues(int(args[0], 0), values)
                return "ok"
            if op == "get" and len(args) == 2:
                values = self.block.getValues(int(args[0], 0), int(args[1], 0))
                return "values " + " ".join(str(v) for v in values)
            if op == "fault" and len(args) == 3:
                first, last, mode = int(args[0], 0), int(args[1], 0), args[2]
                self.faults = [f for f in self.faults if (f[0], f[1]) != (first, last)]
                if mode != "off":
                    if mode not in ("exception", "silent", "short"):
                        return "error unknown mode " + mode
                    self.faults.append((first, last, mode))
                return "ok"
            if op == "log":
                lines = ["req %.6f %s" % (t, data.hex()) for t, data in self.log]
                return "\n".join(lines + ["end"])
            if op == "reset":
                self.reset()
                return "ok"
            if op == "now":
                return "now %.6f" % time.monotonic()
        except ValueError as exc:
            return "error " + str(exc)
        return "error unknown command " + " ".join(words)


PEER = Peer()


class PeerContext(ModbusSlaveContext):
    def getValues(self, fc_as_hex, address, count=1):
        mode = PEER.fault_for(address, count)
        if mode == "exception":
            raise PeerFault()
        if mode == "silent":
            PEER.silence = True
        if mode == "short":
            PEER.shorten = True
        return super().getValues(fc_as_hex, address, count)

    def setValues(self, fc_as_hex, address, values):
        mode = PEER.fault_for(address, len(values))
        if mode == "exception":
            raise PeerFault()
        if mode == "silent":
            PEER.silence = True
            return
        if mode == "short":
            PEER.shorten = True
        super().setValues(fc_as_hex, address, values)


def manipulate(response):
    if PEER.silence:
        PEER.silence = False
        response.should_respond = False
    elif PEER.shorten:
        PEER.shorten = False
        if getattr(response, "registers", None):
            response.registers = response.registers[:-1]
        elif getattr(response, "count", 0):
            response.count -= 1  # a write confirmed for one register less
    return response, False


class LoggingFramer(ModbusSocketFramer):
    def processIncomingPacket(self, data, callback, unit, **kwargs):
        PEER.log.append((time.monotonic(), bytes(data)))
        return super().processIncomingPacket(data, callback, unit, **kwargs)


async def commands():
    loop = asyncio.get_running_loop()
    reader = asyncio.StreamReader()
    await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
    while True:
        line = await reader.readline()
        if not line:
            os._exit(0)
        sys.stdout.write(PEER.command(line.decode("ascii", "replace").split()) + "\n")
        sys.stdout.flush()


async def main():
    slave = PeerContext(hr=PEER.block, zero_mode=True)
    context = ModbusServerContext(slaves=slave, single=True)
    server = await StartAsyncTcpServer(context=context, address=("127.0.0.1", 0),
                                       framer=LoggingFramer, defer_start=True,
                                       response_manipulator=manipulate)
    task = asyncio.create_task(server.serve_forever())
    await server.serving
    print("READY", server.server.sockets[0].getsockname()[1], flush=True)
    # Held here: the loop keeps only a weak reference to a task.
    command_task = asyncio.create_task(commands())
    await asyncio.gather(task, command_task)


if __name__ == "__main__":
    # The faults the tests ask for are logged by pymodbus as errors; they are expected.
    logging.basicConfig(level=logging.CRITICAL)
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL + 1)
    asyncio.run(main())
