#!/usr/bin/python3
"""Checks the fixed setup executable as Windows will read it: a 32-bit GUI program with ASLR, DEP and
terminal-server awareness that imports only the libraries the system always takes from its own folder,
whose resource section is not writable, that carries no package entries but the integrity entry's
placeholder, and holds its resources exactly: the two dialog templates with every control, the banner and
rule bitmaps, the icon, the About entry's text, the version block and the manifest. Its header names
Windows Vista as the oldest system it runs on, and with --compiler, every function it imports at load time
is one that Vista's libraries export, as the Windows headers of that compiler declare them. Prints one line
per problem and exits 1 if there is any.

Usage: check_executable.py [--compiler CC] [--floor-only] FILE
  --floor-only: FILE is another of the project's Windows programs (the generator): only the oldest
  Windows it runs on is checked.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

import pefile

# Every other library is loaded from the system folder when a run needs it; one imported here could be
# taken from the folder the package was started from.
IMPORTED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
DLL_CHARACTERISTICS = {"DYNAMIC_BASE": 0x0040, "NX_COMPAT": 0x0100, "TERMINAL_SERVER_AWARE": 0x8000}
IMAGE_SCN_MEM_WRITE = 0x80000000

# Windows Vista: older systems lack functions imported at load time (GetFinalPathNameByHandleW and its kin),
# and refuse a file whose header says so as not valid for them, instead of failing on a missing entry point.
WINDOWS_FLOOR = (6, 0)
# Newer than Vista, yet declared by the MinGW-w64 headers whatever the version asked for.
UNGUARDED_NEWER = {"AddDllDirectory", "RemoveDllDirectory", "SetDefaultDllDirectories",
                   "GetSystemTimePreciseAsFileTime"}


def check_windows_floor(pe, compiler):
    """The header's versions, and the functions imported at load time that the floor lacks."""
    problems = []
    header = pe.OPTIONAL_HEADER
    for what, version in (("operating system", (header.MajorOperatingSystemVersion,
                                                 header.MinorOperatingSystemVersion)),
                          ("subsystem", (header.MajorSubsystemVersion, header.MinorSubsystemVersion))):
        if version != WINDOWS_FLOOR:
            problems.append("the header's %s version is %d.%d, not %d.%d" % ((what,) + version + WINDOWS_FLOOR))
    if not compiler:
        return problems
    # The C runtime is the system's own in every version; its exports are not versioned by the headers.
    names = sorted({entry.name.decode() for dll in pe.DIRECTORY_ENTRY_IMPORT
                    if dll.dll.decode().lower() != "msvcrt.dll" for entry in dll.imports if entry.name})
    problems += ["imports %s, which Windows Vista lacks" % name for name in names if name in UNGUARDED_NEWER]
    with tempfile.TemporaryDirectory() as work:
        probe = os.path.join(work, "probe.c")
        with open(probe, "w") as out:
            out.write("#include <windows.h>\n#include <shlobj.h>\n#include <sddl.h>\n")
            out.writelines("void* p%d = (void*)&%s;\n" % (i, name) for i, name in enumerate(names))
        version = "0x%02X%02X" % WINDOWS_FLOOR
        run = subprocess.run([compiler, "-fsyntax-only", "-D_WIN32_WINNT=" + version, "-DWINVER=" + version, probe],
                             capture_output=True, text=True, env=dict(os.environ, LC_ALL="C"))
    newer = sorted(set(re.findall(r"'(\w+)' undeclared", run.stderr)))
    problems += ["imports %s, which the Windows headers do not declare for Windows Vista" % name for name in newer]
    if run.returncode != 0 and not newer:
        problems.append("the headers' probe of the imports failed: %s" % run.stderr.strip()[:500])
    return problems


def resources(pe):
    """{(type, id, language): bytes} of every resource; named types by their name."""
    found = {}
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        kind = str(type_entry.name) if type_entry.name else type_entry.id
        for id_entry in type_entry.directory.entries:
            for language in id_entry.directory.entries:
                data = language.data.struct
                found[(kind, id_entry.id, language.id)] = pe.get_data(data.OffsetToData, data.Size)
    return found


class Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def align(self, n):
        self.at = (self.at + n - 1) // n * n

    def text_or_ordinal(self):
        """A template's name field: 0 (none), 0xFFFF + ordinal, or a NUL-terminated UTF-16 text."""
        first = self.take("H")
        if first == 0:
            return ""
        if first == 0xFFFF:
            return self.take("H")
        chars = [first]
        while True:
            c = self.take("H")
            if c == 0:
                return "".join(map(chr, chars))
            chars.append(c)


