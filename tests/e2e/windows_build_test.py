#!/usr/bin/env python3
"""The Windows program runs alone on a bare system: it imports from KERNEL32 and the C
runtime (msvcrt) only, and the 32-bit build is a 32-bit program."""

import os
import subprocess
import sys
import unittest

SKIP = 77

EXES = {"i686": (os.environ.get("SONDREL_EXE32", ""), "pei-i386", "PE32"),
        "x86_64": (os.environ.get("SONDREL_EXE64", ""), "pei-x86-64", "PE32+")}


def headers(objdump: str, exe: str) -> dict[str, str]:
    """The lines of `objdump -p` that the checks read, by their first word."""
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    found = {"DLL Name:": []}
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("DLL Name:"):
            found["DLL Name:"].append(line.split(":", 1)[1].strip().lower())
        elif line.split("\t", 1)[0] in ("Magic", "Subsystem") or "file format" in line:
            key = "format" if "file format" in line else line.split("\t", 1)[0]
            found[key] = " ".join(line.split()[1:]) if key != "format" else line.split()[-1]
    return found


class WindowsBuild(unittest.TestCase):
    def check(self, arch: str) -> None:
        exe, file_format, magic = EXES[arch]
        found = headers(f"{arch}-w64-mingw32-objdump", exe)
        self.assertEqual(found.get("format"), file_format)
        self.assertEqual(found.get("Magic", "").split()[-1], f"({magic})")
        self.assertEqual(sorted(found["DLL Name:"]), ["kernel32.dll", "msvcrt.dll"])
        self.assertEqual(found.get("Subsystem"), "00000003 (Windows CUI)")

    def test_32_bit(self):
        self.check("i686")

    def test_64_bit(self):
        self.check("x86_64")


if __name__ == "__main__":
    missing = [exe for exe, _, _ in EXES.values() if not os.path.isfile(exe)]
    if missing:
        # scripts/test.sh sets SONDREL_E2E_REQUIRED: there a skip would hide a broken setup.
        required = os.environ.get("SONDREL_E2E_REQUIRED") == "1"
        print(("FAIL" if required else "SKIP") + ": build the presets mingw32 and mingw64 "
              "first: missing " + ", ".join(missing), file=sys.stderr)
        sys.exit(1 if required else SKIP)
    unittest.main(verbosity=2)
