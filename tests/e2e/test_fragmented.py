#!/usr/bin/env python3
"""A volume whose $MFT is in so many runs that record 0 keeps the rest of its $DATA in an
extension record named by its $ATTRIBUTE_LIST, with a file whose $DATA does the same. The
records past record 0's own piece are reachable only through that list: -list must show
them under their base records as fls does, -dig must find one hidden among them, and -dump
of record 0 and of the file must equal icat. The image is never written."""

import os
import tempfile
import unittest

import e2e_support
import ntfs_image
import ntfs_layout
from e2e_support import fls_as_listed, listed_pairs, run_sondrel, tsk, tsk_bytes

DATA = 0x80


class Fragmented(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.image = e2e_support.image("fragmented", "512-4096")
        cls.checksum = e2e_support.sha256(cls.image)
        with open(cls.image, "rb") as f:
            cls.volume = ntfs_layout.Volume(f.read())
        boot = cls.volume.boot
        # The first record that only the pieces in extension records map.
        cls.past_first_piece = (cls.volume.first_piece.last_vcn + 1) * boot.cluster_size \
            // boot.record_size
        cls.frag = e2e_support.record_of(cls.image, ntfs_image.FRAGMENTED_FILE)
        with e2e_support.drive(cls.image) as drive:
            cls.listing = run_sondrel(["-list", "x"], drive.dosdevices)

    def tearDown(self):
        self.assertEqual(e2e_support.sha256(self.image), self.checksum, "the image was written")

    def assert_continues_in_extension(self, record):
        """record's unnamed $DATA has a piece from a VCN past 0 in another record."""
        pieces = self.volume.pieces(record, DATA)
        self.assertTrue(any(p.start_vcn > 0 and p.record != record for p in pieces),
                        f"record {record}: $DATA pieces {pieces}")

    def test_mft_data_continues_in_an_extension_record(self):
        self.assertRegex(tsk("istat", self.image, "0"), r"(?m)^Type: \$ATTRIBUTE_LIST")
        self.assert_continues_in_extension(0)
        self.assertLess(self.past_first_piece, self.volume.record_count())

    def test_list_matches_fls_past_the_first_piece(self):
        run = self.listing
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        listed = listed_pairs(run.stdout)
        self.assertEqual(len({r for r, _ in listed}), len(listed), "a record listed twice")
        entries = e2e_support.fls(self.image)
        extensions = {e.record for e in entries if e.allocated and not e.virtual
                      and ntfs_layout.base_reference(self.volume.record(e.record)) != 0}
        expected = fls_as_listed(entries, lambda r: e2e_support.istat(self.image, r).first_name,
                                 extensions)
        self.assertEqual(sorted(listed), sorted(expected))
        self.assertTrue(run.stderr.endswith(f"complete. total {len(listed)} files.\n"),
                        run.stderr[-200:])
        self.assertTrue(any(r >= self.past_first_piece for r, _ in listed),
                        f"nothing listed from record {self.past_first_piece} on")

    def test_dump_equals_icat(self):
        self.assert_continues_in_extension(self.frag)
        written = ntfs_image.content(ntfs_image.FRAGMENTED_FILE, ntfs_image.FRAGMENTED_SIZE)
        with tempfile.TemporaryDirectory() as folder, \
                e2e_support.drive(self.image, view=False) as drive:
            for record in (0, self.frag):
                with self.subTest(record=record):
                    out = os.path.join(folder, f"out{record}")
                    run = run_sondrel(["-dump", "x", str(record), out], drive.dosdevices)
                    self.assertEqual(run.returncode, 0, run.stderr[-500:])
                    with open(out, "rb") as f:
                        dumped = f.read()
                    # assertTrue: a diff of megabytes would bury the message.
                    self.assertTrue(dumped == tsk_bytes("icat", self.image, str(record)),
                                    f"record {record}: -dump differs from icat")
                    if record == self.frag:
                        self.assertTrue(dumped == written, "differs from what was written")

    def test_dig_finds_a_file_hidden_past_the_first_piece(self):
        lines = {int(line[:8]): line + "\n"
                 for line in self.listing.stdout.splitlines()[2:-1]}
        record = max(lines, default=0)
        self.assertGreaterEqual(record, self.past_first_piece, "nothing listed past it")
        name = lines[record].rstrip("\n").rsplit("\\", 1)[-1]
        with e2e_support.drive(self.image) as drive:
            run = run_sondrel(["-dig", "x"], drive.dosdevices, hide=[name])
        self.assertEqual(run.returncode, 0, run.stderr[-500:])
        self.assertEqual(run.stdout, e2e_support.HEADER + e2e_support.RULE + lines[record]
                         + e2e_support.RULE)
        self.assertTrue(run.stderr.endswith(
            f"complete. total {len(lines)} files, 1 hidden files.\n"), run.stderr[-200:])


if __name__ == "__main__":
    e2e_support.main()
