"""Reads what Windows shows of a program: its version resource and its manifest,
straight from the PE file, so a check does not depend on Windows or Wine."""

import struct

RT_VERSION = 16
RT_MANIFEST = 24
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


def resources(data):
    """{(type, id): bytes} for every resource of a PE file (its first language)."""
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    section_count, = struct.unpack_from("<H", data, header + 6)
    optional_size, = struct.unpack_from("<H", data, header + 20)
    optional = header + 24
    magic, = struct.unpack_from("<H", data, optional)
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva, = struct.unpack_from("<I", data, directories + 2 * 8)
    for index in range(section_count):
        _, virtual_size, address, raw_size, raw_offset = struct.unpack_from(
            "<8sIIII", data, optional + optional_size + 40 * index)
        if address <= resource_rva < address + max(virtual_size, raw_size):
            break
    else:
        raise ValueError("no resource section")
    base = raw_offset + resource_rva - address

    def entries(table):
        named, numbered = struct.unpack_from("<HH", data, base + table + 12)
        for index in range(named + numbered):
            yield struct.unpack_from("<II", data, base + table + 16 + 8 * index)

    found = {}
    for kind, kind_table in entries(0):
        for name, name_table in entries(kind_table & 0x7FFFFFFF):
            _, leaf = next(entries(name_table & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", data, base + leaf)
            start = raw_offset + rva - address
            found[(kind, name)] = data[start:start + size]
    return found


def version_info(block):
    """(fixed file version as four numbers, {string name: value}) of a
    VS_VERSIONINFO block."""
    strings = {}
    fixed = []

    def walk(offset, end, depth):
        while offset + 6 <= end:
            length, value_length, is_text = struct.unpack_from("<HHH", block, offset)
            if length == 0:
                return
            key_end = offset + 6
            while block[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = block[offset + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            value_bytes = value_length * 2 if is_text else value_length
            if depth == 0 and value_length:
                signature, _, high, low = struct.unpack_from("<IIII", block, value)
                if signature == FIXED_FILE_INFO_SIGNATURE:
                    fixed[:] = [high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF]
            if depth == 3 and is_text:
                strings[key] = block[value:value + value_bytes].decode("utf-16-le").rstrip("\0")
            walk((value + value_bytes + 3) & ~3, offset + length, depth + 1)
            offset = (offset + length + 3) & ~3

    walk(0, len(block), 0)
    return fixed, strings
