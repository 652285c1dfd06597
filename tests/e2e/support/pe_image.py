"""The few fields of a PE file that say what kind of Windows program it is: the
machine, the PE32/PE32+ magic, the subsystem and the imported DLLs. No `file`
or other tool, so the check reads the same on every host."""

import struct
from dataclasses import dataclass, field
from itertools import count, takewhile
from pathlib import Path

MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664
MAGIC_PE32 = 0x010B
MAGIC_PE32_PLUS = 0x020B
SUBSYSTEM_WINDOWS_CUI = 3
DIRECTORIES_AT = {MAGIC_PE32: 96, MAGIC_PE32_PLUS: 112}  # where the data directories lie in the optional header


@dataclass
class PeImage:
    machine: int
    magic: int
    subsystem: int
    imported_dlls: list = field(default_factory=list)


def _sections(data, table, count):
    """(virtual address, size, raw offset) of each section."""
    headers = (struct.unpack_from("<IIII", data, table + 40 * index + 8) for index in range(count))
    return [(vaddr, max(vsize, rawsize), rawptr) for vsize, vaddr, rawsize, rawptr in headers]


def _file_offset(sections, rva):
    for vaddr, size, rawptr in sections:
        if vaddr <= rva < vaddr + size:
            return rva - vaddr + rawptr
    raise ValueError(f"RVA {rva:#x} lies in no section")


def _imported_dlls(data, sections, directory_rva):
    if directory_rva == 0:
        return []
    start = _file_offset(sections, directory_rva)
    # Descriptors of 20 bytes, the fourth field the name's address, up to one of zeros.
    descriptors = takewhile(any, (struct.unpack_from("<IIIII", data, start + 20 * i) for i in count()))
    names = [_file_offset(sections, fields[3]) for fields in descriptors]
    return [data[name:data.index(b"\0", name)].decode("ascii") for name in names]


def read_pe_image(path):
    """Parses the headers of the PE file at path; ValueError if it is not one."""
    data = Path(path).read_bytes()
    if data[:2] != b"MZ":
        raise ValueError(f"{path}: no MZ signature")
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path}: no PE signature")
    # The file header: machine, sections, time stamp, symbol table, symbols, optional header size.
    machine, section_count, _, _, _, optional_size = struct.unpack_from("<HHIIIH", data, pe + 4)
    optional = pe + 24
    (magic,) = struct.unpack_from("<H", data, optional)
    if magic not in DIRECTORIES_AT:
        raise ValueError(f"{path}: unknown optional header magic {magic:#x}")
    directories = optional + DIRECTORIES_AT[magic]
    (subsystem,) = struct.unpack_from("<H", data, optional + 68)
    sections = _sections(data, optional + optional_size, section_count)
    (import_rva,) = struct.unpack_from("<I", data, directories + 8)  # the second data directory: imports
    return PeImage(machine, magic, subsystem, _imported_dlls(data, sections, import_rva))
