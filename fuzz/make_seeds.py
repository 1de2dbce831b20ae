#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora into fuzz/corpus/<fuzzer>/, one small file per seed.

The layouts are those described at the top of each fuzzer's source. Run it again after changing a
layout; the files are committed so that a fuzz run starts from them.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def le16(v):
    return struct.pack("<H", v)


def le32(v, signed=False):
    return struct.pack("<i" if signed else "<I", v)


def frame(payload):
    body = le16(len(payload) + 5) + le16(len(payload)) + bytes(payload)
    check = 0
    for b in body:
        check ^= b
    return body + bytes([check])


CHIP_REPLY = frame([0xD1, 0x00, 0x53, 0x54, 0x32, 0x30, 0x19, 0x07, 0x21, 0x01])
INFO_REPLY = frame([0xBE, 0x00] + list(b"ZOLT st firmware 2.4.1".ljust(48, b"\0")))


def frame_seed(mode, capacity, timeout, interval, sizes, stream):
    out = bytes([mode]) + le16(capacity) + bytes([timeout, interval, len(sizes)])
    for s in sizes:
        out += le16(s)
    return out + bytes(stream)


def reply(records, count=None, total_delta=0):
    body = le32(len(records) if count is None else count, signed=True)
    for r in records:
        body += le32(len(r))
    for r in records:
        body += bytes(r)
    return le32(len(body) + 4 + total_delta) + body


def exchange_seed(transactions):
    """transactions: (bytes, piece size, fails)"""
    out = bytes([len(transactions)])
    for data, piece, fails in transactions:
        out += le16(len(data)) + le16(piece) + bytes([1 if fails else 0])
    for data, _, _ in transactions:
        out += bytes(data)
    return out


def request(records, resume=0):
    body = le32(resume) + le32(len(records))
    for r in records:
        body += le32(len(r))
    for r in records:
        body += bytes(r)
    body += b"\0"
    return le32(len(body) + 4) + body


def utf16(text):
    return text.encode("utf-16-le")


def write(name, seeds):
    folder = HERE / "corpus" / name
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    for label, data in seeds.items():
        (folder / label).write_bytes(data)


write("frame_assembly", {
    "read-whole": frame_seed(0, 65, 0, 25, [], CHIP_REPLY),
    "read-three-pieces": frame_seed(0, 65, 0, 25, [5, 5, 5], CHIP_REPLY),
    "read-uneven-pieces": frame_seed(0, 1000, 2, 30, [1, 7, 3], CHIP_REPLY),
    "read-capacity-0": frame_seed(0, 0, 0, 25, [], CHIP_REPLY),
    "read-capacity-3": frame_seed(0, 3, 0, 25, [], CHIP_REPLY),
    "read-payload-past-frame": frame_seed(0, 65, 0, 25, [], [6, 0, 2, 0, 0xD1, 0xD7]),
    "read-payload-length-1": frame_seed(0, 65, 0, 25, [], [10, 0, 1, 0, 0xD1, 0, 0, 0, 0, 0]),
    "read-extra-bytes": frame_seed(0, 65, 0, 25, [], CHIP_REPLY + b"\xEE\xEE\xEE"),
    "read-frame-length-0": frame_seed(0, 65, 0, 25, [], b"\0\0" + CHIP_REPLY[2:]),
    "read-4-byte-frame": frame_seed(0, 65, 0, 25, [], [4, 0, 0xD1, 0]),
    "read-2-byte-frame": frame_seed(0, 65, 0, 25, [], [2, 0]),
    "read-over-long": frame_seed(0, 1000, 2, 25, [3000, 3000], frame([0xB1, 0] + [0] * 5995)),
    "read-area-full": frame_seed(0, 1000, 2, 25, [], frame([0xB1, 0] + [7] * 4993)),
    "chip-id": frame_seed(1, 0, 0, 25, [], CHIP_REPLY),
    "chip-id-result-1": frame_seed(1, 0, 0, 25, [], frame([0xD1, 0x01] + [0] * 8)),
    "chip-id-short": frame_seed(1, 0, 0, 25, [4], frame([0xD1, 0x00] + [0] * 7)),
    "device-info": frame_seed(2, 0, 0, 25, [], INFO_REPLY),
    "device-info-56": frame_seed(2, 0, 0, 25, [20, 20], frame([0xBE, 0] + [0x41] * 54)),
    "device-info-wrong-code": frame_seed(2, 0, 0, 25, [], frame([0xBF, 0] + [0x41] * 48)),
})

OK = [b"OK"]
THREE = [b"first", b"", bytes(range(40))]
write("reply_parsing", {
    "unpack-one-record": bytes([4]) + le16(16) + reply(OK),
    "unpack-three-records": bytes([4]) + le16(64) + reply(THREE),
    "unpack-no-records": bytes([4]) + le16(16) + reply([]) + b"\0",
    "unpack-12-bytes": bytes([4]) + le16(16) + reply([b""]),
    "unpack-total-off-by-one": bytes([4]) + le16(16) + reply(OK, total_delta=1),
    "unpack-count-above-slots": bytes([2]) + le16(16) + reply([b"a", b"b", b"c"]),
    "unpack-negative-count": bytes([4]) + le16(16) + reply([], count=-1) + b"\0",
    "unpack-length-above-capacity": bytes([4]) + le16(4) + reply([b"12345"]),
    "unpack-records-past-end": bytes([4]) + le16(16) + le32(14) + le32(1) + le32(3) + b"ab",
    "unpack-table-past-end": bytes([4]) + le16(16) + le32(13) + le32(2) + le32(0) + b"\0",
    "unpack-trailing-bytes": bytes([4]) + le16(16) + le32(16) + le32(1) + le32(2) + b"OKzz",
})

write("exchange_collection", {
    "one-transaction": exchange_seed([(reply(THREE), 7, False)]),
    "resumed-once": exchange_seed([(reply(THREE)[:10], 4, True), (reply(THREE)[10:], 100, False)]),
    "failure-before-bytes": exchange_seed([(b"", 1, True)]),
    "thirty-break-offs": exchange_seed([(b"\x01", 1, True)] * 30),
    "twenty-nine-break-offs": exchange_seed(
        [(reply(THREE)[i:i + 1], 1, True) for i in range(29)] + [(reply(THREE)[29:], 50, False)]),
})

NAME, VERSION = utf16("PC1"), utf16("1.0.6")
write("request_parsing", {
    "device-info-request": bytes([0]) + request([b"\x0A\x04", NAME, VERSION]),
    "firmware-request": bytes([0]) + request([b"\x0A\x01", bytes(8), bytes(61), NAME, VERSION]),
    "repeat": bytes([0]) + request([b"\x0A\x02", NAME, VERSION], resume=1000),
    "no-terminator": bytes([0]) + request([b"\x0A\x04", NAME, VERSION])[:-1] + b"\1",
    "count-too-large": bytes([0]) + le32(13) + le32(0) + le32(1000) + b"\0",
    "lengths-past-end": bytes([0]) + request([b"\x0A\x04"])[:12] + le32(90) + b"\x0A\x04\0",
    "pack-three": bytes([1, 3]) + le16(2) + le16(8) + le16(61) + bytes([1, 3])
                  + b"\x0A\x01" + bytes(range(8)) + bytes(61) + b"PC1",
    "pack-none": bytes([1, 0, 1, 0]),
    "pack-long-name": bytes([1, 1]) + le16(2) + bytes([0]) + b"\x0A\x04" + b"n" * 300,
})
