#!/usr/bin/env python3
"""The Windows program under Wine, set against the POSIX program on the same NTFS images.

Runs for one width at a time, SONDREL_WINE_WIDTH: "x86_64" (build/mingw64/Sondrel.exe,
the default) or "i686" (build/mingw32/Sondrel.exe, the primary target). The i686 run goes
through i386_namespace.py, which lets this machine start 32-bit Linux programs (its kernel
has no IA-32 emulation) in a namespace of its own, through qemu's user mode; 32-bit Wine
then runs the program from a 64-bit prefix made inside that namespace (its syswow64 is
filled), as `wine64 Sondrel.exe`. windows.cmake registers both runs (ctest e2e.wine64 and
e2e.wine32, label windows). Each width has its prefix beside its exe, made on first use.
The 32-bit program runs emulated, a few seconds a run where the 64-bit one takes a fraction
of one: on a busy 2-core machine the i686 suite takes about 2 minutes (15 to 80 s more when
it makes its prefix), the x86_64 one about 1 minute.

In the Wine prefix's dosdevices folder `x::` is the image (the raw volume, read through
CreateFileA and ReadFile) and `x:` a folder (the ordinary listing, through FindFirstFileExW).

Besides the cases on the standard volume, the cases where 32 bits do not reach
(wide_volume.py): a 40 GiB volume with file data past 5 GiB and MFT records past 39 GiB
(offsets above 4 GiB, whose high half travels in OffsetHigh), a file of more than 2 GiB
dumped, and records numbered past 2^24 (record number x record size past 2^32).

And names outside the ANSI code page, or ending in a dot or a space (FOREIGN): listed and
sized through the view by their own UTF-16 names, printed as Wine converts them under code page 1252 and, with a Japanese
locale made for the run, 932; found missing from the view even where an entry of the
converted name stands in it.

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
import i386_namespace
import ntfs_image
from ntfs_image import Dir, File
import wide_volume

WIDTH = os.environ.get("SONDREL_WINE_WIDTH", "x86_64")
EXE = os.environ.get({"i686": "SONDREL_EXE32"}.get(WIDTH, "SONDREL_EXE64"), "")
# The 64-bit loader for both widths: it hands a 32-bit program to the 32-bit loader.
WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver64") or "/usr/lib/wine/wineserver64"
PREFIX = os.path.join(os.path.dirname(os.path.abspath(EXE)), "wineprefix") if EXE else ""
# What objdump calls the exe's format, and how many hex digits Wine prints for an address
# in the process that runs it.
FORMATS = {"i686": ("pei-i386", 8), "x86_64": ("pei-x86-64", 16)}

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


def prefix_ready() -> bool:
    if not os.path.exists(os.path.join(PREFIX, "system.reg")):
        return False
    # A prefix made where 32-bit programs could not start has an empty syswow64, and a
    # 32-bit program then fails to load kernel32.dll.
    return WIDTH != "i686" or os.path.exists(
        os.path.join(PREFIX, "drive_c", "windows", "syswow64", "kernel32.dll"))


@contextlib.contextmanager
def wine_prefix() -> Iterator[None]:
    """The build directory's Wine prefix, made once, held for this suite alone (the
    drive links in it change), its server kept up for the suite (each start of it starts
    Wine's services again) and stopped afterwards."""
    with open(PREFIX + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not prefix_ready():
            shutil.rmtree(PREFIX, ignore_errors=True)
            subprocess.run([WINE, "wineboot", "-i"], env=wine_env(), check=True,
                           capture_output=True, timeout=900)
            if not prefix_ready():
                raise RuntimeError(f"wineboot made {PREFIX} without a filled syswow64")
        # The server and Wine's services stay up in the background: they must not hold a
        # pipe of ours, or each run would wait for their end.
        for command in ([WINESERVER, "-p"], [WINE, "wineboot"]):
            subprocess.run(command, env=wine_env(), check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=600)
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


def run_wine(args: Sequence[str], cwd: str | None = None,
             debug: str = "-all", locale: dict[str, str] | None = None) -> WineRun:
    """locale: variables that set the process's Unix locale, and so Wine's ANSI code page."""
    env = wine_env()
    env["WINEDEBUG"] = debug
    env.update(locale or {})
    done = subprocess.run([WINE, EXE, *args], env=env, cwd=cwd, capture_output=True,
                          timeout=1200)
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


@dataclass(frozen=True)
class Foreign:
    """A name in the volume's root not wholly in code page 1252, or one that Windows takes
    literally only after "\\\\?\\", and the bytes Wine's WideCharToMultiByte gives for it
    under code pages 1252 and 932: a lookalike where the code page has one (best fit), else
    "N" for each UTF-16 unit."""
    name: str
    directory: bool
    cp1252: bytes
    cp932: bytes


FOREIGN = (
    Foreign("\u0414\u0435\u043b\u0430.txt", False, b"NNNN.txt",
            "\u0414\u0435\u043b\u0430.txt".encode("cp932")),
    Foreign("\u65e5\u672c.txt", False, b"NN.txt", "\u65e5\u672c.txt".encode("cp932")),
    # The emoji is two UTF-16 units; 932 has no accented letters and best-fits the e.
    Foreign("\u00e9moji\U0001f600.txt", False, b"\xe9mojiNN.txt", b"emojiNN.txt"),
    Foreign("\u041f\u0430\u043f\u043a\u0430", True, b"NNNNN",
            "\u041f\u0430\u043f\u043a\u0430".encode("cp932")),
    Foreign("\u65e5\u672c\u8a9e", True, b"NNN", "\u65e5\u672c\u8a9e".encode("cp932")),
    # 1252 best-fits Omega, mu and alpha; 932 has the Greek letters but no accented ones.
    Foreign("\u03a9\u03bc\u03ad\u03b3\u03b1", True, b"O\xb5NNa",
            "\u03a9\u03bc".encode("cp932") + b"N" + "\u03b3\u03b1".encode("cp932")),
    # Other paths lose a trailing dot or space, and would name another file or none.
    Foreign("trailing dot.", False, b"trailing dot.", b"trailing dot."),
    Foreign("trailing space ", False, b"trailing space ", b"trailing space "),
)
INNER = "inner.txt"


def foreign_volume() -> list[ntfs_image.Entry]:
    """The FOREIGN names, a directory holding one file each, contents of distinct sizes."""
    entries: list[ntfs_image.Entry] = []
    for i, foreign in enumerate(FOREIGN):
        if foreign.directory:
            entries += [Dir(foreign.name),
                        File(f"{foreign.name}/{INNER}", ntfs_image.content(foreign.name, 300 + i))]
        else:
            entries.append(File(foreign.name, ntfs_image.content(foreign.name, 1000 + i)))
    return entries


def foreign_expected(img: str, page: str) -> dict[str, tuple[int, Line]]:
    """Each entry of foreign_volume() by its path: its record number (fls, its name checked
    with istat) and its -list line in code page page ("cp1252" or "cp932"). A file's size is
    its content's length (what the view gives where the $FILE_NAME holds 0), a directory's
    the $FILE_NAME's."""
    numbers = {e.path: e.record for e in e2e_support.fls(img) if e.allocated and not e.virtual}
    contents = {e.path: e.data for e in foreign_volume() if isinstance(e, File)}
    expected = {}
    for foreign in FOREIGN:
        converted = b"X:\\" + getattr(foreign, page)
        entries = [(foreign.name, foreign.directory, converted)]
        if foreign.directory:
            entries.append((f"{foreign.name}/{INNER}", False, converted + b"\\" + INNER.encode()))
        for path, directory, printed in entries:
            record = numbers[path]
            info = e2e_support.istat(img, record)
            assert info.first_name == path.rsplit("/", 1)[-1], (record, info.names)
            size = info.actual_sizes[0] if directory else len(contents[path])
            expected[path] = (record, Line(size, directory, printed))
    return expected


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

    def foreign_image(self) -> str:
        return ntfs_image.cached_image(e2e_support.CACHE, "wine-foreign",
                                       ntfs_image.GEOMETRIES["512-4096"], foreign_volume())

    def test_names_outside_the_code_page_listed_converted_and_none_hidden(self):
        img = self.foreign_image()
        locales = tempfile.mkdtemp(prefix="sondrel-wine-locale-")
        try:
            # Wine takes its ANSI code page from the Unix locale: Japanese gives 932. The
            # locale is made here, so the system's set of locales neither matters nor changes.
            subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8",
                            os.path.join(locales, "ja_JP.UTF-8")], check=True, capture_output=True)
            for page, locale in (("cp1252", {}),
                                 ("cp932", {"LOCPATH": locales, "LC_ALL": "ja_JP.UTF-8"})):
                expected = {record: line for record, line in foreign_expected(img, page).values()}
                with ntfs_image.mounted(img) as mountpoint:
                    set_drive(img, mountpoint)
                    listing = run_wine(["-list", "x"], locale=locale)
                    dig = run_wine(["-dig", "x"], locale=locale)
                with self.subTest(page=page):
                    self.assertEqual((listing.returncode, dig.returncode), (0, 0))
                    listed = records(self, unix_lines(self, listing.stdout))
                    self.assertEqual({n: listed.get(n) for n in expected}, expected)
                    self.assertEqual(records(self, unix_lines(self, dig.stdout)), {})
                    self.assertTrue(unix_lines(self, dig.stderr).endswith(
                        f"complete. total {len(listed)} files, 0 hidden files.\n".encode()),
                        dig.stderr[-200:])
        finally:
            shutil.rmtree(locales)

    def test_dig_reports_foreign_names_the_view_lacks_whatever_their_converted_twins(self):
        img = self.foreign_image()
        expected = foreign_expected(img, "cp1252")
        gone_file, gone_folder = FOREIGN[0].name, FOREIGN[3].name  # printed NNNN.txt, NNNNN
        work = tempfile.mkdtemp(prefix="sondrel-wine-foreign-")
        try:
            view = os.path.join(work, "view")
            with ntfs_image.mounted(img) as mountpoint:
                shutil.copytree(mountpoint, view, symlinks=True)
            os.remove(os.path.join(view, gone_file))
            shutil.rmtree(os.path.join(view, gone_folder))
            # What the missing entries' names become in code page 1252, present in the view:
            # a comparison of converted names would take them for the missing ones.
            os.mkdir(os.path.join(view, "NNNNN"))
            for decoy in ("NNNN.txt", "NNNNN/" + INNER):
                with open(os.path.join(view, decoy), "wb") as f:
                    f.write(b"decoy\n")
            set_drive(img, view)
            dig = run_wine(["-dig", "x"])
        finally:
            shutil.rmtree(work)
        self.assertEqual(dig.returncode, 0)
        hidden = sorted(expected[path]
                        for path in (gone_file, gone_folder, f"{gone_folder}/{INNER}"))
        # Not in the view, so sized by their $FILE_NAMEs alone.
        lines = b"".join(
            f"{record:8d} {e2e_support.istat(img, record).actual_sizes[0]:8d} "
            f"{'<DIR>' if line.directory else '     '} ".encode() + line.path + b"\n"
            for record, line in hidden)
        rule = e2e_support.RULE.encode()
        self.assertEqual(unix_lines(self, dig.stdout).split(b"\n"),
                         (e2e_support.HEADER.encode() + rule + lines + rule).split(b"\n"))
        self.assertTrue(unix_lines(self, dig.stderr).endswith(b", 3 hidden files.\n"),
                        dig.stderr[-200:])

    def test_the_exe_runs_as_the_width_it_was_built_for(self):
        file_format, digits = FORMATS[WIDTH]
        objdump = subprocess.run([f"{WIDTH}-w64-mingw32-objdump", "-f", EXE], check=True,
                                 capture_output=True, text=True).stdout
        self.assertIn(f"file format {file_format}\n", objdump)
        # Wine prints each module's load address as wide as the process's pointers: the
        # process that loaded the exe is a 32-bit one for i686.
        run = run_wine([], debug="+loaddll")
        self.assertEqual(run.returncode, 255)
        self.assertEqual(run.stdout, USAGE.replace("\n", "\r\n").encode())
        loaded = re.findall(rb"^([0-9a-f]{4}):trace:loaddll:\w+ Loaded L\"([^\"]*)\" at "
                            rb"([0-9A-F]+):", run.stderr, re.M)
        exe_process = {process for process, name, _ in loaded
                       if name.lower().endswith(b"\\sondrel.exe")}
        self.assertEqual(len(exe_process), 1, loaded)
        widths = {len(address) for process, _, address in loaded if process in exe_process}
        self.assertEqual(widths, {digits})

    def test_wide_volume_list_and_dig_match_the_posix_program(self):
        img = wide_volume.image(e2e_support.CACHE)
        far = wide_volume.far_records()
        work = tempfile.mkdtemp(prefix="sondrel-wine-wide-")
        try:
            # The ordinary view, made by hand: a mount of the image would do for -list, but
            # -dig needs a file missing from it, and a copy would write the 2 GiB file.
            view = os.path.join(work, "view")
            os.makedirs(os.path.join(view, wide_volume.FAR_FOLDER))
            for entry in wide_volume.entries():
                target = os.path.join(view, entry.path)
                if isinstance(entry, File) and entry.path != "far/beyond.bin":
                    with open(target, "wb") as f:
                        f.write(entry.data)
                elif isinstance(entry, ntfs_image.SparseFile):
                    with open(target, "wb") as f:
                        f.truncate(entry.size)
            dosdevices = os.path.join(work, "dosdevices")
            os.mkdir(dosdevices)
            os.symlink(os.path.abspath(img), os.path.join(dosdevices, "x::"))
            os.symlink(view, os.path.join(dosdevices, "x:"))
            set_drive(img, view)
            for mode in ("-list", "-dig"):
                with self.subTest(mode=mode):
                    posix = e2e_support.run_sondrel([mode, "x"], dosdevices, timeout=600)
                    wine = run_wine([mode, "x"])
                    self.assertEqual((posix.returncode, wine.returncode), (0, 0))
                    wine_out = unix_lines(self, wine.stdout)
                    self.assertEqual(wine_out, posix.stdout.encode())
                    self.assertEqual(unix_lines(self, wine.stderr), posix.stderr.encode())
                    listed = {n: line.path for n, line in records(self, wine_out).items()}
                    if mode == "-dig":
                        self.assertEqual(listed, {far["far/beyond.bin"]: b"X:\\far\\beyond.bin"})
                        continue
                    for path, number in far.items():
                        self.assertEqual(listed.get(number),
                                         ("X:\\" + path.replace("/", "\\")).encode())
                    sizes = {line.path: line.size for line in records(self, wine_out).values()}
                    self.assertEqual(sizes[b"X:\\" + wide_volume.HUGE.encode()],
                                     wide_volume.HUGE_SIZE & 0xFFFFFFFF)
        finally:
            shutil.rmtree(work)

    def test_wide_volume_dump_matches_icat(self):
        img = wide_volume.image(e2e_support.CACHE)
        far = wide_volume.far_records()
        with e2e_support.drive(img, view=False) as drive:
            posix = e2e_support.run_sondrel(["-list", "x"], drive.dosdevices, timeout=600)
        numbers = {line.path.decode(): n for n, line in
                   records(self, posix.stdout.encode()).items()}
        set_drive(img, tempfile.gettempdir())
        cwd = tempfile.mkdtemp(prefix="sondrel-wine-wide-dump-")
        try:
            for rel in ("near.txt", "far/beyond.bin", "far/resident.txt", "far/zz last.txt"):
                record = numbers["X:\\" + rel.replace("/", "\\")]
                if rel.startswith("far/"):
                    self.assertEqual(record, far[rel])
                with self.subTest(dump=rel, record=record):
                    run = run_wine(["-dump", "x", str(record), "out.bin"], cwd=cwd)
                    self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
                    with open(os.path.join(cwd, "out.bin"), "rb") as f:
                        self.assertEqual(f.read(), e2e_support.tsk_bytes("icat", img,
                                                                         str(record)))
            # More than 2 GiB, mostly holes: compared with icat's stream piece by piece,
            # and the written pieces checked where they lie.
            record = numbers["X:\\" + wide_volume.HUGE]
            out = os.path.join(cwd, "huge.bin")
            run = run_wine(["-dump", "x", str(record), "huge.bin"], cwd=cwd)
            self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
            self.assertEqual(os.path.getsize(out), wide_volume.HUGE_SIZE)
            with open(out, "rb") as f:
                for offset, piece in wide_volume.HUGE_PIECES:
                    f.seek(offset)
                    self.assertEqual(f.read(len(piece)), piece, offset)
                icat = subprocess.Popen(["icat", img, str(record)], stdout=subprocess.PIPE)
                try:
                    f.seek(0)
                    offset = 0
                    while True:
                        expected = icat.stdout.read(1 << 22)
                        got = f.read(1 << 22)
                        self.assertEqual(got, expected, f"at {offset}")
                        if not expected:
                            break
                        offset += len(expected)
                finally:
                    icat.stdout.close()
                    icat.wait()
            self.assertEqual(offset, wide_volume.HUGE_SIZE)
        finally:
            shutil.rmtree(cwd)


