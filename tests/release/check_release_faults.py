#!/usr/bin/env python3
"""Shows that the release check catches each fault it exists for.

Usage: check_release_faults.py CHECK_SCRIPT PROGRAM.exe MACHINE

Takes a good program, breaks one property at a time in a copy (header fields, an import, the
manifest resource's ID, the manifest's XML rewritten in place, padded to its old length, the
name the version information gives) and
expects the check to fail on exactly that property and to pass on the untouched copy and on a
compact rewrite of the correct manifest.
"""
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT = 0x0040, 0x0020, 0x0100
IMAGE_SUBSYSTEM_WINDOWS_GUI, IMAGE_SUBSYSTEM_WINDOWS_CUI = 2, 3
MACHINES = {"AMD64": 0x8664, "ARM64": 0xAA64}
RT_MANIFEST = 24

WIN10, WIN81 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"
WIN7 = "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"


def manifest(level="requireAdministrator", ui="false", systems=(WIN10, WIN81), extra="", trust_ns="asm.v3"):
    entries = "".join('<supportedOS Id="%s"/>' % s for s in systems)
    return (
        '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
        '<trustInfo xmlns="urn:schemas-microsoft-com:%s"><security><requestedPrivileges>'
        '<requestedExecutionLevel level="%s" uiAccess="%s"/>'
        "</requestedPrivileges></security></trustInfo>"
        '<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>%s'
        "</application></compatibility>%s</assembly>" % (trust_ns, level, ui, entries, extra)
    )


class Pe:
    def __init__(self, data):
        self.data = data
        self.coff = struct.unpack_from("<I", data, 0x3C)[0] + 4
        self.optional = self.coff + 20
        sections = self.optional + struct.unpack_from("<H", data, self.coff + 16)[0]
        count = struct.unpack_from("<H", data, self.coff + 2)[0]
        self.sections = [struct.unpack_from("<IIII", data, sections + 40 * i + 8) for i in range(count)]

    def u16(self, offset, value=None):
        if value is None:
            return struct.unpack_from("<H", self.data, offset)[0]
        struct.pack_into("<H", self.data, offset, value)
        return value

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.optional + 112 + 8 * index)

    def offset(self, rva):
        for size, address, _, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError("RVA 0x%x in no section" % rva)

    def import_name(self, dll):
        descriptor = self.offset(self.directory(1)[0])
        while struct.unpack_from("<I", self.data, descriptor + 12)[0]:
            name = self.offset(struct.unpack_from("<I", self.data, descriptor + 12)[0])
            end = self.data.index(b"\0", name)
            if self.data[name:end].lower() == dll:
                return name
            descriptor += 20
        raise ValueError("no import of %s" % dll)

    def manifest_entries(self):
        """The manifest's name entry and its data (file offset, size): type 24, first name, first language."""
        rsrc = self.offset(self.directory(2)[0])

        def first_entry(directory, ident=None):
            named, ids = struct.unpack_from("<HH", self.data, directory + 12)
            for entry in range(directory + 16, directory + 16 + 8 * (named + ids), 8):
                if ident is None or struct.unpack_from("<I", self.data, entry)[0] == ident:
                    return entry, rsrc + (struct.unpack_from("<I", self.data, entry + 4)[0] & 0x7FFFFFFF)
            raise ValueError("no manifest resource")

        _, names = first_entry(rsrc, RT_MANIFEST)
        name, languages = first_entry(names)
        _, leaf = first_entry(languages)
        rva, size = struct.unpack_from("<II", self.data, leaf)
        return name, self.offset(rva), size


def set_flag(field, bit, on):
    def mutate(pe):
        offset = pe.coff + 18 if field == "file" else pe.optional + 70
        pe.u16(offset, pe.u16(offset) | bit if on else pe.u16(offset) & ~bit)
    return mutate


def rename_import(old, new):
    def mutate(pe):
        name = pe.import_name(old)
        pe.data[name:name + len(new)] = new
    return mutate


def rename_function(old, new):
    def mutate(pe):
        at = pe.data.find(old + b"\0")
        if at < 0 or len(new) > len(old):
            raise ValueError("no import of %s to rename" % old.decode())
        pe.data[at:at + len(old)] = new.ljust(len(old), b"\0")
    return mutate


def set_manifest_id(ident):
    def mutate(pe):
        struct.pack_into("<I", pe.data, pe.manifest_entries()[0], ident)
    return mutate


def rewrite_manifest(text):
    def mutate(pe):
        _, start, room = pe.manifest_entries()
        new = text.encode()
        if len(new) > room:
            raise ValueError("rewritten manifest needs %d bytes, the program has %d" % (len(new), room))
        # Whitespace after the root element keeps the document and the resource size unchanged.
        pe.data[start:start + room] = new + b" " * (room - len(new))
    return mutate


def set_u16(where, value):
    def mutate(pe):
        pe.u16(pe.coff if where == "machine" else pe.optional + 68, value)
    return mutate


