#!/usr/bin/env python3
"""Checks the resources of a built updater.exe with an independent PE parser
(pefile): the two wizard templates, control by control, with their exact
UTF-16 texts, styles and rectangles; the manifest; and no payload.

  check_templates.py build/win32/updater.exe
"""
import struct
import sys

import pefile

WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_BORDER, WS_SYSMENU, WS_VSCROLL = 0x00C00000, 0x00800000, 0x00080000, 0x00200000
WS_GROUP, WS_TABSTOP = 0x00020000, 0x00010000
DS_CENTER, DS_MODALFRAME, DS_SETFONT = 0x0800, 0x0080, 0x0040
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_RADIOBUTTON = 0, 1, 4
ES_LEFT, ES_MULTILINE, SS_LEFT = 0, 4, 0
CHILD = WS_CHILD | WS_VISIBLE
DIALOG_STYLE = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_MODALFRAME | DS_SETFONT

COMMON_BUTTONS = lambda nx, cx, bx, y: [  # noqa: E731
    (1, "BUTTON", "次へ", CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, nx, y, 44, 14),
    (2, "BUTTON", "中止", CHILD | WS_TABSTOP | BS_PUSHBUTTON, cx, y, 44, 14),
    (4, "BUTTON", "戻る", CHILD | WS_TABSTOP | BS_PUSHBUTTON, bx, y, 44, 14),
]
EXPECTED = {
    100: ((247, 93), COMMON_BUTTONS(143, 196, 99, 72) + [
        (1001, "STATIC", "Info", CHILD | WS_GROUP | SS_LEFT, 16, 16, 214, 26)]),
    101: ((364, 222), COMMON_BUTTONS(258, 311, 214, 202) + [
        (1001, "STATIC", "Info", CHILD | WS_GROUP | SS_LEFT, 16, 9, 331, 65),
        (1000, "EDIT", "", CHILD | WS_BORDER | WS_VSCROLL | ES_LEFT | ES_MULTILINE, 6, 81, 351, 92),
        (1002, "BUTTON", "同意する", CHILD | BS_RADIOBUTTON, 10, 177, 225, 10),
        (1003, "BUTTON", "同意しない", CHILD | BS_RADIOBUTTON, 10, 189, 225, 10)]),
}
ATOMS = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC"}


class Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.at
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        s = self.data[self.at:end].decode("utf-16-le")
        self.at = end + 2
        return s

    def name(self):
        if struct.unpack_from("<H", self.data, self.at)[0] == 0xFFFF:
            self.at += 2
            return ATOMS.get(self.take("H"), "?")
        return self.text().upper()

    def align(self):
        self.at = (self.at + 3) & ~3


def resources(pe):
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        kind_name = str(kind.name) if kind.name else kind.id
        for entry in kind.directory.entries:
            for lang in entry.directory.entries:
                rva, size = lang.data.struct.OffsetToData, lang.data.struct.Size
                found[(kind_name, entry.id, lang.id)] = pe.get_data(rva, size)
    return found


def check_dialog(data, dialog_id, problems):
    (width, height), controls = EXPECTED[dialog_id]
    r = Reader(data)
    version, signature, help_id, ex_style, style, count, x, y, cx, cy = r.take("HHIIIHhhhh")
    def expect(what, seen, wanted):
        if seen != wanted:
            problems.append(f"dialog {dialog_id}: {what} is {seen!r}, expected {wanted!r}")
    expect("version/signature", (version, signature), (1, 0xFFFF))
    expect("help id and extended style", (help_id, ex_style), (0, 0))
    expect("style", hex(style), hex(DIALOG_STYLE))
    expect("size", (cx, cy), (width, height))
    expect("menu", r.name(), "")
    expect("class", r.name(), "")
    expect("caption", r.text(), "UPDATE")
    point, weight, italic, charset = r.take("HHBB")
    expect("font", (point, weight, italic, charset, r.text()), (10, 0, 0, 0, "ＭＳ Ｐゴシック"))
    expect("control count", count, len(controls))
    for n, wanted in enumerate(controls):
        r.align()
        help_id, ex_style, style, x, y, cx, cy, cid = r.take("IIIhhhhI")
        cls = r.name()
        text = r.text()  # every control's text is a string, never a resource ordinal
        extra = r.take("H")
        r.at += extra
        expect(f"control {n + 1}", (cid, cls, text, hex(style), x, y, cx, cy, help_id, ex_style),
               (wanted[0], wanted[1], wanted[2], hex(wanted[3]), *wanted[4:], 0, 0))