def i386_programs_start() -> bool:
    try:
        return subprocess.run([i386_namespace.WINE32_LOADER, "--version"],
                              capture_output=True, timeout=120).returncode == 0
    except OSError:
        return False


if __name__ == "__main__":
    missing = e2e_support.missing_prerequisites()
    if WIDTH not in FORMATS:
        missing.append(f"SONDREL_WINE_WIDTH i686 or x86_64, not {WIDTH!r}")
    elif not os.path.isfile(EXE):
        preset = {"i686": "mingw32"}.get(WIDTH, "mingw64")
        missing.append(f"{'SONDREL_EXE32' if WIDTH == 'i686' else 'SONDREL_EXE64'} "
                       f"(build the preset {preset} first)")
    if not os.access(WINE, os.X_OK):
        missing.append("wine64")
    if WIDTH == "i686" and not i386_programs_start():
        missing += i386_namespace.missing() or [
            "a place where 32-bit programs start: run this suite through i386_namespace.py"]
    if missing:
        # scripts/test.sh sets SONDREL_E2E_REQUIRED: there a skip would hide a broken setup.
        required = os.environ.get("SONDREL_E2E_REQUIRED") == "1"
        print(("FAIL" if required else "SKIP") + f": the Wine suite ({WIDTH}) needs "
              + ", ".join(missing), file=sys.stderr)
        sys.exit(1 if required else e2e_support.SKIP)
    unittest.main(verbosity=2)
