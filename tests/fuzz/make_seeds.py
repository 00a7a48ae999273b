#!/usr/bin/env python3
"""Writes the seed corpora (corpus/<target>/) from the frames, replies and list lines the
suite uses. Run it again after an input layout of a target changes. The edge_* inputs and
empty_packet beside them came from the fuzzers, catching length checks put off by one on
purpose; they are kept as they are."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return ~crc & 0xFFFF


def frame(packet):
    crc = crc16(packet)
    out = bytearray()
    for b in bytes(packet) + bytes([crc & 0xFF, crc >> 8]):
        out += bytes([0x7D, b ^ 0x20]) if b in (0x7D, 0x7E) else bytes([b])
    return bytes(out) + b"\x7e"


def chunk(data):
    data = bytes(data)
    assert len(data) < 255 + 255
    if len(data) < 255:
        return bytes([len(data)]) + data
    return b"\xff" + bytes([len(data) - 255]) + data


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


VERSION = bytes([0x00]) + b"Dec 07 202612:00:00Nov 30 202609:30:00KVX1000 " + bytes([0x0A, 6, 0x9C]) + struct.pack("<H", 1234) + bytes([2, 1, 0])
EXT_BUILD_ID = bytes([0x7C, 0, 0, 0]) + u32(0x00C1E0E1) + u32(0x9C) + b"KVX-SW-1.2.3\0KVX1000\0"
NV_READ = bytes([0x26, 0xC5, 0x01]) + bytes(range(1, 17)) + bytes(112) + bytes(2)
MODE_OFFLINE = bytes([0x29, 0x01, 0x00])
CALL_STATE = bytes([0x4B, 0x0F, 0x00, 0x00]) + u32(0) + u32(2) + u32(4)
STATFS = bytes([0x4B, 0x13, 0x13, 0x00]) + u32(0) + u32(1) + b"EFS2    " + u32(512) + u32(32768) + u32(30000) + u32(30000) + u32(0x7FFFFFFF) + u32(0) + u32(1024)
OPEN = bytes([0x4B, 0x13, 0x02, 0x00]) + u32(3) + u32(0)
WRITE = bytes([0x4B, 0x13, 0x05, 0x00]) + u32(3) + u32(0) + u32(512) + u32(0)
CLOSE = bytes([0x4B, 0x13, 0x03, 0x00]) + u32(0)
OPENDIR = bytes([0x4B, 0x13, 0x0B, 0x00]) + u32(1) + u32(0)
READDIR = bytes([0x4B, 0x13, 0x0C, 0x00]) + u32(1) + u32(1) + u32(0) + u32(1) + u32(0o100644) + u32(12) + u32(0) * 3 + b"item\0"
READDIR_END = bytes([0x4B, 0x13, 0x0C, 0x00]) + u32(1) + u32(2) + u32(0) + u32(0) * 6 + b"\0"
CLOSEDIR = bytes([0x4B, 0x13, 0x0D, 0x00]) + u32(0)
MKDIR = bytes([0x4B, 0x13, 0x09, 0x00]) + u32(0)
RMDIR = bytes([0x4B, 0x13, 0x0A, 0x00]) + u32(0)
UNLINK = bytes([0x4B, 0x13, 0x08, 0x00]) + u32(0)
LOOPBACK = bytes([0x7B]) + bytes(range(10))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# The library's de-framer: read sizes, capture flag, then the stream.
write("library_deframer", "replies_one_read", bytes([0, 63, 1]) + frame(VERSION) + frame(EXT_BUILD_ID) + frame(CALL_STATE))
write("library_deframer", "split_with_noise", bytes([2, 0, 2, 6, 0]) + b"\x7e\x7e" + frame(NV_READ) + b"\x00\x00" + frame(STATFS) + frame(bytes([0x10, 0x05, 0x00, 1, 2, 3])))
# The largest packet the library checks (4093 bytes with its CRC), then one byte too many.
LARGEST = bytes([0x4B, 0x13, 0x05, 0x00]) + bytes(i % 0x7D for i in range(4087))
write("library_deframer", "largest_frames", bytes([0, 63, 0]) + frame(LARGEST) + frame(LARGEST + b"\x01"))
write("library_deframer", "unsolicited", bytes([0, 20, 1]) + frame(bytes([0x60, 0x02, 0x00, 9, 9])) + frame(bytes([0x92, 1, 2])) + frame(bytes([0x79, 1])) + frame(WRITE))

# itemsmith's frame reader: the exchange, then the reads.
write("itemsmith_frame_reader", "version", bytes([0]) + chunk(frame(VERSION)))
write("itemsmith_frame_reader", "mode_offline_split", bytes([1]) + chunk(frame(MODE_OFFLINE)[:3]) + chunk(frame(MODE_OFFLINE)[3:]))
write("itemsmith_frame_reader", "nv_read", bytes([2]) + chunk(b"\x7e" + frame(NV_READ)[:100]) + chunk(frame(NV_READ)[100:]))
write("itemsmith_frame_reader", "two_frames_one_read", bytes([3 + 4 * 40]) + chunk(frame(MODE_OFFLINE) + frame(bytes([0x29, 0x02, 0x00]))))

# The NV list: the sample list and the lines the list tests parse.
with open(os.path.join(HERE, "..", "..", "examples", "KVX_nvitem.txt"), "rb") as f:
    write("nv_list", "sample_list", f.read())
write("nv_list", "parser_lines", b"NV453:1,2,ff<set by line 7\r\n NV453:1\nNV0:1\nNV65989:1\nNV10:1FF,0x7e,0XAB,zz,-1, 5,3q\nNV10:,,1,,,2,\n<<<NV12:04\n::NV13:05\nNV14\nNV15:,,,<x\nNV5:\nNV20:1,2,3,4,5,6,7,8,9,a,b,c,d,e,f,10,11,12,13\nNV5:")
write("nv_list", "bom_first", b"\xef\xbb\xbfNV453:1,2\r\n")

# The library's replies: command, parameter, then replies (shape, chunk).
def replies(command, parameter, *answers):
    return bytes([command, parameter]) + b"".join(bytes([shape]) + chunk(body) for shape, body in answers)

write("library_replies", "ping", replies(0, 0, (0, LOOPBACK), (0, VERSION)))
write("library_replies", "version", replies(1, 1, (0, VERSION)))
write("library_replies", "ext_build_id", replies(2, 0x55, (0, EXT_BUILD_ID)))
write("library_replies", "nv_read", replies(3, 128, (3, NV_READ[3:])))
write("library_replies", "call_state", replies(4, 0, (0, CALL_STATE)))
write("library_replies", "operating_mode", replies(5, 0, (0, CALL_STATE)))
write("library_replies", "mode_offline", replies(6, 1, (3, b""), (0, CALL_STATE), (0, CALL_STATE)))
write("library_replies", "statfs", replies(7, 0, (0, STATFS)))
write("library_replies", "write_file", replies(8, 1, (0, STATFS), (0, OPEN), (12, u32(512) + u32(0)), (12, u32(188) + u32(0)), (0, CLOSE)))
write("library_replies", "mkdir", replies(9, 0, (0, MKDIR)))
write("library_replies", "rmdir", replies(10, 0, (0, RMDIR)))
write("library_replies", "unlink", replies(11, 0, (0, UNLINK)))
write("library_replies", "listing", replies(12, 0, (0, OPENDIR), (12, READDIR[12:]), (12, READDIR_END[12:]), (0, CLOSEDIR)))
write("library_replies", "directory", replies(13, 0, (0, OPENDIR), (12, READDIR[12:]), (12, READDIR_END[12:]), (0, CLOSEDIR)))

# The device's requests: setup, piece size, then requests (shape: head index * 4 + framing).
def requests(setup, piece, *items):
    return bytes([setup, piece]) + b"".join(bytes([head * 4 + framing]) + chunk(body) for head, framing, body in items)

write("device_requests", "identification", requests(1, 31, (1, 0, b""), (2, 0, b""), (3, 0, bytes(range(10))), (9, 0, b"")))
write("device_requests", "nv_and_mode", requests(5, 7, (4, 0, b""), (7, 0, b"\xc5\x01" + bytes(130)), (8, 0, b"\xc5\x01" + bytes(range(128)) + bytes(2))))
write("device_requests", "efs_tree", requests(1, 31,
    (14, 0, struct.pack("<H", 0o755) + b"/nv\0"),
    (10, 0, u32(0x241) + u32(0o666) + b"/nv/f\0"),
    (12, 0, u32(3) + u32(0) + b"hello"),
    (11, 0, u32(3)),
    (16, 0, b"/nv\0"),
    (17, 0, u32(1) + u32(1)),
    (17, 0, u32(1) + u32(2)),
    (18, 0, u32(1)),
    (13, 0, b"/nv/f\0"),
    (15, 0, b"/nv\0"),
    (19, 0, b"\0"),
    (0, 3, b"\x7e\x7d\x00garbage")))

# The round trip: packets as they are.
for name, packet in (("version_request", b"\x00"), ("mode_offline", MODE_OFFLINE), ("nv_read", NV_READ),
                     ("escapes", bytes([0x7E, 0x7D, 0x5E, 0x5D, 0x7E])), ("efs_write", WRITE + b"data"), ("largest", LARGEST)):
    write("frame_round_trip", name, packet)
