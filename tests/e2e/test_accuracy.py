#!/usr/bin/env python3
"""-dig gives the sound answer where a name or a path is awkward: names outside ASCII, paths
longer than the kernel takes as text, a backslash, "*", case twins and an unpaired surrogate
in a name, a record whose $FILE_NAME claims a visible sibling's name, a directory whose
$FILE_NAME points outside the volume (the run must touch nothing outside it), and files
created and deleted while the scan runs. Each run's output is compared whole; record numbers
come from The Sleuth Kit (ifind, istat), never from the tool."""

from __future__ import annotations

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import e2e_support
import ntfs_image
import ntfs_layout
from e2e_support import Listed, listing_text, run_sondrel
from ntfs_image import Dir, File, Nest

# 400 levels of 20-character names: a path of over 8,000 bytes, twice what the kernel takes
# as one path. 3,000 levels of one-letter names would do the same, but ntfs-3g resolves
# every request from the root, so listing such a nest through the view takes minutes.
DEEP = tuple(f"level_{i:04}_of_a_nest"[:20] for i in range(400))
# Eight levels of 255 CJK characters: 765 bytes of UTF-8 a component, over 6,000 a path.
WIDE = tuple(chr(0x4E00 + 255 * i + k) for i in range(8) for k in range(255))
WIDE = tuple("".join(WIDE[255 * i:255 * (i + 1)]) for i in range(8))
SURROGATE = "a\ud800b.txt"  # as the volume holds it: 'a', an unpaired U+D800, 'b.txt'
# ntfs-3g takes and gives an unpaired surrogate as its three-byte UTF-8 form (ED A0 80).
SURROGATE_HOST = "a\udced\udca0\udc80b.txt"
SHADOW_SIZE = 1234      # patched into shadow's $FILE_NAME; passwd's is left at 0
LOADER = re.compile(r"^/.*(/ld\.so\.(cache|preload)|\.so(\.\d+)*)$")


def names_volume() -> list:
    return [
        File("Дела.txt", b"affairs\n"),
        File("日本.txt", b"japan\n"),
        File("émoji😀.txt", b"emoji\n"),
        File("NNNN.txt", b"the name a lossy conversion makes of the one beside it\n"),
        Dir("Папка"), File("Папка/inner.txt", b"inner\n" * 3),
        Dir("日本語"), File("日本語/文書.txt", b"doc\n"),
        Dir("Ωμέγα"), File("Ωμέγα/αρχείο.txt", b"file\n"),
        Nest("deep", DEEP, "bottom.txt", b"at the bottom\n"),
        Nest("wide", WIDE, "end.txt", b"at the end\n"),
        Dir("bs"), File("bs/a\\b.txt", b"backslash\n"),
        Dir("dir"), File("dir/report.txt", b"lower\n"), File("dir/Report.txt", b"Upper\n"),
        Dir("top"), Dir("top/*"), File("top/*/star.txt", b"star\n"),
        Dir("sur"), File("sur/aNb.txt", b"decoy\n"), File(f"sur/{SURROGATE_HOST}", b"twin\n"),
        Dir("mask"), File("mask/payload.txt", b"payload\n"), File("mask/visible.txt", b"seen\n"),
        Dir("fake"), File("fake/passwd", b"p" * 77), File("fake/shadow", b"s" * 55),
    ]


RACE_FILL = 1100  # records between keep.txt and old.txt: past the scan's first 1 MiB read


def race_volume() -> list:
    # Made in this order on a fresh volume, the records run race, race2, keep.txt, the
    # fill, old.txt, ghost.txt, gone.txt; a fresh mount gives a new file the lowest free
    # record. The fill puts old.txt's record in a later read of the $MFT than keep.txt's.
    return [Dir("race"), Dir("race2"), File("race/keep.txt", b"keep\n"), Dir("fill")] + \
        [File(f"fill/{i}", b"") for i in range(RACE_FILL)] + \
        [File("race/old.txt", b"old\n"), File("race/ghost.txt", b"ghost\n"),
         File("race2/gone.txt", b"gone\n")]


def built(name: str, entries: list) -> str:
    return ntfs_image.cached_image(e2e_support.CACHE, name, ntfs_image.Geometry(512, 4096, 64),
                                   entries)


