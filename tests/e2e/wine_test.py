#!/usr/bin/env python3
"""The Windows program under Wine, set against the POSIX program on the same NTFS images.

In the Wine prefix's dosdevices folder `x::` is the image (the raw volume, read through
CreateFileA and ReadFile) and `x:` a folder (the ordinary listing, through FindFirstFileA).
The 64-bit build runs here: this kernel cannot start 32-bit Linux programs, so 32-bit Wine
cannot run; the 32-bit build is checked by windows_build_test.py.

Differences that belong to the platforms, not to the program, are allowed for:
- Windows writes "\\n" as "\\r\\n" (text mode); the texts must otherwise be equal.
- Windows converts names to the ANSI code page (1252 here) with "N" for what it cannot
  represent; the POSIX program writes UTF-8.
- Wine makes up its own 8.3 names and cannot resolve the volume's, so a path through an
  entry whose first name on the volume is the 8.3 one is neither expanded nor sized there.
- A file is sized by its path where its record gives no size; Windows cannot open a path
  of more than 259 characters that way, so such a file shows size 0 there.
"""

from __future__ import annotations

import codecs
import contextlib
import fcntl
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass
from typing import Iterator, Sequence

import e2e_support
from e2e_support import USAGE, record_of
import ntfs_image
from ntfs_image import Dir, File

EXE = os.environ.get("SONDREL_EXE64", "")
WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver64") or "/usr/lib/wine/wineserver64"
PREFIX = os.path.join(os.path.dirname(os.path.abspath(EXE)), "wineprefix") if EXE else ""

codecs.register_error("sondrel_n", lambda error: ("N" * (error.end - error.start), error.end))


def ansi(text: str) -> bytes:
    """What WideCharToMultiByte(CP_ACP = 1252, default "N") makes of text."""
    return text.encode("cp1252", errors="sondrel_n")


def wine_env() -> dict[str, str]:
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.update(WINEPREFIX=PREFIX, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
               LANG="C.UTF-8")
    return env


@contextlib.contextmanager
def wine_prefix() -> Iterator[None]:
    """The build directory's Wine prefix, made once, held for this suite alone (the
    drive links in it change), and its server stopped afterwards."""
    with open(PREFIX + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(PREFIX, "system.reg")):
            subprocess.run([WINE, "wineboot", "-i"], env=wine_env(), check=True,
                           capture_output=True, timeout=600)
        try:
            yield
        finally:
            subprocess.run([WINESERVER, "-k"], env=wine_env(), capture_output=True)


def set_drive(image: str, view: str) -> None:
    dosdevices = os.path.join(PREFIX, "dosdevices")
    for name, target in (("x::", image), ("x:", view)):
        link = os.path.join(dosdevices, name)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.abspath(target), link)


@dataclass
class WineRun:
    returncode: int
    stdout: bytes
    stderr: bytes


def run_wine(args: Sequence[str], cwd: str | None = None) -> WineRun:
    done = subprocess.run([WINE, EXE, *args], env=wine_env(), cwd=cwd, capture_output=True,
                          timeout=600)
    return WineRun(done.returncode, done.stdout, done.stderr)


def unix_lines(test: unittest.TestCase, text: bytes) -> bytes:
    """text with its CR LF line ends made LF, after checking that every LF has its CR."""
    test.assertNotRegex(text, rb"(?<!\r)\n", "a line feed without its carriage return")
    return text.replace(b"\r\n", b"\n")


LINE = re.compile(rb"^ *(\d+) +(\d+) (<DIR>|     ) (.*)$")


@dataclass(frozen=True)
class Line:
    size: int
    directory: bool
    path: bytes


def records(test: unittest.TestCase, listing: bytes) -> dict[int, Line]:
    """The record lines of a listing by record number; the other lines are the header and
    the rules."""
    found = {}
    for raw in listing.split(b"\n")[2:-2]:
        match = LINE.match(raw)
        test.assertIsNotNone(match, raw)
        record, size, kind, path = match.groups()
        found[int(record)] = Line(int(size), kind == b"<DIR>", path)
    return found


def dig_volume() -> list[ntfs_image.Entry]:
    """Names whose first $FILE_NAME is the long one and that code page 1252 can hold."""
    return [
        File("visible.txt", b"seen by everyone\n"),
        Dir("docs"),
        File("docs/report.txt", ntfs_image.content("report", 6000)),
        Dir("docs/deeper"),
        File("docs/deeper/notes.txt", b"notes\n"),
        File("docs/rootkit.sys", ntfs_image.content("rootkit", 7000)),
        File("secret.txt", b"hidden from the listing\n"),
        Dir("Hidden Dir"),
        File("Hidden Dir/payload.bin", ntfs_image.content("payload", 12000)),
        File("caf\u00e9.txt", b"accents\n"),
    ]


