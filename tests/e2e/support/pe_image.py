"""The few fields of a PE file that say what kind of Windows program it is: the
machine, the PE32/PE32+ magic, the subsystem and the imported DLLs. No `file`
or other tool, so the check reads the same on every host."""

import struct
from dataclasses import dataclass, field
from pathlib import Path

MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664
MAGIC_PE32 = 0x010B
MAGIC_PE32_PLUS = 0x020B
SUBSYSTEM_WINDOWS_CUI = 3


@dataclass
class PeImage:
    machine: int
    magic: int
    subsystem: int
    imported_dlls: list = field(default_factory=list)


def _u16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def _u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


def _sections(data, table, count):
    """(virtual address, virtual size, raw offset, raw size) of each section."""
    result = []
    for index in range(count):
        entry = table + 40 * index
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, entry + 8)
        result.append((vaddr, max(vsize, rawsize), rawptr, rawsize))
    return result


def _file_offset(sections, rva):
    for vaddr, size, rawptr, _ in sections:
        if vaddr <= rva < vaddr + size:
            return rva - vaddr + rawptr
    raise ValueError(f"RVA {rva:#x} lies in no section")


def _imported_dlls(data, sections, directory_rva):
    names = []
    if directory_rva == 0:
        return names
    descriptor = _file_offset(sections, directory_rva)
    while True:
        fields = struct.unpack_from("<IIIII", data, descriptor)
        if fields == (0, 0, 0, 0, 0):
            return names
        name = _file_offset(sections, fields[3])
        names.append(data[name:data.index(b"\0", name)].decode("ascii"))
        descriptor += 20


def read_pe_image(path):
    """Parses the headers of the PE file at path; ValueError if it is not one."""
    data = Path(path).read_bytes()
    if data[:2] != b"MZ":
        raise ValueError(f"{path}: no MZ signature")
    pe = _u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path}: no PE signature")
    machine = _u16(data, pe + 4)
    section_count = _u16(data, pe + 6)
    optional_size = _u16(data, pe + 20)
    optional = pe + 24
    magic = _u16(data, optional)
    if magic == MAGIC_PE32:
        directories = optional + 96
    elif magic == MAGIC_PE32_PLUS:
        directories = optional + 112
    else:
        raise ValueError(f"{path}: unknown optional header magic {magic:#x}")
    subsystem = _u16(data, optional + 68)
    sections = _sections(data, optional + optional_size, section_count)
    import_rva = _u32(data, directories + 8)  # the second data directory: imports
    return PeImage(machine, magic, subsystem, _imported_dlls(data, sections, import_rva))
