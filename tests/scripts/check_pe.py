#!/usr/bin/python3
"""Checks a PE file as pefile sees it; prints one line per problem and exits 1 if there is any.

Usage: check_pe.py FILE [--entry TYPE:ID:SIZE]... [--payload DATABASE] [--signed] [--base | --made-from BASE]

Wanted: no pefile warning, the true checksum, raw data on 4096-byte boundaries, every section inside the
file, SizeOfImage and SizeOfInitializedData as the section table gives them, data directories inside their
sections, a symbol table (if any) ending where the file or its certificate begins, and each --entry
present, language-neutral, of its size (the payload equal to DATABASE, or a compressed one decoding to it).
A package's resource section must not be writable (a base, --base, is as the linker made it). --made-from: the package's resources are
exactly BASE's and the entries, BASE's with their bytes unchanged.
"""
import subprocess
import sys

import pefile

PAGE = 4096


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def section_of(pe, rva):
    for section in pe.sections:
        size = section.Misc_VirtualSize or section.SizeOfRawData
        if section.VirtualAddress <= rva < section.VirtualAddress + size:
            return section
    return None


def name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def long_name(pe, data, section):
    """The name as the linker gave it: "/4" is an offset into the string table after the symbols."""
    short = name(section)
    if not short.startswith("/") or not pe.FILE_HEADER.PointerToSymbolTable:
        return short
    at = pe.FILE_HEADER.PointerToSymbolTable + 18 * pe.FILE_HEADER.NumberOfSymbols + int(short[1:])
    return data[at:data.index(b"\0", at)].decode("latin-1")


def resources(pe):
    """Every resource, by type, name and language, with its bytes."""
    found = {}
    for kind in getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None) and pe.DIRECTORY_ENTRY_RESOURCE.entries or []:
        for entry in kind.directory.entries:
            for language in entry.directory.entries:
                key = "%s:%s:%d" % (kind.name or kind.id, entry.name or entry.id, language.id)
                found[key] = pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size)
    return found


def check(path, entries, payload, signed, base, made_from):
    problems = []
    data = open(path, "rb").read()
    pe = pefile.PE(path)
    optional = pe.OPTIONAL_HEADER

    # pefile's guess at a truncated file from the share of zero bytes says nothing of the image: a stored
    # price list's UTF-16 names and empty page space are zeros in about half their bytes.
    problems += ["pefile warns: " + warning for warning in pe.get_warnings()
                 if not (warning.startswith("Byte 0x00 makes up") and entries)]
    if optional.CheckSum != pe.generate_checksum():
        problems.append("checksum 0x%x, computed 0x%x" % (optional.CheckSum, pe.generate_checksum()))

    initialized = 0
    for section in pe.sections:
        if section.SizeOfRawData and section.PointerToRawData % PAGE:
            problems.append("section %s starts at 0x%x, off a page" % (name(section), section.PointerToRawData))
        if section.PointerToRawData + section.SizeOfRawData > len(data):
            problems.append("section %s ends past the end of the file" % name(section))
        # The linker leaves debug sections out of the sum.
        if section.Characteristics & 0x40 and not long_name(pe, data, section).startswith(".debug"):
            initialized += section.SizeOfRawData
    last = pe.sections[-1]
    image = align(last.VirtualAddress + (last.Misc_VirtualSize or last.SizeOfRawData), optional.SectionAlignment)
    if optional.SizeOfImage != image:
        problems.append("SizeOfImage 0x%x, sections end at 0x%x" % (optional.SizeOfImage, image))
    if optional.SizeOfInitializedData != initialized:
        problems.append("SizeOfInitializedData 0x%x, sections hold 0x%x" % (optional.SizeOfInitializedData, initialized))

    for index, directory in enumerate(optional.DATA_DIRECTORY):
        if not directory.VirtualAddress or index == pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]:
            continue
        section = section_of(pe, directory.VirtualAddress)
        if section is None or section_of(pe, directory.VirtualAddress + directory.Size - 1) is not section:
            problems.append("%s at 0x%x lies outside the sections" % (directory.name, directory.VirtualAddress))
        elif directory.name.endswith("RESOURCE") and name(section) != ".rsrc":
            problems.append("the resource directory lies in %s" % name(section))
        elif directory.name.endswith("RESOURCE") and not base and section.Characteristics & 0x80000000:
            problems.append("the resource section is writable")
        elif directory.name.endswith("BASERELOC") and (name(section), directory.VirtualAddress) != (".reloc", section.VirtualAddress):
            problems.append("the relocations are not where .reloc is")

    security = optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    if bool(security.VirtualAddress) != signed:
        problems.append("certificate table %s" % ("missing" if signed else "present"))
    end = security.VirtualAddress if signed else len(data)
    symbols = pe.FILE_HEADER.PointerToSymbolTable
    if symbols:
        strings = symbols + 18 * pe.FILE_HEADER.NumberOfSymbols
        if strings + 4 > len(data) or strings + int.from_bytes(data[strings:strings + 4], "little") != end:
            problems.append("the symbol table at 0x%x does not end where the file does" % symbols)

    found = {}
    for key, value in resources(pe).items():
        kind, entry, language = key.rsplit(":", 2)
        # The language-neutral one, where an entry comes in several.
        if "%s:%s" % (kind, entry) not in found or language == "0":
            found["%s:%s" % (kind, entry)] = (int(language), value)
    if not found:
        problems.append("no resources")
    for wanted in entries:
        key, size = wanted.rsplit(":", 1)
        if key not in found:
            problems.append("entry %s is absent" % key)
            continue
        language, value = found[key]
        if language != 0 or len(value) != int(size):
            problems.append("entry %s: language %d, %d bytes; wanted neutral, %s" % (key, language, len(value), size))
        if key == "MDB:129" and payload is not None and value != open(payload, "rb").read():
            problems.append("the payload differs from " + payload)
        # A compressed payload is a standard Zstandard frame: the zstd tool gives the database back.
        if key == "MDZ:129" and payload is not None:
            decoded = subprocess.run(["zstd", "-d", "-c"], input=value, capture_output=True)
            if decoded.returncode != 0 or decoded.stdout != open(payload, "rb").read():
                problems.append("zstd -d of the compressed payload does not give " + payload)

    if made_from is not None:
        own, tree = resources(pefile.PE(made_from)), resources(pe)
        stamped = {wanted.rsplit(":", 1)[0] + ":0" for wanted in entries}
        for key in sorted(set(tree) - set(own) - stamped):
            problems.append("resource %s is neither the base's nor an entry" % key)
        for key in sorted((set(own) | stamped) - set(tree)):
            problems.append("resource %s is missing" % key)
        for key in sorted(set(own) & set(tree) - stamped):
            if own[key] != tree[key]:
                problems.append("resource %s differs from the base's" % key)
    return problems


def main(argv):
    path, entries, payload, signed, base, made_from = argv[1], [], None, False, False, None
    args = iter(argv[2:])
    for arg in args:
        if arg.startswith("--entry="):
            entries.append(arg[len("--entry="):])
        elif arg == "--entry":
            entries.append(next(args))
        elif arg == "--payload":
            payload = next(args)
        elif arg == "--signed":
            signed = True
        elif arg == "--base":
            base = True
        elif arg == "--made-from":
            made_from = next(args)
    problems = check(path, entries, payload, signed, base, made_from)
    for problem in problems:
        print("%s: %s" % (path, problem))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
