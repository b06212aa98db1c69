#!/usr/bin/env python3
"""Checks of the NT target's output, against nt/imports.allow.

  check-image.py archive LIB.a ALLOW    the driver objects (always)
  check-image.py image TAL.sys ALLOW    the linked kernel image (once it links)
  check-image.py checksum TAL.sys       write the PE checksum (post-link step)

Exit status 0 when every check passes, 1 with one line per failure otherwise.
Uses the mingw-w64 binutils (nm, objdump) for symbols and disassembly and
reads the PE headers itself.
"""
import re
import struct
import subprocess
import sys

TRIPLE = "i686-w64-mingw32"
NM = TRIPLE + "-nm"
OBJDUMP = TRIPLE + "-objdump"

# Dll names as the import libraries spell them; "static" marks the libgcc
# helpers that are linked into the image, never imported.
DLLS = {"ndis.sys": "NDIS.SYS", "hal.dll": "HAL.dll", "ntoskrnl.exe": "ntoskrnl.exe",
        "static": "static"}

# Symbols that mean a C++ or C runtime the kernel does not have.
RUNTIME_PATTERNS = [
    (re.compile(r"^__cxa_"), "C++ ABI runtime"),
    (re.compile(r"^__gxx_personality"), "exception personality"),
    (re.compile(r"^_Unwind_"), "unwinder"),
    (re.compile(r"^_Zn[wa]"), "operator new"),
    (re.compile(r"^_Zd[la]"), "operator delete"),
    (re.compile(r"^_ZT[IVS]"), "RTTI or vtable of the runtime"),
    (re.compile(r"^(atexit|_onexit|__dso_handle|__main)$"), "static constructor/destructor runtime"),
    (re.compile(r"^(__chkstk|___chkstk_ms|_alloca|__alloca)$"), "stack probe"),
    (re.compile(r"^(__stack_chk_|__security_)"), "stack protector"),
    (re.compile(r"^__(ctor|dtor|CTOR|DTOR)_LIST__$"), "constructor list"),
]
# Sections an object of the driver must not have.
# In an image, names longer than 8 characters are cut (.eh_frame: .eh_fram).
FORBIDDEN_SECTIONS = re.compile(
    r"^(\.ctors|\.dtors|\.init_arr|\.fini_arr|\.eh_fram|\.gcc_exce|\.tls|\.CRT)")
# x87, MMX, SSE and AVX: registers and mnemonics.
FP_REGISTERS = re.compile(r"%(st(\(\d\))?|x?mm\d+|[yz]mm\d+|mxcsr)\b")
FP_MNEMONIC = re.compile(
    r"^(f[a-z0-9]+|emms|femms|[lsv]?(ld|st)mxcsr|fxsave|fxrstor|"
    r"(v)?(cvt|mov(ap|up|ss|sd|d|q|hl|lh|hp|lp|nt))[a-z0-9]*|"
    r"(v)?(add|sub|mul|div|sqrt|min|max|and|andn|or|xor|cmp|comi|ucomi|rcp|rsqrt|shuf|unpck)[ps][sd]|"
    r"(v)?p[a-z0-9]+)$")


def run(cmd):
    res = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if res.returncode != 0:
        sys.exit("check-image: '%s' failed: %s" % (" ".join(cmd), res.stderr.strip()))
    return res.stdout


def plain_name(sym):
    """The C name behind an i386 COFF symbol: __imp_ and the decoration
    (leading _ or fastcall @, trailing @bytes) removed."""
    imported = sym.startswith("__imp_")
    if imported:
        sym = sym[len("__imp_"):]
    if sym[:1] in ("_", "@"):
        sym = sym[1:]
    sym = re.sub(r"@\d+$", "", sym)
    return sym, imported


def load_allow(path):
    allow = {}
    with open(path) as f:
        for n, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split()
            if len(parts) != 2 or parts[0].lower() not in DLLS:
                sys.exit("check-image: %s:%d: expected 'DLL name' with DLL one of %s"
                         % (path, n, ", ".join(sorted(DLLS.values()))))
            allow[parts[1]] = DLLS[parts[0].lower()]
    return allow


