#!/usr/bin/python3
"""Marks the resource section of a linked Windows executable read-only, as the resource compiler's
object file cannot ask for: a writable image section is charged in full to the system's commit when the
image is mapped, which for a setup package means its whole payload. Keeps the file's checksum true.

Usage: read-only-resources.py FILE
"""
import struct
import sys

IMAGE_SCN_MEM_WRITE = 0x80000000


def checksum(data, checksum_at):
    total = 0
    for (word,) in struct.iter_unpack("<H", data + b"\0" * (len(data) % 2)):
        total += word
    total -= struct.unpack_from("<H", data, checksum_at)[0] + struct.unpack_from("<H", data, checksum_at + 2)[0]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main(path):
    data = bytearray(open(path, "rb").read())
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<HxxxxxxxxxxxxH", data, nt + 6)
    checksum_at = nt + 24 + 64
    table = nt + 24 + optional_size
    for i in range(sections):
        header = table + 40 * i
        if data[header:header + 8].rstrip(b"\0") == b".rsrc":
            flags_at = header + 36
            flags = struct.unpack_from("<I", data, flags_at)[0]
            struct.pack_into("<I", data, flags_at, flags & ~IMAGE_SCN_MEM_WRITE)
    if struct.unpack_from("<I", data, checksum_at)[0] != 0:
        struct.pack_into("<I", data, checksum_at, checksum(data, checksum_at))
    open(path, "wb").write(data)


if __name__ == "__main__":
    main(sys.argv[1])
