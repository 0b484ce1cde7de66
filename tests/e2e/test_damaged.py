#!/usr/bin/env python3
"""Damaged volumes, made by editing a copy of a real image: the tool never crashes or
hangs, reports an unusable volume on one line with exit status 1, and otherwise passes
over the broken record and lists everything else exactly as on the intact image."""

import os
import shutil
import struct
import tempfile
import unittest

import e2e_support
from e2e_support import record_of, run_sondrel


def record_lines(listing, leave_out):
    """The record lines of a listing, less those of the given record numbers."""
    return [line for line in listing.splitlines(keepends=True)[2:-1]
            if int(line[:8]) not in leave_out]


class Damaged(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="sondrel-damaged-")
        self.original = e2e_support.image("small", "512-4096")
        self.image = os.path.join(self.work, "damaged.img")
        shutil.copyfile(self.original, self.image)
        with open(self.image, "rb") as f:
            boot = f.read(512)
        sector, = struct.unpack_from("<H", boot, 0x0B)
        cluster = sector * boot[0x0D]
        mft_lcn, = struct.unpack_from("<Q", boot, 0x30)
        self.mft_offset = mft_lcn * cluster
        self.record_size = e2e_support.mft_record_size(self.original)

    def tearDown(self):
        shutil.rmtree(self.work)

    def record_offset(self, record):
        # The first records of a fresh volume lie in the $MFT's first run; make sure.
        offset = self.mft_offset + record * self.record_size
        mft = e2e_support.tsk_bytes("icat", self.original, "0")
        with open(self.original, "rb") as f:
            f.seek(offset)
            self.assertEqual(f.read(self.record_size),
                             mft[record * self.record_size:(record + 1) * self.record_size])
        return offset

    def patch(self, offset, data):
        with open(self.image, "r+b") as f:
            f.seek(offset)
            f.write(data)

    def run_list(self, image):
        with e2e_support.drive(image, view=False) as drive:
            return run_sondrel(["-list", "x"], drive.dosdevices, timeout=60)

    def test_boot_sector_zeroed(self):
        self.patch(0, bytes(512))
        for args in (["-list", "x"], ["-dig", "x"], ["-dump", "x", "0", "out.bin"]):
            with self.subTest(args=args):
                with e2e_support.drive(self.image, view=False) as drive:
                    run = run_sondrel(args, drive.dosdevices, cwd=self.work, timeout=60)
                self.assertEqual((run.returncode, run.stdout, run.stderr.count("\n")), (1, "", 1),
                                 run.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.work, "out.bin")))

    def test_record_without_file_signature_is_passed_over(self):
        victim = record_of(self.original, "beta/gamma.bin")
        self.patch(self.record_offset(victim), b"BAAD")
        intact = self.run_list(self.original)
        damaged = self.run_list(self.image)
        self.assertEqual(damaged.returncode, 0)
        expected = "".join(line for line in intact.stdout.splitlines(keepends=True)
                           if not line.endswith("\\beta\\gamma.bin\n"))
        self.assertNotEqual(expected, intact.stdout)
        self.assertEqual(damaged.stdout, expected)
        self.assertTrue(damaged.stderr.endswith(f"complete. total {len(expected.splitlines()) - 3} files.\n"))
        with e2e_support.drive(self.image, view=False) as drive:
            run = run_sondrel(["-dump", "x", str(victim), "out.bin"], drive.dosdevices,
                              cwd=self.work)
        self.assertEqual((run.returncode, run.stdout, run.stderr), (0, "", ""))
        self.assertFalse(os.path.exists(os.path.join(self.work, "out.bin")))

    def test_torn_write_and_parent_loop(self):
        # A record whose stride ends do not hold the update sequence number (a torn write)
        # is restored all the same and listed as before. Two directories that name each
        # other as parent: the walk ends, both are still listed once, and every other
        # record keeps its line.
        beta = record_of(self.original, "beta")
        gamma = record_of(self.original, "beta/gamma.bin")
        alpha = record_of(self.original, "alpha.txt")
        self.patch(self.record_offset(alpha) + 510, b"\xde\xad")
        for record, parent in ((beta, gamma), (gamma, beta)):
            offset = self.record_offset(record)
            with open(self.image, "rb") as f:
                f.seek(offset)
                raw = f.read(self.record_size)
            attribute, = struct.unpack_from("<H", raw, 0x14)
            while struct.unpack_from("<I", raw, attribute)[0] != 0x30:  # $FILE_NAME
                attribute += struct.unpack_from("<I", raw, attribute + 4)[0]
            value = attribute + struct.unpack_from("<H", raw, attribute + 0x14)[0]
            self.patch(offset + value, struct.pack("<Q", parent | (1 << 48)))
        run = self.run_list(self.image)
        self.assertEqual(run.returncode, 0, run.stderr[-300:])
        intact = self.run_list(self.original)
        self.assertEqual(record_lines(run.stdout, {beta, gamma}),
                         record_lines(intact.stdout, {beta, gamma}))
        numbers = [int(line[:8]) for line in run.stdout.splitlines()[2:-1]]
        self.assertEqual((numbers.count(beta), numbers.count(gamma)), (1, 1))

    def test_truncated_image(self):
        with open(self.image, "r+b") as f:
            f.truncate(os.path.getsize(self.image) // 64)
        for args in (["-list", "x"], ["-dig", "x"], ["-dump", "x", "0", "out.bin"]):
            with self.subTest(args=args):
                with e2e_support.drive(self.image, view=False) as drive:
                    run = run_sondrel(args, drive.dosdevices, cwd=self.work, timeout=60)
                self.assertIn(run.returncode, (0, 1), run.stderr[-300:])


if __name__ == "__main__":
    e2e_support.main()
