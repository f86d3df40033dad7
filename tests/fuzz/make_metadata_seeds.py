#!/usr/bin/env python3
"""Writes the seed corpus of metadata_fuzz: the small module of the unit tests' crafted metadata
blob, once with a compressed "#~" tables stream and once as "#-" with 4-byte string indexes, the
extra data and MethodPtr/FieldPtr tables. Run from anywhere; the files go to corpus/metadata.
The corpus also holds sample.bin, the metadata of the C# sample program (tests/apps/Sample) as
the module image reader extracts it, for the tables a compiler writes."""
import os
import struct


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def root(streams):
    version = pad4(b"v4.0.30319\0")
    headers_size = sum(8 + len(pad4(name.encode() + b"\0")) for name, _ in streams)
    offset = 16 + len(version) + 4 + headers_size
    headers, data = b"", b""
    for name, body in streams:
        body = pad4(body)
        headers += struct.pack("<II", offset, len(body)) + pad4(name.encode() + b"\0")
        data += body
        offset += len(body)
    return (struct.pack("<IHHII", 0x424A5342, 1, 1, 0, len(version)) + version +
            struct.pack("<HH", 0, len(streams)) + headers + data)


def crafted(uncompressed):
    strings = bytearray(b"\0")

    def s(text):
        index = 0
        if text:
            index = len(strings)
            strings.extend(text.encode() + b"\0")
        return struct.pack("<I" if uncompressed else "<H", index)

    u16 = lambda *values: struct.pack("<%dH" % len(values), *values)
    module = u16(0) + s("crafted.dll") + u16(1, 0, 0)
    type_refs = (u16(1 << 2 | 2) + s("Object") + s("System") + u16(3 << 2 | 3) + s("Entry") + s("") +
                 u16(1 << 2 | 2) + s("Environment") + s("System"))

    def type_def(name, namespace, extends, fields, methods):
        return struct.pack("<I", 0) + s(name) + s(namespace) + u16(extends, fields, methods)

    type_defs = (type_def("<Module>", "", 0, 1, 1) + type_def("Outer`2", "N.S", 5, 1, 1) +
                 type_def("Inner", "", 5, 2, 3) + type_def("Top+Level", "", 5, 2, 4))
    field = lambda name: u16(0) + s(name) + u16(0)
    method = lambda name: struct.pack("<IHH", 0, 0, 0) + s(name) + u16(0, 1)
    fields = [field(n) for n in (("level", "count") if uncompressed else ("count", "level"))]
    names = ("Go", "Get", ".ctor", "Run") if uncompressed else (".ctor", "Run", "Go", "Get")
    methods = [method(n) for n in names]
    nested = u16(3, 2)
    get_owner = (2 << 1 | 1) if uncompressed else (4 << 1 | 1)
    parameter = lambda number, owner, name: u16(number, 0, owner) + s(name)
    parameters = (parameter(1, 2 << 1, "V") + parameter(0, 2 << 1, "K") + parameter(0, 3 << 1, "K") +
                  parameter(1, 3 << 1, "V") + parameter(0, get_owner, "U"))

    def header(heap_sizes, tables, rows):
        valid = sum(1 << t for t in tables)
        data = struct.pack("<IBBBBQQ", 0, 2, 0, heap_sizes, 1, valid, 0)
        data += struct.pack("<%dI" % len(rows), *rows)
        return data + (struct.pack("<I", 0xDEADBEEF) if heap_sizes & 0x40 else b"")

    if uncompressed:
        tables = (header(0x41, (0, 1, 2, 3, 4, 5, 6, 0x29, 0x2A), (1, 3, 4, 2, 2, 4, 4, 1, 5)) +
                  module + type_refs + type_defs + u16(2, 1) + b"".join(fields) + u16(3, 4, 1, 2) +
                  b"".join(methods) + nested + parameters)
    else:
        tables = (header(0, (0, 1, 2, 4, 6, 0x29, 0x2A), (1, 3, 4, 2, 4, 1, 5)) + module + type_refs +
                  type_defs + b"".join(fields) + b"".join(methods) + nested + parameters)
    return root([("#Blob", b"\0"), ("#US", b"\0"), ("#-" if uncompressed else "#~", tables),
                 ("#Strings", bytes(strings)), ("#GUID", bytes(range(0x10, 0x20)))])


directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "metadata")
os.makedirs(directory, exist_ok=True)
for name, uncompressed in (("compressed.bin", False), ("uncompressed.bin", True)):
    with open(os.path.join(directory, name), "wb") as out:
        out.write(crafted(uncompressed))
