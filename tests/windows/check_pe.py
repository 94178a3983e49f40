"""Checks the built Tessaly.dll byte for byte: PE32 for i386, a DLL, exports
BaseProc/ParamProc/ImageProc at ordinals 1/2/3 by undecorated names, only
system DLLs imported, the version resource's texts and numbers, no build time
anywhere (file header, export and resource directories, version resource,
debug directory), and that ImageProc removes its 12 bytes of arguments (ret 0xc).
With --stripped DEBUG_FILE (a release build): no debug sections, and a debug
link naming DEBUG_FILE with its CRC.

usage: check_pe.py Tessaly.dll OBJDUMP [--stripped DEBUG_FILE]
"""
import os
import struct
import subprocess
import sys
import zlib

SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "advapi32.dll", "ntdll.dll"}
WANT_STRINGS = {
    "CompanyName": "",
    "FileDescription": "Tessaly DLL",
    "FileVersion": "1, 0, 0, 1",
    "InternalName": "Tessaly",
    "LegalTrademarks": "",
    "OriginalFilename": "Tessaly.DLL",
    "ProductName": "Tessaly Dynamic Link Library",
    "ProductVersion": "1, 0, 0, 1",
}

failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


path, objdump = sys.argv[1], sys.argv[2]
debug_file = sys.argv[4] if len(sys.argv) == 5 and sys.argv[3] == "--stripped" else None
data = open(path, "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
check(data[pe:pe + 4] == b"PE\0\0", "PE signature")
machine, nsections, stamp, symbols, nsymbols, optsize, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
check(stamp == 0, f"no link time in the file header (0x{stamp:x})")
check(machine == 0x14C, f"machine i386 (0x{machine:x})")
check(characteristics & 0x2000 != 0, f"characteristics mark a DLL (0x{characteristics:x})")
opt = pe + 24
check(struct.unpack_from("<H", data, opt)[0] == 0x10B, "optional header is PE32")
image_base = struct.unpack_from("<I", data, opt + 28)[0]
directories = opt + 96
sections = []
section_names = {}
for i in range(nsections):
    s = opt + optsize + 40 * i
    name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data, s)
    sections.append((vaddr, max(vsize, rawsize), rawptr))
    name = name.rstrip(b"\0").decode("ascii")
    if name.startswith("/"):  # a long name, in the string table after the symbols
        o = symbols + 18 * nsymbols + int(name[1:])
        name = data[o:data.index(b"\0", o)].decode("ascii")
    section_names[name] = (rawptr, rawsize, vsize)


def at(rva):
    for vaddr, size, rawptr in sections:
        if vaddr <= rva < vaddr + size:
            return rawptr + rva - vaddr
    raise ValueError(f"rva 0x{rva:x} outside every section")


def cstring(rva):
    o = at(rva)
    return data[o:data.index(b"\0", o)].decode("ascii")


# Exports: names, ordinals, and where each points.
export_rva = struct.unpack_from("<I", data, directories)[0]
e = at(export_rva)
base, nfuncs, nnames, funcs, names, ordinals = struct.unpack_from("<IIIIII", data, e + 16)
exports = {}
for i in range(nnames):
    name = cstring(struct.unpack_from("<I", data, at(names) + 4 * i)[0])
    index = struct.unpack_from("<H", data, at(ordinals) + 2 * i)[0]
    exports[name] = (base + index, struct.unpack_from("<I", data, at(funcs) + 4 * index)[0])
check(struct.unpack_from("<I", data, e + 4)[0] == 0, "no time in the export directory")
check(sorted(exports) == ["BaseProc", "ImageProc", "ParamProc"], f"exports are exactly three: {sorted(exports)}")
for name, ordinal in (("BaseProc", 1), ("ParamProc", 2), ("ImageProc", 3)):
    check(exports.get(name, (None,))[0] == ordinal, f"{name} is ordinal {ordinal}")

# Imports: only DLLs every Windows has.
import_rva = struct.unpack_from("<I", data, directories + 8)[0]
o = at(import_rva)
imported = []
while True:
    desc = struct.unpack_from("<IIIII", data, o)
    if desc == (0, 0, 0, 0, 0):
        break
    imported.append(cstring(desc[3]))
    o += 20
check(all(d.lower() in SYSTEM_DLLS for d in imported), f"imports only system DLLs: {imported}")

# The version resource: walk type 16 (RT_VERSION) to its data.
resource_rva = struct.unpack_from("<I", data, directories + 16)[0]
root = at(resource_rva)


