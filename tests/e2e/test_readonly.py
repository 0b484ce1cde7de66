#!/usr/bin/env python3
"""The volume is only ever read: the image's checksum is the same after every mode, with
and without the directory view, hidden names and all."""

import tempfile
import unittest

import e2e_support
from e2e_support import record_of, run_sondrel


class ReadOnly(unittest.TestCase):
    def test_every_mode_leaves_the_image_unchanged(self):
        for geometry in ("512-4096", "4096-4096"):
            img = e2e_support.image("standard", geometry)
            before = e2e_support.sha256(img)
            records = [0, 5, 16, record_of(img, "sparse.bin"), record_of(img, "fragmented.bin"),
                       record_of(img, "small.txt")]
            runs = [["-list", "x"], ["-dig", "x"]] + [
                ["-dump", "x", str(n), f"out{n}.bin"] for n in records]
            with tempfile.TemporaryDirectory() as cwd:
                for view in (False, True):
                    with e2e_support.drive(img, view=view) as drive:
                        for args in runs:
                            with self.subTest(geometry=geometry, view=view, args=args):
                                run = run_sondrel(args, drive.dosdevices, cwd=cwd,
                                                  hide=["secret.txt"])
                                self.assertEqual(run.returncode, 0, run.stderr[-300:])
                                self.assertEqual(e2e_support.sha256(img), before)


if __name__ == "__main__":
    e2e_support.main()
