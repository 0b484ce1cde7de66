#!/usr/bin/env python3
"""The standard test volume has the properties the other suites rely on, on every
geometry, as The Sleuth Kit sees the image (not as the builder believes it wrote it)."""

import unittest

import e2e_support
from e2e_support import istat, record_of
import ntfs_image


class StandardVolume(unittest.TestCase):
    def check(self, geometry):
        img = e2e_support.image("standard", geometry)
        record_size = e2e_support.mft_record_size(img)
        self.assertEqual(record_size, 1024 if geometry.startswith("512-") else 4096)

        entries = e2e_support.fls(img)
        files = [e for e in entries if e.allocated and not e.path.startswith("$")]
        self.assertGreater(len(files), 300, "a few hundred files")

        small = istat(img, record_of(img, "small.txt"))
        self.assertTrue(small.data_resident, "small.txt must be resident")

        frag = istat(img, record_of(img, "fragmented.bin"))
        self.assertFalse(frag.data_resident)
        self.assertGreaterEqual(frag.data_runs, 3, "fragmented.bin must be in several runs")
        self.assertEqual(frag.sparse_runs, 0)

        sparse = istat(img, record_of(img, "sparse.bin"))
        self.assertGreaterEqual(sparse.sparse_runs, 2, "sparse.bin must hold holes")

        for path, short in (("Program Files Long", "PROGRA~1"),
                            ("Program Files Long/Another Long Directory", "ANOTHE~1")):
            info = istat(img, record_of(img, path))
            self.assertEqual(info.names, (short, path.rsplit("/", 1)[-1]),
                             f"{path}: the 8.3 name must be the first $FILE_NAME")

        link = istat(img, record_of(img, "links/original.txt"))
        self.assertEqual(sorted(link.names), ["original.txt", "second name.txt"])
        self.assertEqual(record_of(img, "links/second name.txt"), link.record)

        stream_file = record_of(img, "streams/with stream.txt")
        self.assertIn(f"{stream_file}-128-", e2e_support.tsk("fls", "-p", img,
                                                             str(record_of(img, "streams"))))
        self.assertTrue(any(e.path == "streams/with stream.txt:alternate" for e in entries))

        self.assertGreater(len("X:\\" + ntfs_image.LONG_PATH), 259)
        self.assertEqual(e2e_support.tsk_bytes("icat", img,
                                               str(record_of(img, ntfs_image.LONG_PATH))),
                         b"deep\n")
        self.assertEqual(e2e_support.tsk_bytes("icat", img, str(record_of(img, "empty.dat"))),
                         b"")

    def test_512_byte_sectors(self):
        self.check("512-4096")

    def test_4096_byte_sectors(self):
        self.check("4096-4096")


if __name__ == "__main__":
    e2e_support.main(need_binary=False)