resource_stamps = []


def entries(offset):
    resource_stamps.append(struct.unpack_from("<I", data, offset + 4)[0])
    named, ids = struct.unpack_from("<HH", data, offset + 12)
    for i in range(named + ids):
        ident, target = struct.unpack_from("<II", data, offset + 16 + 8 * i)
        yield ident, target


version = None
for ident, target in entries(root):
    if ident == 16:
        level2 = root + (target & 0x7FFFFFFF)
        _, t2 = next(entries(level2))
        level3 = root + (t2 & 0x7FFFFFFF)
        _, t3 = next(entries(level3))
        rva, size = struct.unpack_from("<II", data, root + t3)
        version = data[at(rva):at(rva) + size]
check(version is not None, "a version resource")
check(resource_stamps and not any(resource_stamps), f"no time in the resource directories {resource_stamps}")
strings = {}
fixed = None
if version:
    def walk(block, depth=0):
        global fixed
        length, value_length, kind = struct.unpack_from("<HHH", block, 0)
        end_key = 6
        while block[end_key:end_key + 2] != b"\0\0":
            end_key += 2
        key = block[6:end_key].decode("utf-16-le")
        o = (end_key + 2 + 3) & ~3
        value_bytes = 2 * value_length if kind == 1 else value_length  # text values count WCHARs
        if key == "VS_VERSION_INFO":
            fixed = struct.unpack_from("<13I", block, o)
        elif depth == 3:
            strings[key] = block[o:o + value_bytes].decode("utf-16-le").rstrip("\0")
            return
        o = (o + value_bytes + 3) & ~3
        while o < length:
            child_length = struct.unpack_from("<H", block, o)[0]
            if child_length == 0:
                break
            walk(block[o:o + child_length], depth + 1)
            o = (o + child_length + 3) & ~3

    walk(version)
for key, want in WANT_STRINGS.items():
    check(strings.get(key) == want, f"{key} = {want!r} (found {strings.get(key)!r})")
if fixed:
    check(fixed[0] == 0xFEEF04BD, "VS_FIXEDFILEINFO signature")
    check((fixed[2], fixed[3]) == (0x00010000, 0x00000001), "FileVersion 1.0.0.1")
    check((fixed[4], fixed[5]) == (0x00010000, 0x00000001), "ProductVersion 1.0.0.1")
    check(fixed[9] == 2, "file type VFT_DLL")
    check((fixed[11], fixed[12]) == (0, 0), "no file date in the version resource")

# A debug directory, when there is one, carries no time either.
debug_rva, debug_size = struct.unpack_from("<II", data, directories + 8 * 6)
debug_stamps = [struct.unpack_from("<I", data, at(debug_rva) + o + 4)[0] for o in range(0, debug_size, 28)]
check(not any(debug_stamps), f"no time in the debug directory {debug_stamps}")

if debug_file:
    debug_sections = sorted(n for n in section_names if n.startswith(".debug"))
    check(not debug_sections, f"stripped: no debug sections {debug_sections}")
    link = section_names.get(".gnu_debuglink")
    check(link is not None, "a .gnu_debuglink section")
    if link:
        rawptr, rawsize, vsize = link
        body = data[rawptr:rawptr + min(rawsize, vsize)]
        name = body[:body.index(b"\0")].decode("ascii")
        crc = struct.unpack_from("<I", body, (len(name) + 4) & ~3)[0]
        want = zlib.crc32(open(debug_file, "rb").read()) & 0xFFFFFFFF
        check(name == os.path.basename(debug_file), f"the debug link names {os.path.basename(debug_file)} ({name})")
        check(crc == want, f"the debug link's CRC is the debug file's (0x{crc:08x}, file 0x{want:08x})")

# ImageProc is stdcall: its code returns with ret 0xc (removing 12 bytes).
image_proc = exports.get("ImageProc", (0, 0))[1]
if image_proc:
    start = image_base + image_proc
    dis = subprocess.run([objdump, "-d", f"--start-address={start}", f"--stop-address={start + 512}", path],
                         capture_output=True, text=True, check=True).stdout
    returns = [line.split("\t")[-1].strip() for line in dis.splitlines() if "\tret" in line]
    check(bool(returns) and returns[0].replace(" ", "") == "ret$0xc", f"ImageProc returns with ret $0xc ({returns[:1]})")

print(f"{len(failures)} failed" if failures else "PE checks passed")
sys.exit(1 if failures else 0)
