#!/usr/bin/env bash
# Checks programs the way a technician's machine will meet them:
#   scripts/check-release.sh PROGRAM.exe AMD64|ARM64 [PROGRAM.exe AMD64|ARM64 ...]
# For each: the machine type, the subsystem of the program its version information names (GUI
# for Ostrevane.exe, console for ostrevane-cli.exe), ASLR (with its relocations kept),
# high-entropy addresses, DEP, imports only of DLLs that Windows loads from the system folder
# whatever lies beside the program, and the application manifest, which must hold exactly the
# administrator execution level without UI access and the two supported-OS entries; it also
# shows the version that the version information gives. llvm-readobj reads both machines'
# programs. Prints one line per check and exits non-zero when any check fails.
set -euo pipefail

readobj=$(command -v llvm-readobj || command -v llvm-readobj-14 || true)
if [ -z "$readobj" ]; then
  echo "llvm-readobj is missing: run scripts/setup.sh" >&2
  exit 2
fi
if [ $# -eq 0 ] || [ $(($# % 2)) -ne 0 ]; then
  echo "usage: $0 PROGRAM.exe AMD64|ARM64 [PROGRAM.exe AMD64|ARM64 ...]" >&2
  exit 2
fi

# The program runs elevated from wherever it was copied, and Windows looks for an imported DLL
# beside the program first unless it is one of these, all part of every WinPE
# (https://learn.microsoft.com/windows/win32/dlls/dynamic-link-library-search-order):
# - known DLLs, always taken from the system folder: kernel32, user32, gdi32, setupapi (the
#   device tree, CM_ functions included) and msvcrt, the C runtime of mingw-w64;
# - ntdll, which Windows maps into every process before anything else loads;
# - the Universal CRT of Zig's programs, through its API sets only: names that the loader
#   resolves to their host and never looks for as files. The host, ucrtbase, is no known DLL,
#   and neither program imports it directly.
# Anything else, the common controls included, is loaded at run time from the system folder.
allowed_dlls='^(kernel32|user32|gdi32|setupapi|msvcrt|ntdll|api-ms-win-crt-[a-z]+-l1-1-0)\.dll$'

# Reads the resource dump of llvm-readobj on stdin: the resource types must be the manifest,
# the icon and the version information only, and the manifest one resource (ID 1, the one a
# process start reads) whose XML says exactly what it must. Prints "version " and the file
# version that the version information gives, and "name " and its original file name, when it
# does, then the problems found, one a line.
read -r -d '' resource_check <<'PY' || true
import re, struct, sys
import xml.etree.ElementTree as ET

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
TRUST = ("{urn:schemas-microsoft-com:asm.v3}", "{urn:schemas-microsoft-com:asm.v2}")
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
}

leaves = {}
path = []
for line in sys.stdin:
    entry = re.match(r"^(\s*)(Type|Name|Language): (.*?) \[$", line)
    if entry:
        depth = len(entry.group(1)) // 2 - 1
        path[depth:] = [entry.group(3)]
        continue
    data = re.match(r"^\s*[0-9A-F]{4}: ([0-9A-F ]+)\|", line)
    if data and len(path) == 3:
        leaves.setdefault(tuple(path), bytearray()).extend(bytes.fromhex(data.group(1)))

