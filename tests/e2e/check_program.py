#!/usr/bin/env python3
"""Checks what a built Ostrevane.exe carries to a WinPE machine, reading the PE file itself
(so it serves every toolchain and both processors): it may import only Windows system DLLs that
WinPE has and that Windows never looks for beside the program (everything else is linked in or,
like the common controls, loaded from the system folder at run time), and its resources are icon
group 101, version information 1 and one manifest, id 1, which asks for administrator rights
without UI access and declares the two supported Windows versions, with nothing else in it (no
Common Controls dependency, no DPI setting, no assembly identity). Prints every problem; exits 1
when there is one."""
import struct
import sys
import xml.etree.ElementTree as ElementTree

# System DLLs of WinPE that a program of this kind may import: known DLLs, ntdll, and, since
# Windows 10, the Universal C Runtime, which is part of the system, WinPE included, and reached
# through its API sets.
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll", "setupapi.dll",
                "ntdll.dll", "ucrtbase.dll"}
ALLOWED_PREFIX = "api-ms-win-crt-"

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
MANIFEST_ELEMENTS = {"assembly", "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel",
                     "compatibility", "application", "supportedOS"}
SUPPORTED_OS = ["{1f676c76-80e1-4239-95bb-83d0f6d0da78}",   # Windows 8.1
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]   # Windows 10 and 11

DIRECTORY_IMPORT, DIRECTORY_RESOURCE, DIRECTORY_DELAY_IMPORT = 1, 2, 13


class Image:
    def __init__(self, data: bytes):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        count = struct.unpack_from("<I", data, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(sections)]

    def offset(self, rva: int) -> int:
        for virtual_size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def string(self, rva: int) -> str:
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def directory(self, index: int):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def imported_dlls(self):
        dlls = []
        for index, size, name_field in ((DIRECTORY_IMPORT, 20, 12), (DIRECTORY_DELAY_IMPORT, 32, 4)):
            rva, _ = self.directory(index)
            if rva == 0:
                continue
            at = self.offset(rva)
            while any(self.data[at:at + size]):
                dlls.append(self.string(struct.unpack_from("<I", self.data, at + name_field)[0]).lower())
                at += size
        return dlls

    def resources(self):
        """(type, name, bytes) of every resource; names and types are ids or strings."""
        rva, _ = self.directory(DIRECTORY_RESOURCE)
        if rva == 0:
            return []
        base = self.offset(rva)

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if key & 0x80000000:
                    length = struct.unpack_from("<H", self.data, base + (key & 0x7FFFFFFF))[0]
                    start = base + (key & 0x7FFFFFFF) + 2
                    key = self.data[start:start + 2 * length].decode("utf-16-le")
                yield key, target

        found = []
        for kind, names in entries(0):
            for name, languages in entries(names & 0x7FFFFFFF):
                for _, leaf in entries(languages & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    found.append((kind, name, self.data[start:start + size]))
        return found


def manifest_problems(text: bytes):
    problems = []
    root = ElementTree.fromstring(text)
    elements = [element.tag.split("}")[-1] for element in root.iter()]
    for extra in sorted(set(elements) - MANIFEST_ELEMENTS):
        problems.append(f"manifest has <{extra}>")
    levels = [e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    if len(levels) != 1:
        problems.append(f"{len(levels)} requestedExecutionLevel elements, not one")
    for level in levels:
        if level.get("level") != "requireAdministrator":
            problems.append(f"execution level {level.get('level')!r}, not requireAdministrator")
        if level.get("uiAccess") != "false":
            problems.append(f"uiAccess {level.get('uiAccess')!r}, not false")
    supported = sorted(e.get("Id", "") for e in root.iter() if e.tag.endswith("}supportedOS"))
    if supported != SUPPORTED_OS:
        problems.append(f"supportedOS entries {supported}")
    return problems


def problems_of(path: str):
    image = Image(open(path, "rb").read())
    problems = []
    dlls = image.imported_dlls()
    print("imports:", " ".join(sorted(set(dlls))))
    if not dlls:
        problems.append("no DLL imports found")
    for dll in sorted(set(dlls)):
        if dll not in ALLOWED_DLLS and not dll.startswith(ALLOWED_PREFIX):
            problems.append(f"imports {dll}, which is not among the WinPE system DLLs it may use")

    resources = image.resources()
    kinds = sorted({(kind, name) for kind, name, _ in resources if kind != RT_ICON}, key=str)
    print("resources:", kinds)
    if kinds != [(RT_GROUP_ICON, 101), (RT_VERSION, 1), (RT_MANIFEST, 1)]:
        problems.append(f"resources other than icon group 101, version information 1 and manifest 1: {kinds}")
    manifests = [data for kind, _, data in resources if kind == RT_MANIFEST]
    if len(manifests) != 1:
        problems.append(f"{len(manifests)} manifests, not one")
    for manifest in manifests:
        problems += manifest_problems(manifest)
    return problems


def main() -> int:
    problems = problems_of(sys.argv[1])
    for problem in problems:
        print("FAIL:", problem, file=sys.stderr)
    if not problems:
        print("imports and resources: OK")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
