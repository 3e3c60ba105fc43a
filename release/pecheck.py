"""Checks 32-bit Windows images against the rules the Windows loader applies, which Wine does
not: an image Wine runs may still be refused by Windows. Also checks the hardening rules of
Microsoft's binary analyzer that need no debug information, as its documentation states them:
  BA2009  ASLR: DYNAMIC_BASE, and relocations not stripped;
  BA2010  the import tables are not in an executable section;
  BA2016  NX_COMPAT;
  BA2018  (x86) NO_SEH, or a SafeSEH handler table in the load configuration;
  BA2019  no writable section is shared;
  BA2021  no section is both writable and executable, and sections are page-aligned.
Needs pefile (Debian's python3-pefile: run it with /usr/bin/python3, from the work tree's top).

Usage: python3 -m release.pecheck [-v] FILE...   prints each problem found, exits 1 if any;
                                                with -v, also each rule that passed.
"""
import struct
import sys

import pefile

# Subsystem versions from Windows NT 3.1 to Windows 7; a higher one locks Windows 7 out.
SUBSYSTEM_VERSIONS = ((3, 10), (6, 1))
DLL_FORBIDDEN = {0x0020: "HIGH_ENTROPY_VA", 0x0080: "FORCE_INTEGRITY",
                 0x1000: "APPCONTAINER", 0x4000: "GUARD_CF"}
TOOLCHAIN_RUNTIMES = ("libgcc", "libstdc++", "libwinpthread")
IMPORT, SECURITY, BASE_RELOCATION, BOUND_IMPORT, IAT = 1, 4, 5, 11, 12
RT_ICON, RT_GROUP_ICON = 3, 14
RELOCS_STRIPPED = 0x0001
DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x0040, 0x0100, 0x0400
MEM_EXECUTE, MEM_WRITE, MEM_SHARED = 0x20000000, 0x80000000, 0x10000000
PAGE = 0x1000


def align(value, to):
    return (value + to - 1) // to * to


