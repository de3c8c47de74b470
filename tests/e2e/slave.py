#!/usr/bin/python3
"""Modbus RTU-over-TCP peers on 127.0.0.1 for the end-to-end runs: serve (the pymodbus server
and RTU framer), raw (answers itself: --prefix HEX bytes before the reply, --suffix HEX bytes
after it, --truncate-first N only N bytes of the first reply, then closes) and connect (to a
master listening at --port, answering like raw). --sessions 1,0: requests to answer per connection before it closes, 0 for no limit,
-1 for none (the last number holds for every later one); --reset closes with a reset, --down S
takes raw's listener away for S seconds after the first connection; --pattern a,e,s,g,f,w
answers request n by its n-th letter, cycling: answer, exception 2, silence, a garbled CRC, a
reply from unit 99, w the PDU --answer HEX whatever was asked. --late MS answers reads MS ms
late; --absent XX answers every unit but 100 with exception XX, as a gateway; --pdus HEX,HEX
answers the n-th request with the n-th PDU (- for silence), past them as usual. --mbap frames
every mode in Modbus TCP instead (pymodbus's default framer for serve); raw then sends --stale
first a reply to the transaction before, or --header HEX in place of each reply's header.
Listening modes print "READY <port>"; --dump FILE gets the store and the counts after each
request."""

import argparse, asyncio, json, os, socket, struct, time

from pymodbus.device import ModbusDeviceIdentification
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.factory import ServerDecoder
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.framer.socket_framer import ModbusSocketFramer
from pymodbus.server.async_io import ModbusConnectedRequestHandler, ModbusTcpServer
from pymodbus.utilities import checkCRC, computeCRC

SEED = {"hr": [1, 2, 65535, 32768, 1234] + list(range(7, 22)),  # 20 addresses of each
        "ir": [100, 200, 300, 65534, 5] + [0] * 15,
        "co": [1, 0, 1, 1, 0, 0, 0, 0, 1, 1] + [0] * 10,
        "di": [0, 1, 1, 0, 1] + [0] * 15}
STATS = {"requests": 0, "connections": 0}
# Unit 101 (serve only) holds typed values that struct encodes: two of each type in each word
# order, one block after the other from address 0 (TYPED_AT), a STRING, then 16 zeros for writes.
ORDERS = ("ABCD", "CDAB", "BADC", "DCBA")
TYPED = [("INT32", "i", "-123456789 2147483647"), ("UINT32", "I", "4000000000 7"),
         ("FLOAT32", "f", "229.87 -1.25"), ("INT64", "q", "-9223372036854775808 42"),
         ("UINT64", "Q", "18446744073709551615 1"), ("FLOAT64", "d", "-0.1 1e-300"),
         ("UINT16", "H", "65535 42"), ("HEX", "H", "0x002A 0xBEEF")]
STRING = b'SN "7"\\\x01\x7f\x00'


def words(code, text, order):
    """One value's registers: struct's big-endian bytes, words reversed for CDAB and DCBA,
    bytes swapped within each word for BADC and DCBA; a single word as it stands."""
    raw = struct.pack(">" + code, float(text) if code in "fd" else int(text, 0))
    order = order if len(raw) > 2 else "ABCD"
    regs = [raw[i:i + 2] for i in range(0, len(raw), 2)][::-1 if order in ("CDAB", "DCBA") else 1]
    return [int.from_bytes(r[::-1] if order in ("BADC", "DCBA") else r, "big") for r in regs]


TYPED_AT, TYPED_REGS = {}, []
for _name, _code, _texts in TYPED:
    for _order in ORDERS if struct.calcsize(_code) > 2 else ORDERS[:1]:
        TYPED_AT[_name, _order] = len(TYPED_REGS)
        TYPED_REGS += [w for t in _texts.split() for w in words(_code, t, _order)]
TYPED_AT["STRING"] = len(TYPED_REGS)
TYPED_REGS += [int.from_bytes(STRING[i:i + 2], "big") for i in range(0, len(STRING), 2)]
TYPED_AT["WRITE"] = len(TYPED_REGS)
TYPED_REGS += [0] * 16
UNITS = {}
# What serve answers to functions 17 and 43: basic and regular objects, one not printable.
IDENTITY = ModbusDeviceIdentification(info_name={
    "VendorName": "Acme Ltd", "ProductCode": "PM-7", "MajorMinorRevision": "2.1",
    "VendorUrl": "http://127.0.0.1/", "ProductName": "Meter\x01", "ModelName": "M7"})


def count(args, store, key=None):
    if key:
        STATS[key] += 1
    if args.dump:
        snap = dict(STATS, **{k: [int(v) for v in store.getValues(fx, 0, 20)]
                              for k, fx in (("co", 1), ("di", 2), ("hr", 3), ("ir", 4))})
        if 101 in UNITS:
            snap["u101"] = UNITS[101].getValues(3, 0, len(TYPED_REGS))
        with open(args.dump + ".tmp", "w", encoding="ascii") as f:
            json.dump(snap, f)
        os.replace(args.dump + ".tmp", args.dump)


async def serve(args, store):
    class Handler(ModbusConnectedRequestHandler):
        def connection_made(self, transport):
            count(args, store, "connections")
            super().connection_made(transport)

    def answered(response):
        count(args, store, "requests")
        return response, False

    UNITS.update({100: store, 101: ModbusSlaveContext(
        zero_mode=True, hr=ModbusSequentialDataBlock(0, TYPED_REGS))})
    server = ModbusTcpServer(ModbusServerContext(slaves=UNITS, single=False),
                             framer=ModbusSocketFramer if args.mbap else ModbusRtuFramer,
                             address=("127.0.0.1", 0), handler=Handler, identity=IDENTITY,
                             response_manipulator=answered, allow_reuse_address=True)
    task = asyncio.ensure_future(server.serve_forever())
    await asyncio.wait_for(server.serving, 10)
    print("READY", server.server.sockets[0].getsockname()[1], flush=True)
    await task


