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


AREA_SIZES = [12, 13, 64, 1000, 4096, 16384, 65536, 100000]


def exchange_seed(transactions, area=100000):
    """transactions: (bytes, piece size, fails) or (bytes, piece size, fails, (at, span, repeats))"""
    out = bytes([255 if area == 262144 else AREA_SIZES.index(area), len(transactions)])
    for t in transactions:
        data, piece, fails = t[:3]
        at, span, repeats = t[3] if len(t) > 3 else (0, 0, 0)
        out += le16(len(data)) + le16(piece) + bytes([1 if fails else 0])
        out += le16(at) + le16(span) + le16(repeats)
    for t in transactions:
        out += bytes(t[0])
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
    # 40,000 empty records: the header and one length, that length repeated 39,999 times.
    "forty-thousand-records": exchange_seed(
        [(le32(8 + 4 * 40000) + le32(40000) + le32(0), 4096, False, (8, 4, 39999))], area=262144),
    "forty-thousand-and-one": exchange_seed(
        [(le32(8 + 4 * 40001) + le32(40001) + le32(0), 4096, False, (8, 4, 40000))], area=262144),
    # Records of 1,100 bytes filling most of a 65,536-byte area, and one byte too many for it.
    "full-records": exchange_seed(
        [(le32(8 + 4 * 59 + 1100 * 59) + le32(59) + le32(1100) * 59 + b"R" * 1100, 1000, False,
          (244, 1100, 58))], area=65536),
    "area-overflow": exchange_seed([(reply(THREE) + b"X", 7, False, (0, 1, 0))], area=64),
    "area-exactly-full": exchange_seed([(reply([b"x" * 48]), 16, False)], area=64),
    "overflow-over-repeats": exchange_seed(
        [(reply(THREE)[:40], 8, True), (reply(THREE)[40:], 8, False)], area=64),
    "one-transaction-small-area": exchange_seed([(reply(THREE), 7, False)], area=1000),
})

NAME, VERSION = utf16("PC1"), utf16("1.0.6")
write("request_parsing", {
    "device-info-request": bytes([0]) + request([b"\x0A\x04", NAME, VERSION]),
    "firmware-request": bytes([0]) + request([b"\x0A\x01", bytes(8), bytes(61), NAME, VERSION]),
    "repeat": bytes([0]) + request([b"\x0A\x02", NAME, VERSION], resume=1000),
    "no-terminator": bytes([0]) + request([b"\x0A\x04", NAME, VERSION])[:-1] + b"\1",
    "count-too-large": bytes([0]) + le32(13) + le32(0) + le32(1000) + b"\0",
    "lengths-past-end": bytes([0]) + request([b"\x0A\x04"])[:12] + le32(90) + b"\x0A\x04\0",
    # Lengths whose sum wraps in 32 bits to exactly the 9 data bytes.
    "lengths-wrap-32-bit": bytes([0]) + le32(30) + le32(0) + le32(2) + le32(0xFFFFFFEC)
                           + le32(29) + bytes(10),
    "pack-three": bytes([1, 3]) + le16(2) + le16(8) + le16(61) + bytes([1, 3])
                  + b"\x0A\x01" + bytes(range(8)) + bytes(61) + b"PC1",
    "pack-none": bytes([1, 0, 1, 0]),
    "pack-long-name": bytes([1, 1]) + le16(2) + bytes([0]) + b"\x0A\x04" + b"n" * 300,
})


def demo_reply(blocks, size, break_after=0, breaks=0):
    return bytes([0, blocks - 1]) + le16(size - 6) + le16(break_after) + bytes([breaks])


def records_reply(records, break_after=0, breaks=0):
    out = bytes([1, len(records)])
    for r in records:
        out += bytes([len(r)]) + bytes(r)
    return out + le16(break_after) + bytes([breaks])


def raw_reply(data):
    return bytes([2]) + le16(len(data)) + bytes(data) + le16(0) + bytes([0])


NO_REPLY = bytes([3]) + le16(0) + bytes([0])
# Fault kinds and request kinds as the simulated interface numbers them.
SILENT, WRONG_CODE, WRONG_RESULT, SHORT_PAYLOAD, EXTRA, SHORT_FRAME = range(6)
RAW = 10
ANY, CHIP_ID, DEVICE_INFO, RESET, BLOCK = range(5)


def update_seed(st, j2534, rules=(), reject=0, area=2, piece=0, absent=False, slots=2):
    out = bytes([(slots << 3) | (area << 1) | (1 if absent else 0), piece]) + st + j2534 + bytes([len(rules)])
    for fault, on, occurrence, raw in rules:
        out += bytes([fault, on, occurrence])
        if fault == RAW:
            out += bytes([len(raw)]) + bytes(raw)
    return out + bytes([reject])


write("update_procedure", {
    "both-stages": update_seed(demo_reply(4, 300), demo_reply(3, 200)),
    "pieces-and-break-offs": update_seed(demo_reply(6, 1100, 700, 3), demo_reply(2, 64, 10, 2),
                                         piece=5, area=3),
    "st-block-rejected": update_seed(demo_reply(5, 100), demo_reply(2, 100), reject=2 << 1),
    "j2534-block-rejected": update_seed(demo_reply(2, 100), demo_reply(3, 100), reject=(1 << 1) | 1),
    "st-answer-a7": update_seed(demo_reply(2, 100), demo_reply(1, 100),
                                rules=[(RAW, BLOCK, 1, frame([0xA7, 0x05]))]),
    "j2534-answer-long": update_seed(demo_reply(2, 100), demo_reply(2, 100),
                                     rules=[(RAW, BLOCK, 3, frame([0xB2, 0x00, 0x00]))]),
    "answer-silent": update_seed(demo_reply(3, 100), demo_reply(1, 100),
                                 rules=[(SILENT, BLOCK, 2, b"")]),
    "answer-extra-bytes": update_seed(demo_reply(3, 100), demo_reply(1, 100),
                                      rules=[(EXTRA, BLOCK, 1, b"")]),
    "st-no-reply": update_seed(NO_REPLY, demo_reply(1, 100)),
    "st-reply-refused": update_seed(raw_reply(reply(OK, total_delta=1)), demo_reply(1, 100)),
    "st-own-records": update_seed(records_reply([frame([0xB1, 1]), b"", b"\x03\x00\x00"]),
                                  records_reply([frame([0xB2, 0])])),
    "reply-larger-than-area": update_seed(demo_reply(4, 300), demo_reply(1, 100), area=0),
    "no-identification": update_seed(demo_reply(2, 100), demo_reply(1, 100),
                                     rules=[(WRONG_RESULT, DEVICE_INFO, 0, b"")]),
    "j2534-chip-id-fails": update_seed(demo_reply(2, 100), demo_reply(1, 100),
                                       rules=[(WRONG_CODE, CHIP_ID, 2, b"")]),
    "more-records-than-slots": update_seed(demo_reply(4, 50), demo_reply(1, 50), slots=0),
    "no-device": update_seed(demo_reply(1, 100), demo_reply(1, 100), absent=True),
})