def by_name(volume: ntfs_layout.Volume) -> dict[str, list[int]]:
    """In-use records by their first $FILE_NAME, read independently of the tool (The Sleuth
    Kit cannot walk the deep nests nor spell an unpaired surrogate)."""
    out: dict[str, list[int]] = {}
    for number in volume.records():
        record = volume.record(number)
        attribute = ntfs_layout.find(record, 0x30)
        if attribute is None:
            continue
        value = attribute.offset + attribute.value_offset
        length = record[value + 0x40]
        name = record[value + 0x42:value + 0x42 + 2 * length].decode("utf-16-le", "surrogatepass")
        out.setdefault(name, []).append(number)
    return out


def patch_file_name(volume: ntfs_layout.Volume, number: int, name: str | None = None,
                    parent: int | None = None, size: int | None = None) -> None:
    """Rewrites the record's $FILE_NAME attribute only (the directory's index keeps its own
    copy); the fix-ups are undone and redone by the Volume."""
    record = volume.record(number)
    attribute = ntfs_layout.find(record, 0x30)
    value = attribute.offset + attribute.value_offset
    if name is not None:
        encoded = name.encode("utf-16-le")
        assert len(encoded) == 2 * record[value + 0x40], "the name keeps its length"
        record[value + 0x42:value + 0x42 + len(encoded)] = encoded
    if parent is not None:
        struct.pack_into("<Q", record, value, parent)
    if size is not None:
        struct.pack_into("<QQ", record, value + 0x28, (size + 4095) // 4096 * 4096, size)
    volume.write_record(number, record)


class Accuracy(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="sondrel-accuracy-")
        cls.image = built("accuracy-names", names_volume())
        with open(cls.image, "rb") as f:
            pristine = f.read()
        cls.records = by_name(ntfs_layout.Volume(pristine))

        # The masquerade: payload.txt's record names itself visible.txt, a sibling of the
        # same length; the index still lists it as payload.txt.
        masked = ntfs_layout.Volume(pristine)
        patch_file_name(masked, cls.one("payload.txt"), name="visible.txt")
        cls.masked = cls.save(masked, "masked.img")

        # A directory that names itself "/etc" with parent 0 (no root above it), holding
        # passwd and shadow; shadow's $FILE_NAME carries a size, passwd's 0.
        escaped = ntfs_layout.Volume(pristine)
        patch_file_name(escaped, cls.one("fake"), name="/etc", parent=0)
        patch_file_name(escaped, cls.one("shadow"), size=SHADOW_SIZE)
        cls.escaped = cls.save(escaped, "escaped.img")
        cls.checksums = {p: e2e_support.sha256(p) for p in (cls.image, cls.masked, cls.escaped)}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def save(cls, volume: ntfs_layout.Volume, name: str) -> str:
        return e2e_support.save_image(cls.work, volume.image, name)

    @classmethod
    def one(cls, name: str) -> int:
        (number,) = cls.records[name]
        return number

    def tearDown(self):
        for path, checksum in self.checksums.items():
            self.assertEqual(e2e_support.sha256(path), checksum, "the image was written")

    def entry(self, image: str, path: str, number: int | None = None, size: int | None = None,
              in_use: bool = True) -> Listed:
        """The line -dig prints for the record at path (a printed path); the record number
        from ifind where it can walk the path, checked against istat's name either way; the
        size from the record's $FILE_NAME, or the file's own when that says 0."""
        if number is None:
            number = e2e_support.record_of(image, path[3:].replace("\\", "/"))
        info = e2e_support.istat(image, number)
        self.assertEqual(info.allocated, in_use)
        if number != self.records.get(SURROGATE, [None])[0]:  # istat cannot spell it
            self.assertTrue(path.endswith(info.first_name), f"record {number}: {info}")
        if size is None:
            size = info.actual_sizes[0] if info.directory or info.actual_sizes[0] else \
                len(e2e_support.tsk_bytes("icat", image, str(number)))
        return Listed(number, info.directory, size, path)

    def dig(self, image: str, hide=(), expected=(), **run_options) -> e2e_support.Run:
        """Runs -dig with hide hidden and asserts it prints exactly expected."""
        with e2e_support.drive(image) as drive:
            run = run_sondrel(["-dig", "x"], drive.dosdevices, hide=hide, timeout=900,
                              **run_options)
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        self.assertEqual(run.stdout, listing_text(sorted(expected, key=lambda e: e.record)))
        self.assertTrue(run.stderr.endswith(f", {len(expected)} hidden files.\n"),
                        run.stderr[-200:])
        return run

    def test_awkward_names_and_paths_hidden_and_not(self):
        img = self.image
        deep = "X:\\deep\\" + "\\".join(DEEP) + "\\bottom.txt"
        wide_end = "X:\\wide\\" + "\\".join(WIDE) + "\\end.txt"
        self.assertGreater(len(deep.encode()), 8000)
        self.assertGreater(len(wide_end.encode()), 6000)
        cases = [
            ("nothing hidden", [], []),
            # Папка's own file is not hidden: the folder opens by its name and lists it as
            # that very record.
            ("names outside ASCII", ["Дела.txt", "Папка"],
             [self.entry(img, "X:\\Дела.txt"), self.entry(img, "X:\\Папка")]),
            ("a path past PATH_MAX", ["bottom.txt"],
             [self.entry(img, deep, self.one("bottom.txt"))]),
            ("255-unit CJK names", ["end.txt"], [self.entry(img, wide_end, self.one("end.txt"))]),
            ("a backslash in a name", ["a\\b.txt"],
             [self.entry(img, "X:\\bs\\a\\b.txt", self.one("a\\b.txt"))]),
            ("case twins", ["Report.txt"],
             [self.entry(img, "X:\\dir\\Report.txt", self.one("Report.txt"))]),
            ("a directory named *", ["star.txt"], [self.entry(img, "X:\\top\\*\\star.txt")]),
            ("an unpaired surrogate beside its lossy twin", [SURROGATE_HOST],
             [self.entry(img, "X:\\sur\\aNb.txt", self.one(SURROGATE))]),
        ]
        # The chains the tool must walk: istat agrees on each bottom record's parent.
        for leaf, directory in (("bottom.txt", DEEP[-1]), ("end.txt", WIDE[-1])):
            self.assertEqual(e2e_support.istat(img, self.one(leaf)).parents[0],
                             self.one(directory))
        self.assertNotEqual(self.one(SURROGATE), self.one("aNb.txt"))
        for label, hide, expected in cases:
            with self.subTest(label):
                self.dig(img, hide, expected)
        # Hidden from lookups too, as if gone from the view: the folder cannot be listed, so
        # its file is reported as well, sized as its $FILE_NAME says.
        with self.subTest("names outside ASCII, hidden from lookups too"):
            inner = e2e_support.record_of(img, "Папка/inner.txt")
            self.dig(img, ["Дела.txt", "Папка"],
                     [self.entry(img, "X:\\Дела.txt"), self.entry(img, "X:\\Папка"),
                      self.entry(img, "X:\\Папка\\inner.txt", inner,
                                 e2e_support.istat(img, inner).actual_sizes[0])],
                     hide_lookups=True)

    def test_a_record_claiming_a_visible_siblings_name_is_reported(self):
        # The view's entry named visible.txt is another record: payload's is not shown.
        # Its $FILE_NAME gives no size, and the view's visible.txt is not this record: the
        # view has no size for it either, and visible.txt's own is no answer.
        self.assertEqual(e2e_support.istat(self.masked, self.one("payload.txt")).actual_sizes[0], 0)
        hidden = self.entry(self.masked, "X:\\mask\\visible.txt", self.one("payload.txt"), size=0)
        self.assertNotEqual(hidden.record, self.one("visible.txt"))
        self.dig(self.masked, ["payload.txt"], [hidden])

    def test_a_directory_outside_the_volume_is_reported_and_never_looked_up(self):
        # passwd's $FILE_NAME says 0: the view is not to be asked for a size instead.
        self.assertEqual(e2e_support.istat(self.escaped, self.one("passwd")).actual_sizes[0], 0)
        # A path that does not reach the root is printed as built, after a backslash.
        expected = [
            self.entry(self.escaped, "\\/etc", self.one("fake")),
            self.entry(self.escaped, "\\/etc\\passwd", self.one("passwd"), size=0),
            self.entry(self.escaped, "\\/etc\\shadow", self.one("shadow"), size=SHADOW_SIZE),
        ]
        trace = os.path.join(self.work, "strace.log")
        with e2e_support.drive(self.escaped) as drive:
            run = run_sondrel(["-dig", "x"], drive.dosdevices, timeout=900,
                              prefix=["strace", "-f", "-qq", "-s", "65536", "-e", "trace=%file",
                                      "-o", trace])
            allowed = (drive.dosdevices, drive.mountpoint, self.escaped,
                       os.path.realpath(self.escaped))
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        self.assertEqual(run.stdout, listing_text(expected))
        with open(trace, encoding="utf-8", errors="surrogateescape") as f:
            calls = f.read().splitlines()
        # Past the program's own start, every path the run names lies in the drive folder or
        # the view, but for the loader's cache and libraries; a relative path counts unless
        # it is taken from a directory descriptor (whose own opening is checked), named
        # directly or as /proc/self/fd/N.
        start = next(i for i, call in enumerate(calls) if "execve(" in call)
        own = {os.environ["SONDREL_BIN"], os.path.realpath(os.environ["SONDREL_BIN"])}
        touched = []
        for call in calls[start + 1:]:
            for before, path in re.findall(r'(\(|AT_FDCWD, |, )"((?:[^"\\]|\\.)*)"', call):
                if LOADER.search(path) or re.match(r"/proc/self/fd/\d+/[^/]+$", path):
                    continue
                # The process looking at itself (a sanitizer runtime reads its maps and exe).
                if path.startswith("/proc/self/") or path in own:
                    continue
                if path.startswith("/") or (before != ", " and path):
                    touched.append(path)
        outside = [p for p in touched if not p.startswith(allowed)]
        self.assertEqual(outside, [], "the run looked outside the drive folder and the view")
        self.assertTrue(any(p.startswith(drive.dosdevices) for p in touched), calls[-20:])


class Race(unittest.TestCase):
    """The view is mounted read-write, and the preloaded library changes the volume through
    it while the tool scans: before race2 is first listed, its gone.txt (whose record the
    scan has just read in use) is removed; around race's first listing old.txt is removed
    and new.txt created, which takes old.txt's record, in use when the scan began and read
    after that listing. Neither is hidden; ghost.txt, hidden throughout, is."""

    def test_files_created_and_removed_during_the_scan_are_not_reported(self):
        source = built("accuracy-race", race_volume())
        work = tempfile.mkdtemp(prefix="sondrel-race-")
        try:
            img = os.path.join(work, "race.img")
            shutil.copyfile(source, img)
            old = e2e_support.record_of(img, "race/old.txt")
            gone = e2e_support.record_of(img, "race2/gone.txt")
            keep = e2e_support.record_of(img, "race/keep.txt")
            ghost = e2e_support.record_of(img, "race/ghost.txt")
            # race is first listed (for keep.txt) before the scan reads old.txt's record.
            self.assertGreater(old - keep, 1024)
            info = e2e_support.istat(img, ghost)
            size = info.actual_sizes[0] or len(e2e_support.tsk_bytes("icat", img, str(ghost)))
            expected = [Listed(ghost, False, size, "X:\\race\\ghost.txt")]
            with e2e_support.drive(img, writable=True) as drive:
                run = run_sondrel(["-dig", "x"], drive.dosdevices, hide=["ghost.txt"],
                                  race=["race/-old.txt", "race/+new.txt", "race2/-gone.txt"])
                entries = {name: os.stat(os.path.join(drive.mountpoint, "race", name)).st_ino
                           for name in os.listdir(os.path.join(drive.mountpoint, "race"))}
                left = os.listdir(os.path.join(drive.mountpoint, "race2"))
            self.assertEqual(run.returncode, 0, run.stderr[-500:])
            # The races happened as staged: new.txt sits in old.txt's record.
            self.assertEqual(entries, {"keep.txt": keep, "ghost.txt": ghost, "new.txt": old})
            self.assertEqual(left, [])
            self.assertFalse(e2e_support.istat(img, gone).allocated)
            self.assertEqual(run.stdout, listing_text(expected))
            self.assertTrue(run.stderr.endswith(", 1 hidden files.\n"), run.stderr[-200:])
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    e2e_support.main()