def parse_dialog(data):
    r = Reader(data)
    extended = struct.unpack_from("<HH", data)[1] == 0xFFFF
    if extended:
        _, _, help_id, ex_style, style, count, x, y, cx, cy = r.take("HHIIIHhhhh")
    else:
        style, ex_style, count, x, y, cx, cy = r.take("IIHhhhh")
        help_id = 0
    menu, klass, caption = r.text_or_ordinal(), r.text_or_ordinal(), r.text_or_ordinal()
    font = None
    if style & 0x40:  # DS_SETFONT
        if extended:
            size, weight, italic, charset = r.take("HHBB")
            font = (size, weight, italic, charset, r.text_or_ordinal())
        else:
            font = (r.take("H"), r.text_or_ordinal())
    controls = []
    for _ in range(count):
        r.align(4)
        if extended:
            c_help, c_ex, c_style, c_x, c_y, c_cx, c_cy, c_id = r.take("IIIhhhhI")
        else:
            c_style, c_ex, c_x, c_y, c_cx, c_cy, c_id = r.take("IIhhhhH")
        c_class, c_text = r.text_or_ordinal(), r.text_or_ordinal()
        extra = r.take("H")
        r.at += extra
        controls.append((c_id, {0x80: "BUTTON", 0x82: "STATIC"}.get(c_class, c_class), c_text, c_x, c_y, c_cx,
                         c_cy, c_style))
    return dict(extended=extended, style=style, ex_style=ex_style, help_id=help_id, pos=(x, y), size=(cx, cy),
                menu=menu, klass=klass, caption=caption, font=font, controls=controls)


MAIN_DIALOG = dict(
    extended=True, style=0x90CA0044, ex_style=0x40000, help_id=0, pos=(0, 0), size=(330, 146), menu="", klass="",
    caption="Marlowen", font=(8, 0, 0, 1, "MS Sans Serif"),
    controls=[
        (1, "BUTTON", "Install", 189, 121, 64, 14, 0x50010001),
        (2, "BUTTON", "Cancel", 258, 121, 64, 14, 0x50010000),
        (0xFFFFFFFF, "STATIC", 133, 0, 0, 330, 198, 0x5000000E),
        (0xFFFFFFFF, "STATIC", 132, 0, 113, 330, 1, 0x5000000E),
        (0xFFFFFFFF, "STATIC", "The pricelist will be installed in", 7, 48, 314, 8, 0x50020000),
        (1002, "STATIC", "", 12, 62, 243, 36, 0x50020080),  # SS_NOPREFIX: a path shows every "&"
        (1001, "BUTTON", "Browse...", 265, 63, 57, 14, 0x50010000),
    ])


def check_about(about, problems):
    expected = dict(extended=False, style=0x80C800C0, ex_style=0, pos=(0, 0), size=(235, 55), menu="", klass="",
                    caption="About Quillbrook", font=(8, "MS Sans Serif"))
    for key, value in expected.items():
        if about[key] != value:
            problems.append("About box %s is %r, not %r" % (key, about[key], value))
    controls = about["controls"]
    if len(controls) != 3:
        problems.append("About box has %d controls" % len(controls))
        return
    wanted = [(0xFFFF, "STATIC", "Quillbrook version 1.1", 40, 10, 119, 8, 0x50020080),
              (0xFFFF, "STATIC", None, 40, 25, 119, 8, 0x50020000),
              (1, "BUTTON", "OK", 178, 7, 50, 14, 0x50030001)]
    for got, want in zip(controls, wanted):
        if want[2] is None:
            copyright_line = got[2]
            if "Marlowen" not in copyright_line or not any(ch.isdigit() for ch in copyright_line) \
                    or "\n" in copyright_line:
                problems.append("About box copyright line %r does not name the maker and a year" % copyright_line)
            got = got[:2] + (None,) + got[3:]
        if got != want:
            problems.append("About box control %r, not %r" % (got, want))


def check_bitmap(data, width, height, problems, what):
    size, w, h, planes, bits, compression = struct.unpack_from("<IiiHHI", data)
    if (size, w, h, planes, bits, compression) != (40, width, height, 1, 24, 0):
        problems.append("%s is %dx%d, %d bpp, compression %d (header %d)" % (what, w, h, bits, compression, size))


def check_icon(found, group, problems):
    _, kind, count = struct.unpack_from("<HHH", group)
    images = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        image = found.get((3, icon_id, 0))
        if image is None:
            problems.append("icon image %d is missing" % icon_id)
            continue
        bits_in_image = struct.unpack_from("<H", image, 14)[0]
        images.append((w or 256, h or 256, bits_in_image))
    if kind != 1 or sorted(images) != [(16, 16, 4), (16, 16, 8), (32, 32, 4), (32, 32, 8)]:
        problems.append("group icon 128 holds %r" % images)


def version_strings(data):
    """The StringFileInfo texts of a version block, decoded loosely: name -> value."""
    text = data.decode("utf-16-le", errors="replace")
    found = {}
    for name in ("FileDescription", "InternalName", "ProductName"):
        at = text.find(name + "\0")
        if at >= 0:
            rest = text[at + len(name) + 1:].lstrip("\0")
            found[name] = rest.split("\0", 1)[0]
    return found


