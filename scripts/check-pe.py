#!/usr/bin/env python3
"""Checks a Windows build of the program: PE header, imported DLLs and the resources.

    check-pe.py EXE [--machine i386|amd64]

Exits non-zero with one line per problem; prints a short summary when all is well.
"""
import argparse
import struct
import sys

MACHINES = {"i386": 0x14C, "amd64": 0x8664}
SUBSYSTEM_GUI = 2
STACK_RESERVE = 50_000_000
RT_ICON, RT_BITMAP, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 2, 5, 14, 16, 24
LANG_ZH_CN = 0x0804
# DLLs that every Windows installation has; anything else would have to ship beside the program.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "msvcrt.dll",
               "ws2_32.dll", "advapi32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll",
               "comdlg32.dll", "winspool.drv", "uuid.dll", "api-ms-win-crt-runtime-l1-1-0.dll"}

problems = []


def check(ok, what):
    if not ok:
        problems.append(what)
    return ok


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        off = struct.unpack_from("<I", data, 0x3C)[0]
        if data[off:off + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, nsect, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, off + 4)
        opt = off + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        self.pe32plus = magic == 0x20B
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        if self.pe32plus:
            self.stack_reserve = struct.unpack_from("<Q", data, opt + 72)[0]
            dirs = opt + 112
        else:
            self.stack_reserve = struct.unpack_from("<I", data, opt + 72)[0]
            dirs = opt + 96
        self.dirs = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        sect = opt + opt_size
        for i in range(nsect):
            _, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, sect + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def at(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("RVA %#x outside every section" % rva)

    def cstr(self, rva):
        start = self.at(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        rva, size = self.dirs[1]
        names = []
        pos = self.at(rva) if size else None
        while pos is not None:
            fields = struct.unpack_from("<IIIII", self.data, pos)
            if not any(fields):
                break
            names.append(self.cstr(fields[3]))
            pos += 20
        return names

    def resources(self):
        """{(type, name): {lang: bytes}} for numeric types and names."""
        rva, size = self.dirs[2]
        out = {}
        if not size:
            return out
        base = self.at(rva)

        def entries(off):
            named, ids = struct.unpack_from("<HH", self.data, base + off + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + off + 16 + 8 * i)
                yield (None if name & 0x80000000 else name), target

        for rtype, t1 in entries(0):
            for rname, t2 in entries(t1 & 0x7FFFFFFF):
                for lang, t3 in entries(t2 & 0x7FFFFFFF):
                    drva, dsize = struct.unpack_from("<II", self.data, base + t3)
                    start = self.at(drva)
                    out.setdefault((rtype, rname), {})[lang] = self.data[start:start + dsize]
        return out


def sz_or_ord(data, pos):
    """A dialog template's name-or-ordinal field: (value, next position)."""
    first = struct.unpack_from("<H", data, pos)[0]
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    end = pos
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def align4(pos):
    return (pos + 3) & ~3


WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x10000000, 0x00C00000, 0x00080000
WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0x00040000, 0x00020000, 0x00010000
WS_GROUP, WS_TABSTOP, WS_BORDER, WS_VSCROLL = 0x00020000, 0x00010000, 0x00800000, 0x00200000
DS_MODALFRAME, DS_SETFONT, WS_EX_APPWINDOW = 0x80, 0x40, 0x40000
BUTTON, EDIT, STATIC = 0x80, 0x81, 0x82
BS_DEFPUSHBUTTON, BS_GROUPBOX, SS_BITMAP, PBS_SMOOTH = 1, 7, 0x0E, 1
ES_MULTILINE, ES_AUTOHSCROLL, ES_READONLY = 0x4, 0x80, 0x800

STEPS = ("1. Connect device to PC with USB cable.\n\n2. Click 'Update' button.\n\n"
         "3. Wait update finish.")
# id, class, text, x, y, w, h, style bits that must be set, style bits that must be clear
CONTROLS = [
    (1, BUTTON, "\u786e\u5b9a", 133, 5, 13, 6, BS_DEFPUSHBUTTON | WS_TABSTOP, WS_VISIBLE),
    (2, BUTTON, "\u53d6\u6d88", 156, 0, 13, 14, WS_TABSTOP, WS_VISIBLE | BS_DEFPUSHBUTTON),
    (0xFFFFFFFF, BUTTON, "Steps", 9, 5, 155, 78, BS_GROUPBOX | WS_VISIBLE, 0),
    (0xFFFFFFFF, STATIC, STEPS, 21, 24, 137, 45, WS_GROUP | WS_VISIBLE, 0),
    (1000, "msctls_progress32", "", 0, 157, 297, 8, PBS_SMOOTH | WS_VISIBLE, 0),
    (1001, BUTTON, "Update", 9, 94, 70, 43, WS_TABSTOP | WS_VISIBLE, BS_DEFPUSHBUTTON),
    (1002, STATIC, "", 7, 143, 288, 11, WS_GROUP | WS_VISIBLE, 0),
    (0xFFFFFFFF, STATIC, 129, 0, 0, 272, 5, SS_BITMAP | WS_VISIBLE, 0),
    (1003, EDIT, "", 178, 17, 105, 115,
     ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 0),
    (0xFFFFFFFF, BUTTON, "Device Info", 173, 5, 114, 132, BS_GROUPBOX | WS_VISIBLE, 0),
    (1004, BUTTON, "Device Info", 94, 94, 70, 43, WS_TABSTOP | WS_VISIBLE, BS_DEFPUSHBUTTON),
]


def class_key(cls):
    """A window class as an ordinal or a name, so that "Static" and 0x82 compare equal."""
    if isinstance(cls, str):
        return {"button": BUTTON, "edit": EDIT, "static": STATIC}.get(cls.lower(), cls.lower())
    return cls


def check_dialog(data):
    ver, sig, _, exstyle, style, count, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", data, 0)
    check(ver == 1 and sig == 0xFFFF, "dialog 102 is not an extended template")
    want = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT
    check(style & want == want, "dialog style %#x lacks %#x" % (style, want & ~style))
    check(not style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
          "dialog can be resized, minimised or maximised")
    check(exstyle & WS_EX_APPWINDOW, "dialog is not shown on the task bar")
    check((x, y, cx, cy) == (0, 0, 297, 165), "dialog geometry %r" % ((x, y, cx, cy),))
    check(count == len(CONTROLS), "dialog has %d controls" % count)
    pos = 26
    menu, pos = sz_or_ord(data, pos)
    cls, pos = sz_or_ord(data, pos)
    title, pos = sz_or_ord(data, pos)
    check(menu == "" and cls == "", "dialog has a menu or a class of its own")
    check(title == "ZOLT Update", "dialog caption %r" % title)
    points, weight, italic, charset = struct.unpack_from("<HHBB", data, pos)
    face, pos = sz_or_ord(data, pos + 6)
    check((points, weight, italic, charset, face) == (9, 0, 0, 1, "MS Shell Dlg"),
          "dialog font %r" % ((points, weight, italic, charset, face),))
    for i, (cid, ccls, text, cxp, cyp, cw, ch, must, mustnot) in enumerate(CONTROLS):
        pos = align4(pos)
        _, _, cstyle, ix, iy, iw, ih, iid = struct.unpack_from("<IIIhhhhI", data, pos)
        pos += 24
        icls, pos = sz_or_ord(data, pos)
        itext, pos = sz_or_ord(data, pos)
        extra = struct.unpack_from("<H", data, pos)[0]
        pos += 2 + extra
        where = "control %d (id %d)" % (i + 1, cid)
        check(iid == cid, "%s has id %d" % (where, iid))
        same_class = class_key(icls) == class_key(ccls)
        check(same_class, "%s has class %r" % (where, icls))
        check(itext == text, "%s has text %r" % (where, itext))
        check((ix, iy, iw, ih) == (cxp, cyp, cw, ch), "%s at %r" % (where, (ix, iy, iw, ih)))
        if ccls == BUTTON:
            kind_ok = (cstyle & 0xF) == (must & 0xF)
        elif ccls == STATIC:
            kind_ok = (cstyle & 0x1F) == (must & 0x1F)
        else:
            kind_ok = True
        check(kind_ok and cstyle & must == must and not cstyle & mustnot,
              "%s style %#x" % (where, cstyle))


def check_icons(res):
    group = res.get((RT_GROUP_ICON, 128), {})
    if not check(len(group) == 1, "icon group 128 missing"):
        return
    data = next(iter(group.values()))
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    check(kind == 1 and count == 13, "icon group 128 has %d images" % count)
    found = []
    for i in range(count):
        w, h, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        found.append((w or 256, h or 256, bits))
        check((RT_ICON, icon_id) in res, "icon image %d missing" % icon_id)
    want = [(s, s, b) for b in (4, 8) for s in (48, 32, 24, 16)]
    want += [(s, s, 32) for s in (256, 48, 32, 24, 16)]
    check(sorted(found) == sorted(want), "icon images %r" % sorted(found))


def check_bitmap(res):
    bitmap = res.get((RT_BITMAP, 129), {})
    if not check(len(bitmap) == 1, "bitmap 129 missing"):
        return
    data = next(iter(bitmap.values()))
    _, width, height, _, bits = struct.unpack_from("<IiiHH", data, 0)
    check((width, abs(height), bits) == (476, 9, 24), "bitmap 129 is %dx%d at %d bits"
          % (width, height, bits))


def check_version(res):
    version = res.get((RT_VERSION, 1), {})
    if not check(LANG_ZH_CN in version, "version block in language 0x0804 missing"):
        return
    data = version[LANG_ZH_CN]
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    if not check(fixed >= 0, "version block has no fixed part"):
        return
    fms, fls, pms, pls = struct.unpack_from("<IIII", data, fixed + 8)
    check((fms, fls, pms, pls) == (0x00010000, 0x00020001, 0x00010000, 0x00020001),
          "file or product version is not 1.0.2.1")
    text = data.decode("utf-16-le", errors="replace")
    check("080403a8" in text.lower(), "string table not for 0804/936")
    for key, value in [("FileVersion", "1.0.2"), ("InternalName", "ZOLTUpdate.exe"),
                       ("OriginalFilename", "ZOLTUp.exe"), ("ProductName", "ZOLT"),
                       ("ProductVersion", "1.0.2")]:
        at = text.find(key + "\0")
        tail = text[at + len(key):].lstrip("\0") if at >= 0 else ""
        check(at >= 0 and tail.startswith(value + "\0"), "version string %s" % key)
    check(struct.pack("<HH", 0x0804, 936) in data, "translation 0x0804, 936 missing")


def check_manifest(res, machine):
    manifest = res.get((RT_MANIFEST, 1), {})
    if not check(len(manifest) == 1, "manifest 1 missing"):
        return
    text = next(iter(manifest.values())).decode("utf-8", errors="replace")
    arch = "x86" if machine == "i386" else "amd64"
    for needle in ['level="asInvoker"', 'uiAccess="false"',
                   'name="Microsoft.Windows.Common-Controls"', 'version="6.0.0.0"',
                   'processorArchitecture="%s"' % arch]:
        check(needle in text, "manifest lacks %s" % needle)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--machine", choices=sorted(MACHINES), default="i386")
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        pe = Pe(f.read())
    check(pe.machine == MACHINES[args.machine], "machine %#x" % pe.machine)
    check(pe.pe32plus == (args.machine == "amd64"), "wrong optional header kind")
    check(pe.subsystem == SUBSYSTEM_GUI, "subsystem %d, not GUI" % pe.subsystem)
    check(pe.stack_reserve == STACK_RESERVE, "stack reserve %d" % pe.stack_reserve)
    dlls = pe.imports()
    others = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
    check(not others, "imports DLLs that are not the system's: %s" % ", ".join(others))
    res = pe.resources()
    dialog = res.get((RT_DIALOG, 102), {})
    if check(list(dialog) == [LANG_ZH_CN], "dialog 102 not (only) in language 0x0804"):
        check_dialog(dialog[LANG_ZH_CN])
    check_icons(res)
    check_bitmap(res)
    check_version(res)
    check_manifest(res, args.machine)
    if problems:
        for p in problems:
            print("check-pe: %s: %s" % (args.exe, p))
        return 1
    print("check-pe: %s: %s GUI, stack reserve %d, imports %s; dialog 102 (11 controls), icon 128 "
          "(13 images), bitmap 129, version 1.0.2.1, manifest: all as expected"
          % (args.exe, args.machine, pe.stack_reserve, ", ".join(dlls)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