# Windows' known DLLs: always loaded from the system folder, whatever lies
# beside the program. The updater imports nothing else; COM and the shell it
# loads itself, from the system folder, once the DLL search is restricted.
KNOWN_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "user32.dll", "gdi32.dll", "ole32.dll",
              "shell32.dll", "combase.dll", "rpcrt4.dll", "sechost.dll", "shlwapi.dll", "shcore.dll", "imm32.dll"}
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800


def check_hardening(pe, problems):
    """ASLR (high-entropy on x86_64), DEP, no import outside the known DLLs,
    and a load configuration whose DependentLoadFlags keep the search of the
    imports' own dependencies in the system folder."""
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    wanted = {"IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE": "ASLR", "IMAGE_DLLCHARACTERISTICS_NX_COMPAT": "DEP"}
    if pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]:
        wanted["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"] = "high-entropy ASLR"
    for flag, what in wanted.items():
        if not flags & pefile.DLL_CHARACTERISTICS[flag]:
            problems.append(f"no {what} ({flag})")
    if not pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]].Size:
        problems.append("no relocations: ASLR cannot move the image")
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        name = entry.dll.decode().lower()
        if name not in KNOWN_DLLS:
            problems.append(f"imports {name}, which is not one of the system's known DLLs")
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    if config is None:
        problems.append("no load configuration")
        return
    # The field's name differs between pefile's versions and machines; its
    # place does not: offset 54 (i686) or 78 (x86_64).
    offset = 78 if pe.OPTIONAL_HEADER.Magic == 0x20B else 54
    rva = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]].VirtualAddress
    size = config.struct.Size
    dependent = pe.get_word_at_rva(rva + offset) if size >= offset + 2 else 0
    if dependent != LOAD_LIBRARY_SEARCH_SYSTEM32:
        problems.append(f"DependentLoadFlags is {dependent:#x}, not LOAD_LIBRARY_SEARCH_SYSTEM32 (size {size})")


def main():
    pe = pefile.PE(sys.argv[1])
    found = resources(pe)
    problems = []
    for dialog_id in (100, 101):
        data = found.get((5, dialog_id, 1041))
        if data is None:
            problems.append(f"dialog {dialog_id} (language 1041) is missing")
        else:
            check_dialog(data, dialog_id, problems)
    manifests = [d for (k, _, _), d in found.items() if k == 24]
    if len(manifests) != 1:
        problems.append(f"expected one manifest, found {len(manifests)}")
    else:
        text = manifests[0].decode("utf-8")
        for needed in ('level="requireAdministrator"', 'uiAccess="false"', "<trustInfo"):
            if needed not in text:
                problems.append(f"manifest lacks {needed}")
        if "<dependency" in text or "<compatibility" in text or "<application" in text:
            problems.append("manifest declares more than the trust information")
    # A GUI program (no console window), and on i686 one that may use 4 GB on
    # 64-bit Windows, for large payloads.
    if pe.OPTIONAL_HEADER.Subsystem != pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]:
        problems.append(f"subsystem is {pe.OPTIONAL_HEADER.Subsystem}, not the Windows GUI")
    if pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"] and \
            not pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_LARGE_ADDRESS_AWARE"]:
        problems.append("the i686 updater is not large-address-aware")
    # Copied to the swap file and run from there when started from a CD-ROM,
    # a USB stick or a share: the payload is read in place from the image.
    for flag in ("IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP", "IMAGE_FILE_NET_RUN_FROM_SWAP"):
        if not pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS[flag]:
            problems.append(f"not marked {flag}")
    check_hardening(pe, problems)
    for problem in problems:
        print("template check: " + problem)
    print(f"templates: {0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
