#!/usr/bin/python3
"""Modbus RTU-over-TCP peer for the end-to-end tests.

Modes:
  serve    pymodbus TCP server with the RTU framer, on 127.0.0.1 and a port of
           its own choosing (port 0); prints "READY <port>" once it listens.
  silent   accepts connections and reads requests, never answers;
           prints "READY <port>".
  raw      listens like serve but answers RTU frames itself, optionally sent
           in pieces (--split 4,3 with --gap ms between them) or behind
           noise bytes (--prefix hex); with --truncate-first N the first
           connection gets only N bytes of its first reply and is then
           closed; prints "READY <port>".
  connect  connects out to a master that listens (--port) and answers RTU
           frames itself; --sessions gives, per connection, how many requests
           to answer before closing (0: answer until the master closes).
           A connection that closes before it answered anything is not a
           session and is retried.

The store is seeded the same in every mode (see seed_store). With --dump FILE
the store and the request and connection counts are written to FILE (JSON,
atomically) after every request.
"""

import argparse
import asyncio
import json
import os
import socket
import sys
import time

from pymodbus.datastore import (
    ModbusSequentialDataBlock,
    ModbusServerContext,
    ModbusSlaveContext,
)
from pymodbus.factory import ServerDecoder
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server.async_io import ModbusConnectedRequestHandler, ModbusTcpServer

SIZE = 20  # addresses 0..19 exist; 20 and beyond raise exception 02

HOLDING = [1, 2, 65535, 32768, 1234, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21]
INPUT = [100, 200, 300, 65534, 5] + [0] * (SIZE - 5)
COILS = [1, 0, 1, 1, 0, 0, 0, 0, 1, 1] + [0] * (SIZE - 10)
DISCRETE = [0, 1, 1, 0, 1] + [0] * (SIZE - 5)

STATS = {"requests": 0, "connections": 0}


def seed_store():
    return ModbusSlaveContext(
        di=ModbusSequentialDataBlock(0, list(DISCRETE)),
        co=ModbusSequentialDataBlock(0, list(COILS)),
        hr=ModbusSequentialDataBlock(0, list(HOLDING)),
        ir=ModbusSequentialDataBlock(0, list(INPUT)),
        zero_mode=True,
    )


def dump(path, store):
    if not path:
        return
    snap = dict(STATS)
    for name, fx in (("co", 1), ("di", 2), ("hr", 3), ("ir", 4)):
        snap[name] = store.getValues(fx, 0, SIZE)
    snap["co"] = [int(bool(v)) for v in snap["co"]]
    snap["di"] = [int(bool(v)) for v in snap["di"]]
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="ascii") as f:
        json.dump(snap, f)
    os.replace(tmp, path)


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def ready(port):
    print(f"READY {port}", flush=True)


async def run_serve(args, store):
    context = ModbusServerContext(slaves={args.unit: store}, single=False)

    class Handler(ModbusConnectedRequestHandler):
        def connection_made(self, transport):
            STATS["connections"] += 1
            dump(args.dump, store)
            super().connection_made(transport)

    def manipulate(response):
        STATS["requests"] += 1
        dump(args.dump, store)
        return response, False

    server = ModbusTcpServer(
        context,
        framer=ModbusRtuFramer,
        address=("127.0.0.1", 0),
        handler=Handler,
        response_manipulator=manipulate,
        allow_reuse_address=True,
    )
    task = asyncio.ensure_future(server.serve_forever())
    await asyncio.wait_for(server.serving, 10)
    ready(server.server.sockets[0].getsockname()[1])
    await task


async def run_silent(args, store):
    async def handle(reader, writer):
        STATS["connections"] += 1
        dump(args.dump, store)
        try:
            while await reader.read(512):
                STATS["requests"] += 1
                dump(args.dump, store)
        finally:
            writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    ready(server.sockets[0].getsockname()[1])
    async with server:
        await server.serve_forever()


def frame_length(buf):
    """Length of the RTU request at the start of buf, or 0 if not yet known."""
    if len(buf) < 2:
        return 0
    if buf[1] in (15, 16):
        return 9 + buf[6] if len(buf) >= 7 else 0
    return 8


def answer(store, unit, pdu):
    request = ServerDecoder().decode(pdu)
    if request is None:
        return bytes([unit, pdu[0] | 0x80, 1])
    response = request.execute(store)
    body = bytes([response.function_code]) + response.encode()
    return bytes([unit]) + body


def serve_connection(sock, args, store, limit):
    """Answers up to limit requests (0: no limit); returns how many."""
    served = 0
    buf = b""
    deadline = time.monotonic() + args.lifetime
    sock.settimeout(0.5)
    while time.monotonic() < deadline and (limit == 0 or served < limit):
        try:
            chunk = sock.recv(512)
        except socket.timeout:
            continue
        except OSError:
            break
        if not chunk:
            break
        buf += chunk
        while True:
            n = frame_length(buf)
            if n == 0 or len(buf) < n:
                break
            frame, buf = buf[:n], buf[n:]
            if crc16(frame) != 0 or frame[0] != args.unit:
                continue
            reply = answer(store, args.unit, frame[1:-2])
            c = crc16(reply)
            reply += bytes([c & 0xFF, c >> 8])
            if args.truncate_first and STATS["connections"] == 1:
                sock.sendall(reply[: args.truncate_first])
                return served
            send_pieces(sock, args, reply)
            served += 1
            STATS["requests"] += 1
            dump(args.dump, store)
    return served


def send_pieces(sock, args, data):
    data = bytes.fromhex(args.prefix) + data
    sizes = [int(n) for n in args.split.split(",")] if args.split else []
    for n in sizes:
        if not data:
            break
        sock.sendall(data[:n])
        data = data[n:]
        time.sleep(args.gap / 1000.0)
    if data:
        sock.sendall(data)


def run_raw(args, store):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(args.lifetime)
        ready(listener.getsockname()[1])
        deadline = time.monotonic() + args.lifetime
        while time.monotonic() < deadline:
            try:
                sock, _ = listener.accept()
            except OSError:
                break
            STATS["connections"] += 1
            dump(args.dump, store)
            with sock:
                serve_connection(sock, args, store, 0)


def run_connect(args, store):
    sessions = [int(s) for s in args.sessions.split(",")]
    ready(args.port)
    deadline = time.monotonic() + args.lifetime
    index = 0
    while index < len(sessions) and time.monotonic() < deadline:
        try:
            sock = socket.create_connection(("127.0.0.1", args.port), timeout=1)
        except OSError:
            time.sleep(0.02)
            continue
        STATS["connections"] += 1
        with sock:
            served = serve_connection(sock, args, store, sessions[index])
        print(f"SESSION {index + 1} served {served}", flush=True)
        if served > 0:
            index += 1
    dump(args.dump, store)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["serve", "silent", "raw", "connect"])
    parser.add_argument("--split", default="")
    parser.add_argument("--gap", type=float, default=50.0)
    parser.add_argument("--prefix", default="")
    parser.add_argument("--truncate-first", type=int, default=0)
    parser.add_argument("--unit", type=int, default=100)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--sessions", default="0")
    parser.add_argument("--dump", default="")
    parser.add_argument("--lifetime", type=float, default=60.0)
    args = parser.parse_args()
    store = seed_store()
    dump(args.dump, store)
    if args.mode in ("connect", "raw"):
        (run_connect if args.mode == "connect" else run_raw)(args, store)
        return 0
    runner = run_serve if args.mode == "serve" else run_silent
    try:
        asyncio.run(asyncio.wait_for(runner(args, store), args.lifetime))
    except asyncio.TimeoutError:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
