#!/usr/bin/env python3
"""The hardening of a shipped Windows image, read from its PE header.
  pe_hardening.py TOOL-PREFIX IMAGE [DEBUG-FILE]
TOOL-PREFIX names the binutils (i686-w64-mingw32-). Fails, naming what is missing, when:
- the image lacks DYNAMIC_BASE (address space layout randomisation) or NX_COMPAT (data
  execution prevention), or, as a 32-bit image, the NO_SEH mark;
- a 32-bit image registers a structured exception handler after all (its code touches
  the thread's handler list at fs:[0]), which would make the NO_SEH mark a lie;
- a section is both writable and executable;
- it imports a DLL that is not Windows' own (the stack protector's libssp-0.dll above all:
  its support code must be linked in);
- its symbols (in DEBUG-FILE, the image being stripped) hold no stack protector.
"""
import re
import struct
import subprocess
import sys

DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
NO_SEH = 0x0400
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll", "kernel32.dll",
    "msvcrt.dll", "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "version.dll",
    "winhttp.dll", "winspool.drv", "ws2_32.dll", "windowscodecs.dll", "uuid.dll",
}


def header(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("FAILED: not a PE image")
    machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
    table = optional + optional_size
    section_list = []
    for i in range(sections):
        entry = table + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode(errors="replace")
        characteristics = struct.unpack_from("<I", data, entry + 36)[0]
        section_list.append((name, characteristics))
    return {"machine": machine, "pe32": magic == 0x10B, "dll_characteristics": dll_characteristics,
            "sections": section_list}


def main():
    prefix, image = sys.argv[1], sys.argv[2]
    debug = sys.argv[3] if len(sys.argv) > 3 else image
    data = open(image, "rb").read()
    info = header(data)
    failures = []
    flags = info["dll_characteristics"]
    wanted = [("DYNAMIC_BASE", DYNAMIC_BASE), ("NX_COMPAT", NX_COMPAT)]
    if info["pe32"]:
        wanted.append(("NO_SEH", NO_SEH))
    for name, bit in wanted:
        if not flags & bit:
            failures.append(f"DllCharacteristics 0x{flags:04x} lacks {name}")
    for name, characteristics in info["sections"]:
        if characteristics & SCN_MEM_WRITE and characteristics & SCN_MEM_EXECUTE:
            failures.append(f"section {name} is writable and executable")

    if info["pe32"]:
        code = subprocess.run([prefix + "objdump", "-d", "--no-show-raw-insn", image], check=True,
                              capture_output=True, text=True).stdout
        registering = [line.strip() for line in code.splitlines() if re.search(r"%fs:0x0(?![0-9a-fx])", line)]
        if registering:
            failures.append("the code uses the handler list at fs:[0]: " + "; ".join(registering[:3]))

    listing = subprocess.run([prefix + "objdump", "-p", image], check=True, capture_output=True, text=True).stdout
    imports = re.findall(r"DLL Name: (\S+)", listing)
    foreign = [dll for dll in imports if dll.lower() not in SYSTEM_DLLS]
    if foreign:
        failures.append("imports DLLs that are not Windows' own: " + ", ".join(foreign))

    symbols = subprocess.run([prefix + "nm", debug], check=True, capture_output=True, text=True).stdout
    if not re.search(r" T ___stack_chk_fail$| T __stack_chk_fail$", symbols, re.M):
        failures.append(f"no stack protector: {debug} defines no __stack_chk_fail")

    if failures:
        sys.exit("FAILED: " + image + ":\n  " + "\n  ".join(failures))
    print(f"ok {image}: DllCharacteristics 0x{flags:04x}, {len(info['sections'])} sections, none writable and "
          f"executable, imports {', '.join(imports)}, stack protector linked in")


if __name__ == "__main__":
    main()
