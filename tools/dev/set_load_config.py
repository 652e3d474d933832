#!/usr/bin/env python3
"""Sets what the GNU linker of the mingw-w64 toolchain cannot: points a PE
executable's load-configuration directory at its `_load_config_used`
structure (platform/win32_load_config.cpp), and marks the image to be run
from the swap file when it is started from removable media or the network
(IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP, IMAGE_FILE_NET_RUN_FROM_SWAP): the
updater reads its payload in place from its mapped image, and a CD-ROM, a USB
stick or a share that stalls or goes away in the middle of a run would
otherwise take the pages with it. Run after linking, with the linker's map
file: set_load_config.py EXE MAP

Plain Python, no PE library: the header fields are at fixed places."""
import re
import struct
import sys

# IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP | IMAGE_FILE_NET_RUN_FROM_SWAP
RUN_FROM_SWAP = 0x0400 | 0x0800


def main(exe_path, map_path):
    found = re.search(r"^\s+(0x[0-9a-fA-F]+)\s+_+load_config_used\s*$", open(map_path, encoding="latin-1").read(), re.M)
    if not found:
        sys.exit(f"{map_path}: no _load_config_used in the link map")
    address = int(found.group(1), 16)
    image = bytearray(open(exe_path, "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{exe_path}: not a PE image")
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    if magic == 0x10B:
        image_base = struct.unpack_from("<I", image, optional + 28)[0]
        directories = optional + 96
    elif magic == 0x20B:
        image_base = struct.unpack_from("<Q", image, optional + 24)[0]
        directories = optional + 112
    else:
        sys.exit(f"{exe_path}: unknown optional header {magic:#x}")
    rva = address - image_base
    # The structure's first field is its size; read it from the section.
    table = optional + optional_size
    for i in range(sections):
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", image, table + 40 * i + 8)
        if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
            size = struct.unpack_from("<I", image, raw_offset + rva - virtual_address)[0]
            break
    else:
        sys.exit(f"{exe_path}: _load_config_used at {rva:#x} is in no section")
    struct.pack_into("<II", image, directories + 8 * 10, rva, size)
    characteristics = struct.unpack_from("<H", image, pe + 22)[0]
    struct.pack_into("<H", image, pe + 22, characteristics | RUN_FROM_SWAP)
    open(exe_path, "wb").write(image)


if __name__ == "__main__":
    main(*sys.argv[1:3])
