#!/usr/bin/env python3
"""A volume shaped as Windows makes them: every name long and given an 8.3 name, the 8.3
$FILE_NAME first in every record, so every path the tool builds is made of 8.3 components.
Through an ntfs-3g mount as the view, -dig reports exactly the entries the preloaded
readdir filter hides, and -list prints every path with its long names, as fls spells them.
Without a view, -list keeps the 8.3 paths it built. The view cannot give the long name of an
entry it hides, so a hidden entry's own 8.3 component stays in -dig's line."""

import dataclasses
import unittest

import e2e_support
from e2e_support import listing_text, progress_text, run_sondrel

HIDDEN = ["Document number 042.text",   # a file in a directory named by its 8.3 name
          "Nested Long Folder",          # a directory below another one
          "Directory Number 3"]          # a directory at the root (its files stay visible)


class ShortNamesFirst(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.image = e2e_support.image("shortnames", "512-4096")
        cls.model = e2e_support.ImageModel(cls.image)

    def test_every_named_entry_gives_its_short_name_first(self):
        paired = [r for r in self.model.named.values() if len(r.names) == 2]
        self.assertGreater(len(paired), 300)
        for r in paired:
            self.assertLess(len(r.names[0]), len(r.names[1]), r)
            self.assertIn("~", r.names[0], r)

    def test_dig_reports_exactly_the_hidden_entries(self):
        before = e2e_support.sha256(self.image)
        with e2e_support.drive(self.image) as drive:
            run = run_sondrel(["-dig", "x"], drive.dosdevices, hide=HIDDEN)
            listing = self.model.listing(drive.mountpoint)
        self.assertEqual(e2e_support.sha256(self.image), before, "the image was written")
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        hidden = [e for e in listing if e.path.rsplit("\\", 1)[-1] in HIDDEN]
        self.assertEqual(sorted(e.path for e in hidden), [
            "X:\\Directory Number 0\\Document number 042.text",
            "X:\\Directory Number 1\\Document number 042.text",
            "X:\\Directory Number 1\\Nested Long Folder",
            "X:\\Directory Number 2\\Document number 042.text",
            "X:\\Directory Number 3",
            "X:\\Directory Number 3\\Document number 042.text",
        ])
        self.assertEqual(run.stdout, listing_text([self.as_dig_prints(e) for e in hidden]))
        self.assertEqual(run.stderr, progress_text(self.model.count)
                         + f"complete. total {len(listing)} files, {len(hidden)} hidden files.\n")

    def as_dig_prints(self, entry):
        """The line's path: each component under its long name, except those the view
        hides, which keep the 8.3 name the record chain gave."""
        short = self.model.short_path(entry.record).split("\\")
        long_ = entry.path.split("\\")
        self.assertEqual(len(short), len(long_))
        path = "\\".join(s if l in HIDDEN else l for s, l in zip(short, long_))
        return dataclasses.replace(entry, path=path)

    def test_list_with_the_view_prints_long_paths(self):
        with e2e_support.drive(self.image) as drive:
            run = run_sondrel(["-list", "x"], drive.dosdevices)
            listing = self.model.listing(drive.mountpoint)
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        self.assertEqual(run.stdout, listing_text(listing))
        self.assertNotIn("~", run.stdout)

    def test_list_without_a_view_keeps_the_short_paths(self):
        with e2e_support.drive(self.image, view=False) as drive:
            run = run_sondrel(["-list", "x"], drive.dosdevices)
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        self.assertEqual(run.stdout, listing_text(self.model.listing(None)))
        self.assertIn("X:\\DIRECT~2\\NESTED~1\\INNERD~1.TEX", run.stdout)


if __name__ == "__main__":
    e2e_support.main()
