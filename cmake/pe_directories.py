#!/usr/bin/env python3
"""Points the resource and base-relocation directories of a tiny program at the spans that
its linker script marks, after the link.

ld fills those two directories only from output sections named .rsrc and .reloc. The tiny
programs keep both inside their read-only .rdata section, so that the image needs three
sections and one 512-byte header block; cmake/tiny-pe.ld marks where they lie with the
symbols __rsrc_start__, __rsrc_end__, __reloc_start__ and __reloc_end__, which the link map
lists. This script writes those spans into the optional header's data directories, clears
RELOCS_STRIPPED when ld made the relocations, and sets the checksum again. Running it twice
gives the same bytes. The images are 32-bit (PE32) only.

Usage: pe_directories.py IMAGE MAP
"""
import re
import struct
import sys

RESOURCE, BASE_RELOCATION = 2, 5
RELOCS_STRIPPED = 0x0001
SPANS = {RESOURCE: "rsrc", BASE_RELOCATION: "reloc"}


def symbols(map_text):
    """The values of the script's __name__ = . assignments, from an ld map."""
    return {name: int(value, 16) for value, name in
            re.findall(r"^\s+0x([0-9a-f]+)\s+(__\w+__) = \.", map_text, re.M)}


def made_relocations(map_text):
    """Whether ld made the base relocation table (its input section stands in the map)."""
    return re.search(r"^ \.reloc\s+0x[0-9a-f]+\s+0x[0-9a-f]+ ", map_text, re.M) is not None


def checksum(image, field):
    """The PE checksum: a 16-bit folded sum of the image's words, the field itself as zero,
    plus the file's length."""
    data = image[:field] + b"\0\0\0\0" + image[field + 4:]
    data += b"\0" * (-len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(image)


def patch(image, marks, relocatable):
    image = bytearray(image)
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    optional = pe + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x10B:
        raise ValueError("not a 32-bit (PE32) image")
    base = struct.unpack_from("<I", image, optional + 28)[0]
    directories = optional + 96
    for index, name in SPANS.items():
        start, end = marks["__%s_start__" % name], marks["__%s_end__" % name]
        rva, size = (start - base, end - start) if end > start else (0, 0)
        struct.pack_into("<II", image, directories + 8 * index, rva, size)
    if relocatable:
        characteristics = struct.unpack_from("<H", image, pe + 22)[0]
        struct.pack_into("<H", image, pe + 22, characteristics & ~RELOCS_STRIPPED)
    field = optional + 64
    struct.pack_into("<I", image, field, checksum(bytes(image), field))
    return bytes(image)


def main(image_path, map_path):
    with open(map_path) as f:
        map_text = f.read()
    marks = symbols(map_text)
    missing = [n for name in SPANS.values() for n in ("__%s_start__" % name, "__%s_end__" % name)
               if n not in marks]
    if missing:
        sys.exit("pe_directories: %s does not mark %s" % (map_path, ", ".join(missing)))
    with open(image_path, "rb") as f:
        image = f.read()
    patched = patch(image, marks, made_relocations(map_text))
    if patched != image:
        with open(image_path, "wb") as f:
            f.write(patched)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
