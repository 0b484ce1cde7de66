#!/usr/bin/env python3
"""-list on real images, set against The Sleuth Kit.

Every allocated MFT record that carries a $FILE_NAME is listed exactly once, in record
order, with its record number, the size its first $FILE_NAME gives (or the file size the
ordinary file API reports when that is not positive) and its full path with long names.
The paths are cross-checked against `fls -r -p`, every difference explained below; the whole
standard output and standard error are compared byte for byte."""

import unittest

import e2e_support
from e2e_support import (Listed, fls_as_listed, listed_pairs, listing_text, progress_text,
                         record_of, run_sondrel)


class ListStandardVolume(unittest.TestCase):
    maxDiff = None

    def check(self, geometry):
        img = e2e_support.image("standard", geometry)
        before = e2e_support.sha256(img)
        model = e2e_support.ImageModel(img)
        with e2e_support.drive(img) as drive:
            run = run_sondrel(["-list", "x"], drive.dosdevices)
            expected = model.listing(drive.mountpoint)
        self.assertEqual(run.returncode, 0, run.stderr[-500:])

        listed = listed_pairs(run.stdout)
        self.assertEqual(len(set(listed)), len(listed), "a record listed twice")
        # Records without a $FILE_NAME (12 to 15, the extension records) are in neither.
        self.assertEqual(sorted(listed),
                         sorted(fls_as_listed(model.fls, lambda r: model.named[r].first_name)))

        self.assertEqual(run.stdout, listing_text(expected))
        self.assertEqual(run.stderr, progress_text(model.count)
                         + f"complete. total {len(expected)} files.\n")
        self.assertEqual(e2e_support.sha256(img), before, "the image was written")

        by_path = {e.path: e for e in expected}
        # Spot checks of what the comparison above covers, so a failure reads plainly.
        self.assertIn("X:\\Program Files Long\\Another Long Directory\\inside.txt", by_path)
        self.assertIn("X:\\" + e2e_support.ntfs_image.LONG_PATH.replace("/", "\\"), by_path)
        # ntfs-3g keeps a file's size in its directory's index but leaves the $FILE_NAME in
        # the record at what it was when the name was written (0 for a new file), so most
        # sizes come from the file API through the view...
        sparse = record_of(img, "sparse.bin")
        self.assertEqual(model.named[sparse].actual_sizes[0], 0)
        self.assertEqual(by_path["X:\\sparse.bin"].size, 4 << 20)
        # ...while a positive value in the record wins, even when the data has grown since:
        # mkntfs wrote $MFT's $FILE_NAME before the MFT grew.
        self.assertLess(by_path["X:\\$MFT"].size, model.count * e2e_support.mft_record_size(img))
        self.assertEqual(by_path["X:\\$MFT"].size, model.named[0].actual_sizes[0])
        self.assertEqual(by_path["X:\\empty.dat"].size, 0)
        self.assertTrue(by_path["X:\\Program Files Long"].directory)

    def test_512_byte_sectors(self):
        self.check("512-4096")

    def test_4096_byte_sectors(self):
        self.check("4096-4096")

    def test_clusters_smaller_than_a_record(self):
        self.check("512-512")

    def test_clusters_larger_than_a_record(self):
        # The boot sector then gives the record size as a negative power of two.
        self.check("512-65536")

    def test_without_a_directory_view_short_names_and_recorded_sizes_stay(self):
        # No "x:" folder: nothing can be looked up, so 8.3 components stay as the records
        # spell them and a file whose $FILE_NAME holds no size is printed with 0.
        img = e2e_support.image("standard", "512-4096")
        model = e2e_support.ImageModel(img)
        with e2e_support.drive(img, view=False) as drive:
            run = run_sondrel(["-list", "x"], drive.dosdevices)
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        expected = model.listing(None)
        self.assertIn("X:\\PROGRA~1\\ANOTHE~1\\inside.txt", {e.path for e in expected})
        self.assertEqual(run.stdout, listing_text(expected))


class ListSmallVolume(unittest.TestCase):
    """A golden listing written out by hand from the image's known record numbers: the
    metadata files mkntfs always puts at 0 to 11 and 24 to 26, then the user files in the
    order they were created from 64 on. Sizes of the metadata files come from istat (they
    depend on mkntfs's choices), those of the user files are the bytes written."""
    maxDiff = None

    def test_whole_output(self):
        img = e2e_support.image("small", "512-4096")
        golden = [
            (0, False, "$MFT"), (1, False, "$MFTMirr"), (2, False, "$LogFile"),
            (3, False, "$Volume"), (4, False, "$AttrDef"), (5, True, "."),
            (6, False, "$Bitmap"), (7, False, "$Boot"), (8, False, "$BadClus"),
            (9, False, "$Secure"), (10, False, "$UpCase"), (11, True, "$Extend"),
            (24, False, "$Extend\\$Quota"), (25, False, "$Extend\\$ObjId"),
            (26, False, "$Extend\\$Reparse"),
            (64, False, "alpha.txt"), (65, True, "beta"), (66, False, "beta\\gamma.bin"),
            (67, False, "secret.txt"),
        ]
        user_sizes = {"alpha.txt": 6, "beta\\gamma.bin": 5000, "secret.txt": 24}
        for record, _, path in golden[-4:]:
            self.assertEqual(record_of(img, path.replace("\\", "/")), record)
        model = e2e_support.ImageModel(img)
        with e2e_support.drive(img) as drive:
            run = run_sondrel(["-list", "x"], drive.dosdevices)
            expected = []
            for record, directory, path in golden:
                size = user_sizes.get(path)
                if size is None:
                    size = model.size(record, drive.mountpoint)
                expected.append(Listed(record, directory, size, "X:\\" + path))
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        self.assertEqual(run.stdout, listing_text(expected))
        self.assertEqual(run.stderr, progress_text(model.count) + "complete. total 19 files.\n")


if __name__ == "__main__":
    e2e_support.main()