def answer(sock, args, store, limit):
    """Answers up to limit requests (0: no limit) on one connection; returns how many."""
    served, buf, deadline = 0, b"", time.monotonic() + args.lifetime
    sock.settimeout(0.5)
    while time.monotonic() < deadline and (limit <= 0 or served < limit):
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
            if args.mbap:
                n = 6 + int.from_bytes(buf[4:6], "big") if len(buf) >= 7 else 0
                frame, pdu, good, unit = buf[:n], buf[7:n], n, buf[6:7]
            else:
                n = 4 if buf[1:2] == b"\x11" else (9 + buf[6] if buf[1] in (15, 16) else 8) \
                    if len(buf) >= 8 else 0
                frame, pdu, unit = buf[:n], buf[1:n - 2], buf[:1]
                good = n and checkCRC(frame[:-2], int.from_bytes(frame[-2:], "big"))
            if not n or len(buf) < n:
                break
            buf = buf[n:]
            pattern = (args.pattern or "a").split(",")
            act = pattern[STATS["requests"] % len(pattern)]
            script = (args.pdus.split(",") + [None] * 99)[STATS["requests"]] if args.pdus else None
            absent = good and unit != b"\x64" and args.absent
            if limit < 0 or not (good and unit == b"\x64" or absent) \
                    or act == "s" or script == "-":
                count(args, store, "requests")  # counted, never answered
                continue
            if absent:  # a gateway's word for a unit it cannot reach
                reply = unit + bytes([pdu[0] | 0x80]) + bytes.fromhex(args.absent)
            elif script:
                reply = b"\x64" + bytes.fromhex(script)
            elif act == "w":
                reply = bytes([100]) + bytes.fromhex(args.answer)
            elif pdu[:1] == b"\x11":  # a server id and run indicator alone, as some devices send
                reply = bytes([100, 0x11, 2, 7, 0xFF])
            else:
                response = ServerDecoder().decode(pdu).execute(store)
                reply = bytes([99 if act == "f" else 100, response.function_code | (act == "e") * 128])
                reply += bytes([2]) if act == "e" else response.encode()
            if args.mbap:
                tid = int.from_bytes(frame[:2], "big")
                header = lambda t: struct.pack(">HHH", t & 0xFFFF, 0, len(reply))
                data = (header(tid - 1) + reply if args.stale else b"") + (
                    bytes.fromhex(args.header) if args.header else header(tid)) + reply
            else:
                data = (bytes.fromhex(args.prefix) + reply + computeCRC(reply).to_bytes(2, "big") +
                        bytes.fromhex(args.suffix))
                data = data[:-1] + bytes([data[-1] ^ 0xFF]) if act == "g" else data
            time.sleep(args.late / 1000.0 * (not absent and pdu[:1] == b"\x03"))
            if args.truncate_first and STATS["connections"] == 1:
                sock.sendall(data[:args.truncate_first])
                return served
            sock.sendall(data)
            served += 1
            count(args, store, "requests")
    return served


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["serve", "raw", "connect"])
    for option, default in (("--prefix", ""), ("--suffix", ""),
                            ("--dump", ""), ("--header", ""),
                            ("--truncate-first", 0), ("--port", 0), ("--sessions", "0"),
                            ("--lifetime", 30.0), ("--down", 0.0), ("--pattern", ""),
                            ("--answer", ""), ("--late", 0.0), ("--absent", ""), ("--pdus", "")):
        parser.add_argument(option, type=type(default), default=default)
    for flag in ("--reset", "--mbap", "--stale"):
        parser.add_argument(flag, action="store_true")
    args = parser.parse_args()
    store = ModbusSlaveContext(zero_mode=True,
                               **{k: ModbusSequentialDataBlock(0, v) for k, v in SEED.items()})
    count(args, store)
    deadline = time.monotonic() + args.lifetime
    if args.mode == "serve":
        asyncio.run(asyncio.wait_for(serve(args, store), args.lifetime))
    elif args.mode == "connect":
        sessions = [int(s) for s in args.sessions.split(",")]
        while sessions and time.monotonic() < deadline:
            try:
                sock = socket.create_connection(("127.0.0.1", args.port), timeout=1)
            except OSError:
                time.sleep(0.02)
                continue
            count(args, store, "connections")
            with sock:
                if answer(sock, args, store, sessions[0]) > 0:
                    sessions.pop(0)
    else:
        listener = socket.create_server(("127.0.0.1", 0))
        port, sessions = listener.getsockname()[1], [int(s) for s in args.sessions.split(",")]
        print("READY", port, flush=True)
        while time.monotonic() < deadline:
            listener.settimeout(max(deadline - time.monotonic(), 0.01))
            try:
                sock = listener.accept()[0]
            except OSError:
                break
            count(args, store, "connections")
            with sock:
                answer(sock, args, store, sessions[min(STATS["connections"], len(sessions)) - 1])
                if args.reset:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            if args.down and STATS["connections"] == 1:
                listener.close()
                time.sleep(args.down)
                listener = socket.create_server(("127.0.0.1", port))
        listener.close()


if __name__ == "__main__":
    main()