class WindowsProgram(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls._stack = contextlib.ExitStack()
        cls._stack.enter_context(wine_prefix())

    @classmethod
    def tearDownClass(cls):
        cls._stack.close()

    def test_usage_and_unknown_parameter_with_crlf_and_exit_255(self):
        for args, expected in (
                ([], USAGE),
                (["-dig"], USAGE),
                (["-dump", "x", "5"], USAGE),
                (["-dig2", "c"], 'Unknown parameter "-dig2"\n\n' + USAGE),
                (["-list", "c", "extra"], 'Unknown parameter "extra"\n\n' + USAGE)):
            with self.subTest(args=args):
                run = run_wine(args)
                self.assertEqual(run.returncode, 255)
                self.assertEqual(run.stdout, expected.replace("\n", "\r\n").encode())
                self.assertEqual(run.stderr, b"")

    def test_volume_that_cannot_be_opened(self):
        run = run_wine(["-list", "q"])
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, b"")
        self.assertRegex(run.stderr, rb"^sondrel: cannot open volume \\\\\.\\q: \(.+\)\r\n$")

    def test_list_matches_the_posix_program(self):
        volume = ntfs_image.standard_volume()
        img = e2e_support.image("standard", "512-4096")
        # Paths through an entry whose first name is its 8.3 one: Wine cannot expand them.
        short_first = tuple(("X:\\" + e.path.replace("/", "\\")).encode()
                            for e in volume if isinstance(e, (Dir, File)) and e.dos_name)
        with e2e_support.drive(img) as drive:
            set_drive(img, drive.mountpoint)
            posix = e2e_support.run_sondrel(["-list", "x"], drive.dosdevices)
            wine = run_wine(["-list", "x"])
        self.assertEqual((posix.returncode, wine.returncode), (0, 0))
        posix_out = posix.stdout.encode("utf-8", "surrogateescape")
        wine_out = unix_lines(self, wine.stdout)
        self.assertEqual(unix_lines(self, wine.stderr), posix.stderr.encode())
        self.assertEqual(wine_out.split(b"\n")[:2], posix_out.split(b"\n")[:2])  # header, rule
        self.assertEqual(wine_out.split(b"\n")[-2:], posix_out.split(b"\n")[-2:])

        posix_records = records(self, posix_out)
        wine_records = records(self, wine_out)
        self.assertGreater(len(posix_records), 300)
        self.assertEqual(sorted(wine_records), sorted(posix_records))
        compared = 0
        for number, expected in posix_records.items():
            got = wine_records[number]
            path = expected.path.decode("utf-8", "surrogateescape")
            with self.subTest(record=number, path=path):
                self.assertEqual(got.directory, expected.directory)
                if expected.path.startswith(short_first):
                    continue
                self.assertEqual(got.path, ansi(path))
                if ansi(path).decode("cp1252", "replace") == path and len(path) <= 259:
                    self.assertEqual(got.size, expected.size)  # Wine could size it by path
                    compared += 1
        self.assertGreater(compared, 300)

    def test_dump_matches_icat(self):
        img = e2e_support.image("standard", "512-4096")
        set_drive(img, tempfile.gettempdir())
        cwd = tempfile.mkdtemp(prefix="sondrel-wine-dump-")
        try:
            for rel in ("small.txt", "empty.dat", "fragmented.bin", "sparse.bin",
                        "tree/d3/s3/f15.txt", ntfs_image.LONG_PATH):
                record = record_of(img, rel)
                with self.subTest(dump=rel):
                    run = run_wine(["-dump", "x", str(record), "out.bin"], cwd=cwd)
                    self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
                    with open(os.path.join(cwd, "out.bin"), "rb") as f:
                        self.assertEqual(f.read(), e2e_support.tsk_bytes("icat", img,
                                                                         str(record)))
            run = run_wine(["-dump", "x", str(record_of(img, "small.txt")),
                            "no such folder\\out.bin"], cwd=cwd)
            self.assertEqual(run.returncode, 1)
            self.assertEqual(run.stdout, b"")
            self.assertRegex(run.stderr, rb"^sondrel: cannot create no such folder\\out.bin "
                                         rb"\(.+\)\r\n$")
        finally:
            shutil.rmtree(cwd)

    def test_dig_reports_exactly_the_entries_the_listing_lacks(self):
        img = ntfs_image.cached_image(e2e_support.CACHE, "wine-dig",
                                      ntfs_image.GEOMETRIES["512-4096"], dig_volume())
        removed = ("secret.txt", "docs/rootkit.sys", "Hidden Dir")
        expected = {b"X:\\secret.txt", b"X:\\docs\\rootkit.sys", b"X:\\Hidden Dir",
                    b"X:\\Hidden Dir\\payload.bin"}
        work = tempfile.mkdtemp(prefix="sondrel-wine-dig-")
        try:
            view = os.path.join(work, "view")
            with ntfs_image.mounted(img) as mountpoint:
                shutil.copytree(mountpoint, view, symlinks=True)
            for rel in removed:
                target = os.path.join(view, rel)
                shutil.rmtree(target) if os.path.isdir(target) else os.remove(target)
            dosdevices = os.path.join(work, "dosdevices")
            os.mkdir(dosdevices)
            os.symlink(os.path.abspath(img), os.path.join(dosdevices, "x::"))
            os.symlink(view, os.path.join(dosdevices, "x:"))
            set_drive(img, view)
            posix = e2e_support.run_sondrel(["-dig", "x"], dosdevices)
            wine = run_wine(["-dig", "x"])
        finally:
            shutil.rmtree(work)
        self.assertEqual((posix.returncode, wine.returncode), (0, 0))
        wine_out = unix_lines(self, wine.stdout)
        self.assertEqual(wine_out, posix.stdout.encode("utf-8", "surrogateescape"))
        self.assertEqual(unix_lines(self, wine.stderr), posix.stderr.encode())
        self.assertEqual({line.path for line in records(self, wine_out).values()}, expected)
        self.assertIn(b"4 hidden files.", wine.stderr)


if __name__ == "__main__":
    missing = e2e_support.missing_prerequisites()
    if not os.path.isfile(EXE):
        missing.append("SONDREL_EXE64 (build the preset mingw64 first)")
    if not os.access(WINE, os.X_OK):
        missing.append("wine64")
    if missing:
        # scripts/test.sh sets SONDREL_E2E_REQUIRED: there a skip would hide a broken setup.
        required = os.environ.get("SONDREL_E2E_REQUIRED") == "1"
        print(("FAIL" if required else "SKIP") + ": the Wine suite needs "
              + ", ".join(missing), file=sys.stderr)
        sys.exit(1 if required else e2e_support.SKIP)
    unittest.main(verbosity=2)
