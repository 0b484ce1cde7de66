#!/usr/bin/env python3
"""-dump writes exactly the bytes of a record's unnamed $DATA that `icat IMAGE N` writes,
straight from the clusters: resident, fragmented, sparse, a file with a named stream (only
the unnamed stream) and record 0 (the whole $MFT), on two geometries. A record that has no
unnamed $DATA or no record at all creates no file and leaves an existing one untouched."""

import os
import tempfile
import unittest

import e2e_support
import ntfs_image
from e2e_support import record_of, run_sondrel

# path on the volume -> the bytes the builder wrote to its unnamed stream
FILES = {
    "small.txt": None,
    "fragmented.bin": ntfs_image.FragmentedFile("fragmented.bin").data,
    "sparse.bin": None,
    "streams/with stream.txt": b"the unnamed stream\n",
    "empty.dat": b"",
    "tree/d3/s3/f15.txt": None,
    "Program Files Long/readme.txt": ntfs_image.content("readme", 2000),
}


def sparse_bytes():
    data = bytearray(4 << 20)
    for entry in ntfs_image.standard_volume():
        if isinstance(entry, ntfs_image.SparseFile) and entry.path == "sparse.bin":
            for offset, piece in entry.pieces:
                data[offset:offset + len(piece)] = piece
    return bytes(data)


class Dump(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="sondrel-dump-")

    def tearDown(self):
        for name in os.listdir(self.out):
            os.remove(os.path.join(self.out, name))
        os.rmdir(self.out)

    def dump(self, drive, index, name="out.bin"):
        run = run_sondrel(["-dump", "x", str(index), name], drive.dosdevices, cwd=self.out)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""))
        path = os.path.join(self.out, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def check_geometry(self, geometry):
        img = e2e_support.image("standard", geometry)
        before = e2e_support.sha256(img)
        with e2e_support.drive(img, view=False) as drive:
            for path, written in FILES.items():
                with self.subTest(geometry=geometry, path=path):
                    record = record_of(img, path)
                    got = self.dump(drive, record)
                    self.assertIsNotNone(got, "no output file")
                    want = e2e_support.tsk_bytes("icat", img, str(record))
                    self.assertEqual(len(got), len(want))
                    self.assertTrue(got == want, f"{path}: bytes differ from icat's")
                    if written is not None:
                        self.assertTrue(got == written, f"{path}: bytes differ from the file")
            with self.subTest(geometry=geometry, path="sparse.bin holes"):
                self.assertTrue(self.dump(drive, record_of(img, "sparse.bin")) == sparse_bytes())
            with self.subTest(geometry=geometry, path="record 0"):
                mft = self.dump(drive, 0)
                self.assertTrue(mft == e2e_support.tsk_bytes("icat", img, "0"),
                                "record 0 is not the whole $MFT")
                self.assertEqual(mft[:4], b"FILE")
        self.assertEqual(e2e_support.sha256(img), before, "the image was written")

    def test_512_byte_sectors(self):
        self.check_geometry("512-4096")

    def test_4096_byte_sectors(self):
        self.check_geometry("4096-4096")

    def test_clusters_smaller_and_larger_than_a_record(self):
        self.check_geometry("512-512")
        self.check_geometry("512-65536")

    def test_no_file_for_records_without_unnamed_data(self):
        img = e2e_support.image("standard", "512-4096")
        count = e2e_support.mft_record_count(img)
        # ntfs-3g formats the MFT's spare records ahead of use: "FILE", flags clear, no
        # attribute. Take the last such record.
        never_used = next(n for n in range(count - 1, 0, -1)
                          if "Type: " not in e2e_support.tsk("istat", img, str(n)))
        self.assertIn("Not Allocated", e2e_support.tsk("istat", img, str(never_used)))
        cases = {
            "a directory": record_of(img, "tree/d0"),
            "the root directory": 5,
            "a record with no $DATA (16, reserved)": 16,
            "an unused record (no attribute)": never_used,
            "a record past the MFT's end": count + 1000,
            "a record number of 2^31 or more (-1)": -1,
        }
        with e2e_support.drive(img, view=False) as drive:
            for what, record in cases.items():
                with self.subTest(what):
                    self.assertIsNone(self.dump(drive, record, "fresh.bin"))
                    keep = os.path.join(self.out, "keep.bin")
                    with open(keep, "wb") as f:
                        f.write(b"left untouched")
                    self.dump(drive, record, "keep.bin")
                    with open(keep, "rb") as f:
                        self.assertEqual(f.read(), b"left untouched")

    def test_deleted_record_is_dumped_from_its_clusters(self):
        # A deleted file's record keeps "FILE" and its attributes with the in-use flag
        # clear; its data is written like any other, from what the clusters hold.
        img = e2e_support.image("standard", "512-4096")
        deleted = [e for e in e2e_support.fls(img) if e.path == "deleted.bin"]
        self.assertEqual([e.allocated for e in deleted], [False])
        with e2e_support.drive(img, view=False) as drive:
            got = self.dump(drive, deleted[0].record)
        self.assertTrue(got == e2e_support.tsk_bytes("icat", img, str(deleted[0].record)))
        self.assertTrue(got == ntfs_image.content("deleted", 10000))

    def test_index_argument_and_replacing_an_existing_file(self):
        img = e2e_support.image("standard", "512-4096")
        small = record_of(img, "small.txt")
        want = e2e_support.tsk_bytes("icat", img, str(small))
        with e2e_support.drive(img, view=False) as drive:
            with open(os.path.join(self.out, "out.bin"), "wb") as f:
                f.write(b"x" * 100000)
            self.assertEqual(self.dump(drive, small), want, "existing file not replaced")
            # Digits up to the first non-digit count; no digits at all is record 0.
            self.assertEqual(self.dump(drive, f"{small}abc", "a.bin"), want)
            self.assertEqual(self.dump(drive, f" {small}", "b.bin"), want)
            self.assertEqual(self.dump(drive, "abc", "c.bin"),
                             e2e_support.tsk_bytes("icat", img, "0"))
            # Dump wins over the other modes, on the drive of the last option.
            run = run_sondrel(["-dump", "q", str(small), "d.bin", "-list", "x"],
                              drive.dosdevices, cwd=self.out)
            self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""))
            with open(os.path.join(self.out, "d.bin"), "rb") as f:
                self.assertEqual(f.read(), want)


if __name__ == "__main__":
    e2e_support.main()