def problems(image, imports=None):
    """What keeps Windows from loading image; an empty list when nothing does. imports, when
    given, is the exact list of DLLs the image may import."""
    found = []
    if image[:2] != b"MZ":
        return ["no MZ header"]
    lfanew = struct.unpack_from("<I", image, 0x3C)[0]
    if lfanew % 4:
        found.append("e_lfanew %#x is not 4-byte aligned" % lfanew)
    if image[lfanew:lfanew + 4] != b"PE\0\0":
        return found + ["no PE signature"]
    pe = pefile.PE(data=image)
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    is_dll = bool(fh.Characteristics & 0x2000)
    check = lambda ok, text: ok or found.append(text)

    check(fh.Machine == 0x14C, "machine %#x is not i386" % fh.Machine)
    check(1 <= fh.NumberOfSections <= 96, "%d sections" % fh.NumberOfSections)
    check(fh.SizeOfOptionalHeader == 0xE0, "SizeOfOptionalHeader %#x" % fh.SizeOfOptionalHeader)
    check(fh.Characteristics & 0x0002, "EXECUTABLE_IMAGE not set")
    check(fh.Characteristics & 0x0100, "32BIT_MACHINE not set")

    check(oh.Magic == 0x10B, "optional header magic %#x" % oh.Magic)
    check(oh.SectionAlignment == 0x1000, "SectionAlignment %#x" % oh.SectionAlignment)
    fa = oh.FileAlignment
    check(fa & (fa - 1) == 0 and 512 <= fa <= 65536 and fa <= oh.SectionAlignment,
          "FileAlignment %#x" % fa)
    check(oh.ImageBase % 0x10000 == 0, "ImageBase %#x is not 64 KiB-aligned" % oh.ImageBase)
    check(oh.Reserved1 == 0, "Win32VersionValue %#x" % oh.Reserved1)
    check(oh.LoaderFlags == 0, "LoaderFlags %#x" % oh.LoaderFlags)
    check(oh.NumberOfRvaAndSizes == 16, "%d data directories" % oh.NumberOfRvaAndSizes)
    headers_end = lfanew + 24 + fh.SizeOfOptionalHeader + 40 * fh.NumberOfSections
    check(oh.SizeOfHeaders % fa == 0 and headers_end <= oh.SizeOfHeaders < oh.SizeOfImage,
          "SizeOfHeaders %#x" % oh.SizeOfHeaders)
    check(oh.Subsystem == 3, "subsystem %d is not the console" % oh.Subsystem)
    version = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
    check(SUBSYSTEM_VERSIONS[0] <= version <= SUBSYSTEM_VERSIONS[1],
          "subsystem version %d.%d is outside 3.10 to 6.1" % version)

    flags = oh.DllCharacteristics
    for bit, name in DLL_FORBIDDEN.items():
        check(not flags & bit, "DllCharacteristics has %s" % name)
    relocations = oh.DATA_DIRECTORY[BASE_RELOCATION].Size != 0
    check(bool(fh.Characteristics & RELOCS_STRIPPED) != relocations,
          "RELOCS_STRIPPED does not match the relocations")
    if not flags & DYNAMIC_BASE and not is_dll:
        check(oh.ImageBase + oh.SizeOfImage <= 0x70000000, "fixed-base image reaches 0x70000000")
    check(oh.CheckSum in (0, pe.generate_checksum()), "wrong checksum %#x" % oh.CheckSum)

    end = align(oh.SizeOfHeaders, oh.SectionAlignment)
    for s in pe.sections:
        name = s.Name.rstrip(b"\0").decode(errors="replace")
        check(s.VirtualAddress == end, "section %s at %#x, not contiguous from %#x"
              % (name, s.VirtualAddress, end))
        end = align(s.VirtualAddress + (s.Misc_VirtualSize or s.SizeOfRawData), oh.SectionAlignment)
        if s.SizeOfRawData:
            check(s.PointerToRawData % fa == 0 and s.SizeOfRawData % fa == 0 and
                  s.PointerToRawData + s.SizeOfRawData <= len(image),
                  "section %s raw data misaligned or outside the file" % name)
    check(oh.SizeOfImage == end, "SizeOfImage %#x, the sections end at %#x" % (oh.SizeOfImage, end))
    raw_end = max([s.PointerToRawData + s.SizeOfRawData for s in pe.sections] + [oh.SizeOfHeaders])
    check(len(image) == raw_end, "%d bytes after the last section" % (len(image) - raw_end))

    def section_of(rva, size=1):
        return next((s for s in pe.sections if s.VirtualAddress <= rva and rva + size <=
                     s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData)), None)

    entry = oh.AddressOfEntryPoint
    if entry or not is_dll:
        code = section_of(entry)
        check(code is not None and code.Characteristics & 0x20000000,
              "entry point %#x is not in an executable section" % entry)
    for index, d in enumerate(oh.DATA_DIRECTORY):
        if d.Size and index != SECURITY:  # the certificate table holds a file offset
            check(section_of(d.VirtualAddress, d.Size) is not None,
                  "data directory %d is not inside one section" % index)
    check(oh.DATA_DIRECTORY[BOUND_IMPORT].Size == 0, "bound imports")

    descriptors = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    names = sorted(e.dll.decode() for e in descriptors)
    if imports is not None:
        check(names == sorted(imports), "imports %s, not %s" % (names, sorted(imports)))
    for name in names:
        check(not name.lower().startswith(TOOLCHAIN_RUNTIMES), "imports %s" % name)
    if descriptors:
        first = min(e.struct.FirstThunk for e in descriptors)
        last = max(e.struct.FirstThunk + 4 * (len(e.imports) + 1) for e in descriptors)
        iat = oh.DATA_DIRECTORY[IAT]
        check((iat.VirtualAddress, iat.VirtualAddress + iat.Size) == (first, last),
              "the IAT directory does not cover exactly the thunk arrays")
    if not is_dll:
        found.extend(icon_problems(pe))
    return found + [p for _, p in analyzer_results(pe) if p]


def section_at(pe, rva):
    return next((s for s in pe.sections if s.VirtualAddress <= rva <
                 s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData)), None)


def analyzer_results(pe):
    """(rule, problem or None) for each analyzer rule the docstring above lists, in order."""
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    flags = oh.DllCharacteristics
    results = []

    def rule(name, problems):
        problems = [p for p in problems if p]
        results.append((name, "%s: %s" % (name, "; ".join(problems)) if problems else None))

    relocations = oh.DATA_DIRECTORY[BASE_RELOCATION]
    rule("BA2009", [not flags & DYNAMIC_BASE and "not DYNAMIC_BASE (no ASLR)",
                    fh.Characteristics & RELOCS_STRIPPED and "the relocations are stripped",
                    relocations.Size == 0 and "no base relocation table"])
    holders = [(d.VirtualAddress, section_at(pe, d.VirtualAddress))
               for d in (oh.DATA_DIRECTORY[IMPORT], oh.DATA_DIRECTORY[IAT]) if d.Size]
    rule("BA2010", ["the import tables at %#x are in an executable section" % rva
                    for rva, s in holders if s is not None and s.Characteristics & MEM_EXECUTE])
    rule("BA2016", [not flags & NX_COMPAT and "not NX_COMPAT"])
    if fh.Machine == 0x14C and not flags & NO_SEH:
        config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
        table = config and getattr(config.struct, "SEHandlerTable", 0)
        count = config and getattr(config.struct, "SEHandlerCount", 0)
        rule("BA2018", [not (table and count) and "neither NO_SEH nor a SafeSEH handler table"])
    else:
        rule("BA2018", [])
    names = [(s.Name.rstrip(b"\0").decode(errors="replace"), s.Characteristics)
             for s in pe.sections]
    rule("BA2019", ["section %s is writable and shared" % n for n, c in names
                    if c & MEM_WRITE and c & MEM_SHARED])
    rule("BA2021", ["section %s is writable and executable" % n for n, c in names
                    if c & MEM_WRITE and c & MEM_EXECUTE] +
         [oh.SectionAlignment < PAGE and
          "sections aligned to %#x share pages" % oh.SectionAlignment])
    return results


