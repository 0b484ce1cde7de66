#!/usr/bin/env python3
"""-dig against an ntfs-3g mount as the ordinary directory view, with the readdir-hiding
library preloaded into the tool as the rootkit: exactly the hidden files and directories
are reported, each with its record number, size and long path, the hidden counter equals
the lines printed and the total equals what -list counts. Without the library nothing is
reported: every in-use record of a clean volume, metadata aside, is visible."""

import unittest

import e2e_support
import ntfs_image
from e2e_support import listing_text, progress_text, run_sondrel


class Dig(unittest.TestCase):
    maxDiff = None

    def dig(self, volume, geometry, hide):
        """Runs -dig and returns (run, expected lines for the records whose name is hidden,
        the number of records -list counts)."""
        img = e2e_support.image(volume, geometry)
        before = e2e_support.sha256(img)
        model = e2e_support.ImageModel(img)
        with e2e_support.drive(img) as drive:
            run = run_sondrel(["-dig", "x"], drive.dosdevices, hide=hide)
            listing = model.listing(drive.mountpoint)
        self.assertEqual(e2e_support.sha256(img), before, "the image was written")
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        # The library hides a name wherever it stands, so every record whose long name
        # (its last component) is listed is hidden. The children of a hidden directory
        # are not: the directory can still be opened by its path and lists them.
        hidden = [e for e in listing if e.path.rsplit("\\", 1)[-1] in hide]
        return run, hidden, len(listing), model.count

    def check(self, volume, geometry, hide, expected_paths):
        run, hidden, total, count = self.dig(volume, geometry, hide)
        self.assertEqual(sorted(e.path for e in hidden), sorted(expected_paths))
        self.assertEqual(run.stdout, listing_text(hidden))
        self.assertEqual(run.stderr, progress_text(count)
                         + f"complete. total {total} files, {len(hidden)} hidden files.\n")
        printed = len(run.stdout.splitlines()) - 3
        self.assertEqual(printed, len(hidden), "hidden counter and lines disagree")

    def test_small_volume_one_hidden_file(self):
        self.check("small", "512-4096", ["secret.txt"], ["X:\\secret.txt"])

    def test_standard_volume_clean(self):
        for geometry in ("512-4096", "4096-4096"):
            with self.subTest(geometry=geometry):
                self.check("standard", geometry, [], [])

    def test_standard_volume_hidden_files_and_directory(self):
        long_file = ntfs_image.LONG_PATH.rsplit("/", 1)[-1]
        for geometry in ("512-4096", "4096-4096"):
            with self.subTest(geometry=geometry):
                self.check("standard", geometry, [
                    "secret.txt",             # in the root
                    "Hidden Dir",             # a directory (its file stays visible)
                    "rootkit.sys",            # deep in the tree
                    "inside.txt",             # below two directories met by 8.3 names
                    "\u6587\u66f8\u30d5\u30a1\u30a4\u30eb.txt",  # a CJK name
                    long_file,                # at the end of a path past 259 characters
                ], [
                    "X:\\secret.txt",
                    "X:\\Hidden Dir",
                    "X:\\tree\\d1\\s2\\rootkit.sys",
                    "X:\\Program Files Long\\Another Long Directory\\inside.txt",
                    "X:\\\u65e5\u672c\u8a9e\\\u6587\u66f8\u30d5\u30a1\u30a4\u30eb.txt",
                    "X:\\" + ntfs_image.LONG_PATH.replace("/", "\\"),
                ])

    def test_one_name_hidden_in_many_directories(self):
        run, hidden, _, _ = self.dig("standard", "512-4096", ["f07.txt"])
        self.assertEqual(len(hidden), 16)
        self.assertEqual(run.stdout, listing_text(hidden))
        self.assertTrue(run.stderr.endswith(", 16 hidden files.\n"), run.stderr[-200:])


if __name__ == "__main__":
    e2e_support.main()