def other_subsystem(pe):
    """The window program built for the console, or the console program for the window."""
    gui = pe.u16(pe.optional + 68) == IMAGE_SUBSYSTEM_WINDOWS_GUI
    pe.u16(pe.optional + 68, IMAGE_SUBSYSTEM_WINDOWS_CUI if gui else IMAGE_SUBSYSTEM_WINDOWS_GUI)


def rename_program(pe):
    """The version information's original file name with its first letter changed."""
    key = "OriginalFilename\0".encode("utf-16-le")
    at = pe.data.index(key)
    value = (at + len(key) + 3) & ~3  # 32-bit aligned, as the file offset of the resource is
    pe.data[value:value + 2] = "X".encode("utf-16-le")


def main():
    check, program, machine = sys.argv[1], Path(sys.argv[2]), sys.argv[3]
    other_machine = next(m for m in MACHINES if m != machine)
    dll = b"kernel32.dll"
    cases = [
        # name, mutation, the check lines expected to fail (by their start)
        ("untouched", None, []),
        ("correct manifest, compact", rewrite_manifest(manifest()), []),
        ("trust info in the asm.v2 namespace", rewrite_manifest(manifest(trust_ns="asm.v2")), []),
        ("other machine", set_u16("machine", MACHINES[other_machine]), ["machine"]),
        ("the other subsystem", other_subsystem, ["subsystem"]),
        ("named neither program", rename_program, ["subsystem"]),
        ("no ASLR", set_flag("dll", DYNAMIC_BASE, False), ["ASLR"]),
        ("relocations stripped", set_flag("file", IMAGE_FILE_RELOCS_STRIPPED, True), ["ASLR"]),
        ("no high-entropy addresses", set_flag("dll", HIGH_ENTROPY_VA, False), ["high-entropy"]),
        ("no DEP", set_flag("dll", NX_COMPAT, False), ["DEP"]),
        ("imports the VC++ runtime", rename_import(dll, b"MSVCP140.dll"), ["imports"]),
        # A system DLL, but not a known one: a copy planted beside the program would load instead.
        ("imports the common controls", rename_import(dll, b"COMCTL32.dll"), ["imports"]),
        # The device tree's CM_ functions come from setupapi, a known DLL; cfgmgr32 is not one.
        ("imports cfgmgr32", rename_import(dll, b"CFGMGR32.dll"), ["imports"]),
        # The Universal CRT's host, where only its API sets may be imported.
        ("imports ucrtbase", rename_import(dll, b"ucrtbase.dll"), ["imports"]),
        # Asking a volume for its file system mounts it, and a read-write mount writes.
        ("imports GetVolumeInformationW",
         rename_function(b"GetVolumePathNamesForVolumeNameW", b"GetVolumeInformationW"), ["imports functions"]),
        ("manifest under ID 2", set_manifest_id(2), ["manifest: manifest resources"]),
        ("asInvoker", rewrite_manifest(manifest(level="asInvoker")), ["manifest: execution level"]),
        ("UI access", rewrite_manifest(manifest(ui="true")), ["manifest: execution level"]),
        ("Windows 8.1 missing", rewrite_manifest(manifest(systems=(WIN10,))), ["manifest: supportedOS"]),
        ("Windows 7 added", rewrite_manifest(manifest(systems=(WIN10, WIN81, WIN7))), ["manifest: supportedOS"]),
        ("Windows 10 twice", rewrite_manifest(manifest(systems=(WIN10, WIN10, WIN81))), ["manifest: supportedOS"]),
        ("assembly identity", rewrite_manifest(manifest(extra='<assemblyIdentity name="Ostrevane" version="1.0.0.0" type="win32"/>')),
         ["manifest: manifest holds more"]),
        # Where DPI awareness would be declared (kept short: the rewrite must fit the old manifest's bytes).
        ("window settings", rewrite_manifest(manifest(extra='<application xmlns="urn:schemas-microsoft-com:asm.v3"><windowsSettings/></application>')),
         ["manifest: manifest holds more"]),
        ("not XML", rewrite_manifest(manifest().replace("</trustInfo>", "</trustinfo>")), ["manifest: manifest is not well-formed"]),
    ]

    wrong = 0
    with tempfile.TemporaryDirectory() as folder:
        for name, mutate, expected in cases:
            copy = Path(folder) / "Ostrevane.exe"
            shutil.copyfile(program, copy)
            if mutate:
                pe = Pe(bytearray(copy.read_bytes()))
                mutate(pe)
                copy.write_bytes(pe.data)
            run = subprocess.run([check, str(copy), machine], capture_output=True, text=True)
            failures = [line.strip()[len("FAIL"):].strip() for line in run.stdout.splitlines() if line.strip().startswith("FAIL")]
            caught = len(failures) == len(expected) and all(f.startswith(e) for f, e in zip(failures, expected))
            caught = caught and (run.returncode != 0) == bool(expected)
            print("%-5s %s%s" % ("ok" if caught else "WRONG", name, "" if caught else ": exit %d, failures %s" % (run.returncode, failures)))
            if not caught:
                wrong += 1
                print(run.stdout + run.stderr)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