# The fixed part of the version information follows its signature: the file version, then the
# product version, each as two 32-bit halves holding two 16-bit numbers, most significant first.
for key, data in leaves.items():
    at = data.find(struct.pack("<I", 0xFEEF04BD)) if key[0].startswith("VERSIONINFO ") else -1
    if at >= 0 and at + 24 <= len(data):
        numbers = struct.unpack_from("<4I", data, at + 8)
        dotted = ["%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF) for ms, ls in (numbers[:2], numbers[2:])]
        print("version " + dotted[0] + ("" if dotted[0] == dotted[1] else ", product version " + dotted[1]))
    # A string's value follows its UTF-16 key and terminator, from the next 32-bit boundary of
    # the resource, up to its own terminator.
    at = data.find("OriginalFilename\0".encode("utf-16-le")) if key[0].startswith("VERSIONINFO ") else -1
    if at >= 0:
        start = (at + 34 + 3) & ~3
        end = start
        while end + 1 < len(data) and data[end:end + 2] != bytes(2):
            end += 2
        print("name " + data[start:end].decode("utf-16-le", "replace"))

problems = []
types = {key[0].split()[0] for key in leaves}
if not types <= {"MANIFEST", "ICON", "GROUP_ICON", "VERSIONINFO"}:
    problems.append("resources other than the manifest, the icon and the version information: " + ", ".join(sorted(types)))
manifests = [key for key in leaves if key[0].startswith("MANIFEST ")]
if [key[1] for key in manifests] != ["(ID 1)"]:
    problems.append("manifest resources %s, expected exactly one with ID 1" % [key[1] for key in manifests])
if not manifests:
    print("\n".join(problems))
    sys.exit()

def only_child(element, tag):
    children = list(element)
    if len(children) != 1 or children[0].tag != tag:
        problems.append("%s holds %s, expected only %s" % (element.tag, [c.tag for c in children], tag))
        return None
    return children[0]

def no_text(element):
    for text in [element.text] + [child.tail for child in element]:
        if text and text.strip():
            problems.append("unexpected text in %s: %r" % (element.tag, text.strip()))

try:
    root = ET.fromstring(bytes(leaves[manifests[0]]))
except ET.ParseError as error:
    problems.append("manifest is not well-formed XML: %s" % error)
    print("\n".join(problems))
    sys.exit()

if root.tag != ASM_V1 + "assembly" or root.attrib != {"manifestVersion": "1.0"}:
    problems.append("root is %s %s, expected assembly with manifestVersion 1.0 only" % (root.tag, root.attrib))
no_text(root)
trust = [c for c in root if c.tag in (ns + "trustInfo" for ns in TRUST)]
compat = [c for c in root if c.tag == COMPAT + "compatibility"]
others = [c.tag for c in root if c not in trust and c not in compat]
if others:
    problems.append("manifest holds more than trust and compatibility: %s" % others)
if len(trust) != 1:
    problems.append("%d trustInfo elements, expected 1" % len(trust))
else:
    ns = trust[0].tag[: trust[0].tag.index("}") + 1]
    level = trust[0]
    for tag in ("security", "requestedPrivileges", "requestedExecutionLevel"):
        no_text(level)
        level = only_child(level, ns + tag)
        if level is None:
            break
    if level is not None:
        if level.attrib != {"level": "requireAdministrator", "uiAccess": "false"}:
            problems.append("execution level %s, expected requireAdministrator with uiAccess false only" % level.attrib)
        if len(level) or (level.text and level.text.strip()):
            problems.append("requestedExecutionLevel has content")
if len(compat) != 1:
    problems.append("%d compatibility elements, expected 1" % len(compat))
else:
    no_text(compat[0])
    application = only_child(compat[0], COMPAT + "application")
    if application is not None:
        no_text(application)
        ids = []
        for child in application:
            if child.tag != COMPAT + "supportedOS" or list(child.attrib) != ["Id"] or len(child):
                problems.append("compatibility entry %s %s, expected supportedOS with Id only" % (child.tag, child.attrib))
            else:
                ids.append(child.attrib["Id"].lower())
        if sorted(ids) != sorted(SUPPORTED_OS):
            problems.append("supportedOS %s, expected %s" % (ids, sorted(SUPPORTED_OS)))
print("\n".join(problems))
PY

status=0
ok() { printf '  ok    %s\n' "$1"; }
failed() { printf '  FAIL  %s\n' "$1"; status=1; }

while [ $# -gt 0 ]; do
  program=$1 machine=$2
  shift 2
  if [ ! -f "$program" ]; then
    echo "$program"
    failed "program not found"
    continue
  fi
  echo "$program ($(stat -c %s "$program") bytes)"
  headers=$("$readobj" --file-headers "$program")
  field() { sed -n "s/^ *$1: \([A-Za-z0-9_]*\).*/\1/p" <<<"$headers" | head -n 1; }
  flag() { grep -qw "$1" <<<"$headers"; }

  found=$(field Machine)
  if [ "$found" = "IMAGE_FILE_MACHINE_$machine" ]; then ok "machine $machine"; else failed "machine ${found:-unknown}, expected $machine"; fi

  # The window program and the console program beside it, told apart by their version information.
  report=$("$readobj" --coff-resources "$program" | python3 -c "$resource_check")
  name=$(sed -n 's/^name //p' <<<"$report")
  case "$name" in
    Ostrevane.exe) expected=IMAGE_SUBSYSTEM_WINDOWS_GUI kind=GUI ;;
    ostrevane-cli.exe) expected=IMAGE_SUBSYSTEM_WINDOWS_CUI kind=console ;;
    *) expected="" kind="" ;;
  esac
  found=$(field Subsystem)
  if [ -z "$expected" ]; then
    failed "subsystem: the version information names ${name:-no program}, neither Ostrevane.exe nor ostrevane-cli.exe"
  elif [ "$found" = "$expected" ]; then
    ok "$kind subsystem ($name)"
  else
    failed "subsystem ${found:-unknown}, expected $kind for $name"
  fi

  # ASLR needs the base relocations too: a linker that drops them leaves the image unmovable.
  if flag IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE && ! flag IMAGE_FILE_RELOCS_STRIPPED &&
     [ "$(field BaseRelocationTableSize)" != 0x0 ]; then
    ok "ASLR (DYNAMIC_BASE, relocations kept)"
  else
    failed "ASLR: DYNAMIC_BASE off or relocations stripped"
  fi

  if flag IMAGE_DLL_CHARACTERISTICS_HIGH_ENTROPY_VA && flag IMAGE_FILE_LARGE_ADDRESS_AWARE; then
    ok "high-entropy addresses (HIGH_ENTROPY_VA, LARGE_ADDRESS_AWARE)"
  else
    failed "high-entropy addresses: HIGH_ENTROPY_VA or LARGE_ADDRESS_AWARE off"
  fi

  if flag IMAGE_DLL_CHARACTERISTICS_NX_COMPAT; then ok "DEP (NX_COMPAT)"; else failed "DEP: NX_COMPAT off"; fi

  # Both the ordinary and the delay-loaded imports.
  dlls=$("$readobj" --coff-imports "$program" | sed -n 's/^ *Name: \(.*\)$/\1/p' | sort -fu)
  others=$(tr '[:upper:]' '[:lower:]' <<<"$dlls" | grep -Ev "$allowed_dlls" || true)
  if [ -z "$dlls" ]; then
    failed "imports: none found"
  elif [ -z "$others" ]; then
    ok "imports only known DLLs and API sets: $(paste -sd ' ' <<<"$dlls")"
  else
    failed "imports DLLs that Windows would look for beside the program: $(paste -sd ' ' <<<"$others")"
  fi

  # Asking a volume that is not mounted yet for its file system or free space makes Windows
  # mount it, and a read-write mount writes to the drive: neither program may import them.
  mounting=$("$readobj" --coff-imports "$program" | sed -n 's/^ *Symbol: \([A-Za-z0-9_]*\).*$/\1/p' |
    grep -Ex 'GetVolumeInformation(A|W|ByHandleW)|GetDiskFreeSpace(Ex)?[AW]' | sort -u || true)
  if [ -z "$mounting" ]; then
    ok "imports nothing that mounts a volume"
  else
    failed "imports functions that mount a volume: $(paste -sd ' ' <<<"$mounting")"
  fi

  problems=$(sed '/^version /d; /^name /d' <<<"$report")
  if [ -z "$problems" ]; then
    ok "manifest: requireAdministrator, uiAccess false, supportedOS Windows 10/11 and 8.1, nothing else"
  else
    while IFS= read -r problem; do failed "manifest: $problem"; done <<<"$problems"
  fi
  version=$(sed -n 's/^version //p' <<<"$report")
  printf '  info  version %s\n' "${version:-information missing}"
done
exit $status