def icon_problems(pe):
    """Only one application icon: group 32512 with one 32x32, 16-colour, 4-bit image."""
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return ["no resources"]
    try:
        tree = {t.id: {n.id: [pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                              for lang in n.directory.entries] for n in t.directory.entries}
                for t in pe.DIRECTORY_ENTRY_RESOURCE.entries}
    except (pefile.PEFormatError, AttributeError):
        return ["the resources cannot be read"]
    if sorted(tree) != [RT_ICON, RT_GROUP_ICON]:
        return ["resource types %s, not only icons" % sorted(tree)]
    if list(tree[RT_GROUP_ICON]) != [32512] or len(tree[RT_GROUP_ICON][32512]) != 1:
        return ["icon groups %s, not one numbered 32512" % list(tree[RT_GROUP_ICON])]
    group = tree[RT_GROUP_ICON][32512][0]
    reserved, kind, count = struct.unpack_from("<HHH", group)
    if (reserved, kind, count) != (0, 1, 1) or len(group) != 6 + 14:
        return ["the icon group does not hold exactly one icon"]
    width, height, colours, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6)
    images = tree[RT_ICON].get(icon_id, [])
    if (width, height, colours, bits) != (32, 32, 16, 4) or len(images) != 1:
        return ["the icon is not one 32x32 16-colour 4-bit image"]
    image = images[0]
    header = struct.unpack_from("<IiiHHI", image)
    expected = 40 + 16 * 4 + 32 * 32 // 2 + 32 * 4  # header, palette, colours, mask
    if header != (40, 32, 64, 1, 4, 0) or len(image) != expected or size != expected:
        return ["the icon's bitmap header or size is wrong"]
    return []


# Edits of a good image that Wine still runs but Windows or the analyzer refuses, with the
# rule each breaks.
BROKEN_EDITS = {"one-page gap before the last section": "not contiguous",
                "SizeOfImage one page too large": "SizeOfImage",
                "subsystem version 6.2": "subsystem version",
                "FORCE_INTEGRITY set": "FORCE_INTEGRITY",
                "DYNAMIC_BASE with the relocations stripped": "BA2009",
                "import tables in an executable section": "BA2010",
                "neither NO_SEH nor a handler table": "BA2018",
                "a writable and executable section": "BA2021"}


def edited(image, edit):
    """A copy of image with one of BROKEN_EDITS made, its checksum kept correct."""
    pe = pefile.PE(data=image)
    oh = pe.OPTIONAL_HEADER
    if edit == "one-page gap before the last section":
        pe.sections[-1].VirtualAddress += PAGE
        oh.SizeOfImage += PAGE
    elif edit == "SizeOfImage one page too large":
        oh.SizeOfImage += 0x1000
    elif edit == "subsystem version 6.2":
        oh.MajorSubsystemVersion, oh.MinorSubsystemVersion = 6, 2
    elif edit == "FORCE_INTEGRITY set":
        oh.DllCharacteristics |= 0x80
    elif edit == "DYNAMIC_BASE with the relocations stripped":
        pe.FILE_HEADER.Characteristics |= RELOCS_STRIPPED
        oh.DATA_DIRECTORY[BASE_RELOCATION].VirtualAddress = 0
        oh.DATA_DIRECTORY[BASE_RELOCATION].Size = 0
    elif edit == "import tables in an executable section":
        section_at(pe, oh.DATA_DIRECTORY[IMPORT].VirtualAddress).Characteristics |= MEM_EXECUTE
    elif edit == "neither NO_SEH nor a handler table":
        oh.DllCharacteristics &= ~NO_SEH
    elif edit == "a writable and executable section":
        section_at(pe, oh.AddressOfEntryPoint).Characteristics |= MEM_WRITE
    result = pefile.PE(data=bytes(pe.write()))
    if result.OPTIONAL_HEADER.CheckSum:
        result.OPTIONAL_HEADER.CheckSum = result.generate_checksum()
    return bytes(result.write())


def main(args):
    verbose = args[:1] == ["-v"]
    failed = False
    for path in args[verbose:]:
        with open(path, "rb") as f:
            image = f.read()
        found = problems(image)
        for problem in found:
            print("%s: %s" % (path, problem))
        failed = failed or bool(found)
        if verbose:
            passed = [name for name, problem in analyzer_results(pefile.PE(data=image))
                      if problem is None]
            print("%s: passes %s%s" % (path, " ".join(passed),
                                       "" if found else " and the loader rules"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