def check(path, compiler):
    pe = pefile.PE(path)
    problems = check_windows_floor(pe, compiler)
    if pe.FILE_HEADER.Machine != 0x14C or pe.OPTIONAL_HEADER.Subsystem != 2:
        problems.append("not a 32-bit GUI program")
    imports = {entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT}
    if imports != IMPORTED_DLLS:
        problems.append("imports %s, not exactly %s" % (sorted(imports), sorted(IMPORTED_DLLS)))
    for name, flag in DLL_CHARACTERISTICS.items():
        if not pe.OPTIONAL_HEADER.DllCharacteristics & flag:
            problems.append("DllCharacteristics lack %s" % name)
    for section in pe.sections:
        if section.Name.rstrip(b"\0") == b".rsrc" and section.Characteristics & IMAGE_SCN_MEM_WRITE:
            problems.append("the resource section is writable")

    found = resources(pe)
    for (kind, _, _) in found:
        if kind in ("MDB", "REG"):
            problems.append("the fixed executable carries a package entry %s" % kind)
    # The generator replaces the placeholder in place: it must be the one SUM entry, language-neutral.
    integrity = {key: data for key, data in found.items() if key[0] == "SUM"}
    if integrity != {("SUM", 142, 0): b"QBI\0\0\0\0\0"}:
        problems.append("the integrity entries are %r, not the placeholder SUM 142 QBI 0 0 0 0 0" % integrity)

    main = found.get((5, 102, 0))
    if main is None:
        problems.append("dialog 102 is missing")
    else:
        parsed = parse_dialog(main)
        for key, value in MAIN_DIALOG.items():
            if parsed[key] != value:
                problems.append("dialog 102 %s is %r, not %r" % (key, parsed[key], value))
    about = found.get((5, 100, 0))
    if about is None:
        problems.append("dialog 100 is missing")
    else:
        check_about(parse_dialog(about), problems)

    for bitmap_id, (width, height) in {133: (495, 60), 132: (495, 2)}.items():
        data = found.get((2, bitmap_id, 0))
        if data is None:
            problems.append("bitmap %d is missing" % bitmap_id)
        else:
            check_bitmap(data, width, height, problems, "bitmap %d" % bitmap_id)

    group = found.get((14, 128, 0))
    if group is None:
        problems.append("group icon 128 is missing")
    else:
        check_icon(found, group, problems)

    # String 101 lives in block 7 (ids 96..111), as the sixth counted string.
    block = found.get((6, 7, 0))
    strings, at = [], 0
    while block is not None and at < len(block):
        length = struct.unpack_from("<H", block, at)[0]
        strings.append(block[at + 2:at + 2 + 2 * length].decode("utf-16-le"))
        at += 2 + 2 * length
    if len(strings) < 6 or strings[5] != "&About Quillbrook...":
        problems.append("string 101 is %r" % (strings[5] if len(strings) > 5 else None))

    version = found.get((16, 1, 1036))
    if version is None:
        problems.append("no version block in language 1036")
    else:
        fixed = pe.VS_FIXEDFILEINFO[0]
        numbers = (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16,
                   fixed.FileVersionLS & 0xFFFF)
        product = (fixed.ProductVersionMS >> 16, fixed.ProductVersionMS & 0xFFFF, fixed.ProductVersionLS >> 16,
                   fixed.ProductVersionLS & 0xFFFF)
        if numbers != (2, 8, 0, 1) or product != (2, 8, 0, 1):
            problems.append("version %r / %r, not 2.8.0.1" % (numbers, product))
        texts = version_strings(version)
        if texts != {name: "Marlowen" for name in ("FileDescription", "InternalName", "ProductName")}:
            problems.append("version texts %r" % texts)

    manifest = found.get((24, 1, 0), b"").decode("utf-8", errors="replace")
    if 'level="asInvoker"' not in manifest or ">true</dpiAware>" not in manifest:
        problems.append("the manifest does not ask for asInvoker and DPI awareness")
    if ">UTF-8</activeCodePage>" not in manifest:
        problems.append("the manifest does not ask for UTF-8 as the 8-bit code page")
    return problems


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--compiler")
    parser.add_argument("--floor-only", action="store_true")
    parser.add_argument("file")
    args = parser.parse_args()
    if args.floor_only:
        problems = check_windows_floor(pefile.PE(args.file), args.compiler)
    else:
        problems = check(args.file, args.compiler)
    for problem in problems:
        print(problem)
    if not problems:
        print("%s: %s" % (args.file, "the oldest Windows it runs on is as it should be" if args.floor_only else
                              "resources, imports and the oldest Windows it runs on as they should be"))
    sys.exit(1 if problems else 0)