def check_code(path, failures, what):
    """No floating point or vector instructions anywhere in the code."""
    current = "?"
    hits = 0
    for line in run([OBJDUMP, "-d", "--no-show-raw-insn", path]).splitlines():
        m = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if m:
            current = m.group(1)
            continue
        m = re.match(r"^\s*[0-9a-f]+:\s+(\S+)\s*(.*)$", line)
        if not m:
            continue
        mnemonic, operands = m.group(1), m.group(2)
        if mnemonic in ("lock", "rep", "repz", "repnz", "data16") and operands:
            mnemonic, _, operands = operands.partition(" ")
        if FP_MNEMONIC.match(mnemonic) or FP_REGISTERS.search(operands):
            if mnemonic in ("pop", "push", "popa", "pusha", "popf", "pushf", "pause",
                            "popl", "pushl", "popw", "pushw"):
                continue
            hits += 1
            if hits <= 10:
                failures.append("%s: floating point/vector instruction in %s: %s %s"
                                % (what, current, mnemonic, operands))
    if hits > 10:
        failures.append("%s: ... %d floating point/vector instructions in all" % (what, hits))


def check_archive(lib, allow_path):
    allow = load_allow(allow_path)
    failures = []

    # Symbols: defined anywhere in the archive, or undefined somewhere.
    defined, undefined = set(), {}
    member = "?"
    for line in run([NM, "-A", lib]).splitlines():
        m = re.match(r"^[^:]+:([^:]+):\s*([0-9a-f]*)\s+(\S)\s+(\S+)$", line)
        if not m:
            continue
        member, kind, sym = m.group(1), m.group(3), m.group(4)
        if kind == "U":
            undefined.setdefault(sym, set()).add(member)
        else:
            defined.add(sym)
            for pattern, why in RUNTIME_PATTERNS:
                if pattern.match(plain_name(sym)[0]) or pattern.match(sym):
                    failures.append("%s: defines %s (%s)" % (member, sym, why))
    for sym in sorted(undefined):
        if sym in defined:
            continue
        name, imported = plain_name(sym)
        users = ", ".join(sorted(undefined[sym]))
        why = next((w for p, w in RUNTIME_PATTERNS if p.match(name) or p.match(sym)), None)
        if why:
            failures.append("%s: needs %s (%s)" % (users, sym, why))
        elif name not in allow:
            failures.append("%s: calls %s, which is not in %s" % (users, name, allow_path))
        elif allow[name] == "static" and imported:
            failures.append("%s: imports %s, which must be linked in" % (users, name))

    # Sections: no static constructor lists, no unwind or exception tables.
    member = "?"
    for line in run([OBJDUMP, "-h", lib]).splitlines():
        m = re.match(r"^(\S+):\s+file format", line)
        if m:
            member = m.group(1)
            continue
        m = re.match(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)", line)
        if m and FORBIDDEN_SECTIONS.match(m.group(1)) and int(m.group(2), 16) > 0:
            failures.append("%s: has section %s (static constructors, unwinding or TLS)"
                            % (member, m.group(1)))

    check_code(lib, failures, "archive")
    return failures


class PE:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = bytearray(f.read())
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError("no MZ header")
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, self.nsections, _, _, _, self.opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, self.pe + 4)
        self.opt = self.pe + 24
        self.magic = struct.unpack_from("<H", d, self.opt)[0]
        self.entry = struct.unpack_from("<I", d, self.opt + 16)[0]
        self.image_base = struct.unpack_from("<I", d, self.opt + 28)[0]
        self.checksum_offset = self.opt + 64
        self.checksum = struct.unpack_from("<I", d, self.checksum_offset)[0]
        self.subsystem = struct.unpack_from("<H", d, self.opt + 68)[0]
        ndirs = struct.unpack_from("<I", d, self.opt + 92)[0]
        self.dirs = [struct.unpack_from("<II", d, self.opt + 96 + 8 * i) for i in range(ndirs)]
        self.sections = []
        sec = self.opt + self.opt_size
        for i in range(self.nsections):
            name, vsize, va, rsize, rptr = struct.unpack_from("<8sIIII", d, sec + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), va, vsize, rptr, rsize))

    def offset(self, rva):
        for _, va, vsize, rptr, rsize in self.sections:
            if va <= rva < va + max(vsize, rsize):
                return rptr + rva - va
        raise ValueError("RVA 0x%x outside every section" % rva)

    def cstring(self, rva):
        off = self.offset(rva)
        end = self.data.index(0, off)
        return self.data[off:end].decode("latin-1")

    def imports(self):
        """[(dll, name or None for an ordinal)]"""
        out = []
        if len(self.dirs) < 2 or self.dirs[1][0] == 0:
            return out
        desc = self.offset(self.dirs[1][0])
        while True:
            ilt, _, _, name_rva, iat = struct.unpack_from("<IIIII", self.data, desc)
            if name_rva == 0:
                break
            dll = self.cstring(name_rva)
            thunk = self.offset(ilt or iat)
            while True:
                value = struct.unpack_from("<I", self.data, thunk)[0]
                if value == 0:
                    break
                out.append((dll, None if value & 0x80000000 else self.cstring(value + 2)))
                thunk += 4
            desc += 20
        return out

    def compute_checksum(self):
        d = bytes(self.data[:self.checksum_offset]) + b"\0\0\0\0" + \
            bytes(self.data[self.checksum_offset + 4:])
        if len(d) % 2:
            d += b"\0"
        total = 0
        for (word,) in struct.iter_unpack("<H", d):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF


def check_image(image, allow_path):
    allow = load_allow(allow_path)
    failures = []
    try:
        pe = PE(image)
    except (OSError, ValueError) as e:
        return ["%s: not a PE image: %s" % (image, e)]
    if pe.machine != 0x14C:
        failures.append("machine 0x%x, not i386" % pe.machine)
    if pe.magic != 0x10B:
        failures.append("optional header magic 0x%x, not PE32" % pe.magic)
    if not pe.characteristics & 0x0002:
        failures.append("not marked executable")
    if pe.subsystem != 1:
        failures.append("subsystem %d, not native (1)" % pe.subsystem)
    if pe.characteristics & 0x0001:
        failures.append("relocations stripped")
    if len(pe.dirs) < 6 or pe.dirs[5][1] == 0:
        failures.append("no base relocations: the image cannot be loaded elsewhere")
    if len(pe.dirs) > 9 and pe.dirs[9][1] != 0:
        failures.append("has a TLS directory")
    if pe.checksum != pe.compute_checksum():
        failures.append("PE checksum 0x%x, should be 0x%x" % (pe.checksum, pe.compute_checksum()))
    # The image as linked, libgcc's helpers included: their unwind tables
    # are as foreign to a driver as the driver's own would be.
    for name, *_ in pe.sections:
        if FORBIDDEN_SECTIONS.match(name):
            failures.append("has section %s" % name)

    entry = None
    for line in run([NM, image]).splitlines():
        parts = line.split()
        if len(parts) != 3:
            continue
        if parts[2] == "_DriverEntry@8" and parts[1] in "Tt":
            entry = int(parts[0], 16) - pe.image_base
        elif parts[2] in ("___CTOR_LIST__", "___DTOR_LIST__"):
            # ld's list: -1, the functions, 0. Nothing runs it in a driver.
            rva = int(parts[0], 16) - pe.image_base
            first = struct.unpack_from("<I", pe.data, pe.offset(rva + 4))[0]
            if first != 0:
                failures.append("%s is not empty: static constructors or destructors "
                                "that nothing would run" % parts[2].strip("_"))
    if entry is None:
        failures.append("no symbol _DriverEntry@8")
    elif pe.entry != entry:
        failures.append("entry point RVA 0x%x is not DriverEntry (0x%x)" % (pe.entry, entry))

    for dll, name in pe.imports():
        if name is None:
            failures.append("import by ordinal from %s" % dll)
        elif name not in allow:
            failures.append("imports %s!%s, which is not in %s" % (dll, name, allow_path))
        elif allow[name] == "static":
            failures.append("imports %s!%s, which must be linked in" % (dll, name))
        elif allow[name].lower() != dll.lower():
            failures.append("imports %s from %s, allowed only from %s" % (name, dll, allow[name]))

    check_code(image, failures, "image")
    return failures


def write_checksum(image):
    pe = PE(image)
    struct.pack_into("<I", pe.data, pe.checksum_offset, pe.compute_checksum())
    with open(image, "wb") as f:
        f.write(pe.data)
    return []


def main(argv):
    if len(argv) == 4 and argv[1] == "archive":
        failures, what = check_archive(argv[2], argv[3]), argv[2]
    elif len(argv) == 4 and argv[1] == "image":
        failures, what = check_image(argv[2], argv[3]), argv[2]
    elif len(argv) == 3 and argv[1] == "checksum":
        failures, what = write_checksum(argv[2]), argv[2]
    else:
        sys.exit(__doc__)
    for f in failures:
        print("FAIL %s: %s" % (what, f))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
