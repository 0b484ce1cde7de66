#!/usr/bin/env python3
"""Damaged and hostile volumes: a real image gets one targeted damage at a time (offsets
found by parsing the image, boot sector to $MFT to record) and -list, -dig and -dump run on
the copy. Every run must end cleanly: the documented exit status, no sanitizer report, no
hang, the image unchanged, and every record the damage does not touch listed exactly as on
the undamaged image."""

from __future__ import annotations

import os
import shutil
import struct
import tempfile
import unittest
from dataclasses import dataclass, field
from typing import Callable

import e2e_support
import ntfs_image
import ntfs_layout
from e2e_support import record_of, run_sondrel
from ntfs_layout import Volume

GEOMETRY = "512-4096"
RULE = "-" * 79
SANITIZER_MARKS = ("AddressSanitizer", "UndefinedBehaviorSanitizer", "runtime error:",
                   "LeakSanitizer")
TIMEOUT = 120  # a hang fails the run instead of stalling the suite


@dataclass
class Damage:
    """What one case did to the image: the records whose lines may change or vanish,
    and the exit status every mode must end with."""
    touched: set[int] = field(default_factory=set)
    status: int = 0
    dumps: list[int] = field(default_factory=list)  # records worth dumping as well
    dump_status: int | None = None  # when -dump ends otherwise than -list and -dig
    # Records whose sizes claim more than their runs map: the dump writes what is
    # mapped and ends with status 1, as any dump that could not be read whole.
    incomplete: set[int] = field(default_factory=set)

    def status_of(self, args: list[str]) -> int:
        if args[0] == "-dump" and int(args[2]) in self.incomplete:
            return 1
        if args[0] == "-dump" and self.dump_status is not None:
            return self.dump_status
        return self.status


def listing(stdout: str) -> dict[int, str]:
    """The record lines between the two rule lines, by record number."""
    lines = stdout.split("\n")
    if RULE not in lines:
        return {}
    body = lines[lines.index(RULE) + 1:]
    body = body[:body.index(RULE)] if RULE in body else body
    return {int(line.split()[0]): line for line in body if line.strip()}


def set_u16(record: bytearray, offset: int, value: int) -> None:
    struct.pack_into("<H", record, offset, value)


def set_u32(record: bytearray, offset: int, value: int) -> None:
    struct.pack_into("<I", record, offset, value)


def set_u64(record: bytearray, offset: int, value: int) -> None:
    struct.pack_into("<Q", record, offset, value)


def set_parent(volume: Volume, number: int, parent: int) -> None:
    record = volume.record(number)
    for attribute in ntfs_layout.attributes(record):
        if attribute.type_code == 0x30:
            value = attribute.offset + attribute.value_offset
            struct.pack_into("<I", record, value, parent)
    volume.write_record(number, record)


class Corruption(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.image = e2e_support.image("standard", GEOMETRY)
        with open(cls.image, "rb") as f:
            cls.pristine = f.read()
        cls.work = tempfile.mkdtemp(prefix="sondrel-corrupt-")
        cls.view = cls.enterClassContext(ntfs_image.mounted(cls.image))
        cls.file = record_of(cls.image, "tree/d0/s0/f01.txt")
        cls.other = record_of(cls.image, "tree/d1/s1/f02.txt")
        cls.fragmented = record_of(cls.image, "fragmented.bin")
        cls.sparse = record_of(cls.image, "sparse.bin")
        cls.loop = [record_of(cls.image, p) for p in ("tree/d2", "tree/d2/s0", "tree/d2/s1")]
        cls.baseline = cls.run_modes(cls, cls.image, expected=None)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_modes(self, image: str, expected: Damage | None) -> dict[str, object]:
        """-list, -dig and the dumps on image, with the undamaged image's mount as the
        directory view. Returns the -list listing and the dump outputs."""
        folder = tempfile.mkdtemp(prefix="dosdevices-", dir=self.work)
        os.symlink(os.path.abspath(image), os.path.join(folder, "x::"))
        os.symlink(self.view, os.path.join(folder, "x:"))
        dumps = [0, self.file, self.other, self.fragmented, self.sparse]
        dumps += expected.dumps if expected else []
        before = e2e_support.sha256(image)
        result: dict[str, object] = {}
        runs = [["-list", "x"], ["-dig", "x"]] + [
            ["-dump", "x", str(n), f"out{n}.bin"] for n in dumps]
        for args in runs:
            run = run_sondrel(args, folder, cwd=folder, timeout=TIMEOUT)
            status = expected.status_of(args) if expected else 0
            context = f"{args}: exit {run.returncode}, stderr {run.stderr[-600:]!r}"
            for mark in SANITIZER_MARKS:
                assert mark not in run.stderr, context
            assert run.returncode == status, context
            if status != 0:
                # An unusable volume: one line on standard error, nothing listed.
                assert run.stderr.count("\n") == 1 and run.stderr.startswith("sondrel: "), \
                    context
                assert run.stdout == "", context
            if args[0] == "-list":
                result["list"] = listing(run.stdout)
            elif args[0] == "-dump":
                path = os.path.join(folder, args[3])
                if os.path.exists(path):
                    with open(path, "rb") as f:
                        result[args[2]] = f.read()
                    os.remove(path)
        assert e2e_support.sha256(image) == before, "the image changed"
        shutil.rmtree(folder)
        return result

    def damaged(self, damage: Callable[[Volume], Damage]) -> None:
        volume = Volume(self.pristine)
        expected = damage(volume)
        path = os.path.join(self.work, "damaged.img")
        with open(path, "wb") as f:
            f.write(volume.image)
        try:
            result = self.run_modes(path, expected)
        finally:
            os.remove(path)
        if expected.status != 0:
            return
        # Every record the damage leaves alone is listed as before, and dumps the same.
        listed = result["list"]
        for number, line in self.baseline["list"].items():
            if number not in expected.touched:
                self.assertEqual(listed.get(number), line, f"record {number}")
        for number in (self.file, self.other, self.fragmented, self.sparse):
            if number not in expected.touched:
                self.assertEqual(result.get(str(number)), self.baseline[str(number)],
                                 f"dump of record {number}")

    def dump_only(self, volume: Volume, number: int) -> tuple[e2e_support.Run, bytes, str]:
        """-dump of one record of a damaged image, written to a file that the caller
        removes (the image's path is returned for icat). Returns the run and the dump."""
        path = os.path.join(self.work, f"dump-{number}.img")
        with open(path, "wb") as f:
            f.write(volume.image)
        folder = tempfile.mkdtemp(prefix="dosdevices-", dir=self.work)
        os.symlink(path, os.path.join(folder, "x::"))
        os.symlink(self.view, os.path.join(folder, "x:"))
        run = run_sondrel(["-dump", "x", str(number), "out.bin"], folder, cwd=folder,
                          timeout=TIMEOUT)
        out = os.path.join(folder, "out.bin")
        dump = b""
        if os.path.exists(out):
            with open(out, "rb") as f:
                dump = f.read()
        shutil.rmtree(folder)
        return run, dump, path

    # --- the damages ------------------------------------------------------------------

    def test_update_sequence_count_too_large(self):
        def damage(volume):
            record = volume.raw_record(self.file)
            set_u16(record, 6, 0x7FFF)  # strides far past a 1024-byte record
            volume.write_record(self.file, record, fixups=False)
            return Damage({self.file}, dumps=[self.file])
        self.damaged(damage)

    def test_update_sequence_count_one_stride_too_many(self):
        def damage(volume):
            record = volume.raw_record(self.file)
            usa_count = struct.unpack_from("<H", record, 6)[0]
            set_u16(record, 6, usa_count + 1)
            volume.write_record(self.file, record, fixups=False)
            return Damage({self.file})
        self.damaged(damage)

    def test_update_sequence_array_past_record(self):
        def damage(volume):
            record = volume.raw_record(self.file)
            set_u16(record, 4, len(record) - 2)
            volume.write_record(self.file, record, fixups=False)
            return Damage({self.file})
        self.damaged(damage)

    def test_attribute_length_zero(self):
        def damage(volume):
            record = volume.record(self.file)
            first = ntfs_layout.attributes(record)[0]
            set_u32(record, first.offset + 4, 0)
            volume.write_record(self.file, record)
            return Damage({self.file}, dumps=[self.file])
        self.damaged(damage)

    def test_attribute_runs_past_record(self):
        def damage(volume):
            record = volume.record(self.file)
            name = ntfs_layout.find(record, 0x30)
            set_u32(record, name.offset + 4, len(record) - name.offset + 8)
            volume.write_record(self.file, record)
            return Damage({self.file}, dumps=[self.file])
        self.damaged(damage)

    def test_attribute_length_wraps(self):
        def damage(volume):
            record = volume.record(self.file)
            data = ntfs_layout.find(record, 0x80)
            set_u32(record, data.offset + 4, 0xFFFFFFF8)
            volume.write_record(self.file, record)
            return Damage({self.file}, dumps=[self.file])
        self.damaged(damage)

    def test_file_name_longer_than_its_value(self):
        def damage(volume):
            record = volume.record(self.file)
            name = ntfs_layout.find(record, 0x30)
            record[name.offset + name.value_offset + 0x40] = 255
            volume.write_record(self.file, record)
            return Damage({self.file})
        self.damaged(damage)

    def test_file_name_value_past_attribute(self):
        def damage(volume):
            record = volume.record(self.file)
            name = ntfs_layout.find(record, 0x30)
            set_u32(record, name.offset + 0x10, 0xFFFFFF00)  # valueLength
            volume.write_record(self.file, record)
            return Damage({self.file})
        self.damaged(damage)

    def test_parent_chain_loops_through_three_directories(self):
        top, first, second = self.loop

        def damage(volume):
            # top -> second -> first -> top: no path reaches the root any more.
            set_parent(volume, top, second)
            set_parent(volume, second, first)
            under = {n for n, line in self.baseline["list"].items()
                     if "\\tree\\d2" in line}
            return Damage(set(self.loop) | under)
        self.damaged(damage)

    def test_directory_is_its_own_grandparent(self):
        top, first, _ = self.loop

        def damage(volume):
            set_parent(volume, top, first)
            under = {n for n, line in self.baseline["list"].items()
                     if "\\tree\\d2" in line}
            return Damage(set(self.loop) | under)
        self.damaged(damage)

    def test_run_list_without_end_byte(self):
        def damage(volume):
            record = volume.record(self.fragmented)
            data = ntfs_layout.find(record, 0x80)
            runs = ntfs_layout.decode_runs(record, data)
            end = runs[-1][0] + runs[-1][1]
            record[end:data.offset + data.length] = b"\xff" * (data.offset + data.length - end)
            volume.write_record(self.fragmented, record)
            return Damage({self.fragmented}, dumps=[self.fragmented])
        self.damaged(damage)

    def test_mft_run_list_without_end_byte(self):
        def damage(volume):
            record = volume.record(0)
            data = ntfs_layout.find(record, 0x80)
            runs = ntfs_layout.decode_runs(record, data)
            end = runs[-1][0] + runs[-1][1]
            record[end:data.offset + data.length] = b"\x11" * (data.offset + data.length - end)
            volume.write_record(0, record)
            return Damage({0})
        self.damaged(damage)

    def test_run_mapping_billions_of_clusters(self):
        def damage(volume):
            record = volume.record(self.fragmented)
            data = ntfs_layout.find(record, 0x80)
            position = data.offset + data.runs_offset
            # One run of 2^40 clusters at the file's first cluster, then the end marker.
            first_lcn = ntfs_layout.decode_runs(record, data)[0][3]
            entry = bytes([0x46]) + (1 << 40).to_bytes(6, "little") + \
                first_lcn.to_bytes(4, "little") + b"\x00"
            if len(entry) > data.length - data.runs_offset:
                self.skipTest("no room for the run")
            record[position:position + len(entry)] = entry
            set_u64(record, data.offset + 0x18, (1 << 40) - 1)  # lastVcn
            volume.write_record(self.fragmented, record)
            return Damage({self.fragmented}, dumps=[self.fragmented])
        self.damaged(damage)

    def test_last_vcn_near_two_to_the_64(self):
        def damage(volume):
            for number in (self.fragmented, self.sparse):
                record = volume.record(number)
                data = ntfs_layout.find(record, 0x80)
                set_u64(record, data.offset + 0x18, (1 << 64) - 1)
                volume.write_record(number, record)
            return Damage({self.fragmented, self.sparse}, dumps=[self.fragmented])
        self.damaged(damage)

    def test_file_data_claims_4_gib(self):
        def damage(volume):
            record = volume.record(self.fragmented)
            data = ntfs_layout.find(record, 0x80)
            for offset in (0x28, 0x30, 0x38):
                set_u64(record, data.offset + offset, 0xFFFFF000)
            volume.write_record(self.fragmented, record)
            return Damage({self.fragmented}, dumps=[self.fragmented], incomplete={self.fragmented})
        self.damaged(damage)

    def test_mft_data_claims_4_gib(self):
        def damage(volume):
            record = volume.record(0)
            data = ntfs_layout.find(record, 0x80)
            for offset in (0x28, 0x30, 0x38):
                set_u64(record, data.offset + offset, 0xFFFFFC00)
            volume.write_record(0, record)
            return Damage({0}, incomplete={0})
        self.damaged(damage)

    def test_mft_data_claims_exactly_4_gib(self):
        def damage(volume):
            record = volume.record(0)
            data = ntfs_layout.find(record, 0x80)
            for offset in (0x28, 0x30, 0x38):
                set_u64(record, data.offset + offset, 1 << 32)
            volume.write_record(0, record)
            return Damage({0}, incomplete={0})
        self.damaged(damage)

    def test_mft_bitmap_claims_4_gib(self):
        def damage(volume):
            record = volume.record(0)
            bitmap = ntfs_layout.find(record, 0xB0)
            if not bitmap.non_resident:
                self.skipTest("the $MFT's $BITMAP is resident here")
            for offset in (0x28, 0x30, 0x38):
                set_u64(record, bitmap.offset + offset, 0xFFFFF000)
            volume.write_record(0, record)
            return Damage({0})
        self.damaged(damage)

    def test_boot_sector_zero_sector_size(self):
        def damage(volume):
            struct.pack_into("<H", volume.image, 0x0B, 0)
            return Damage(status=1)
        self.damaged(damage)

    def test_boot_sector_zero_sectors_per_cluster(self):
        def damage(volume):
            volume.image[0x0D] = 0
            return Damage(status=1)
        self.damaged(damage)

    def test_mft_beyond_end_of_volume(self):
        def damage(volume):
            total = struct.unpack_from("<Q", volume.image, 0x28)[0]
            struct.pack_into("<Q", volume.image, 0x30, total * 4)
            return Damage(status=1)
        self.damaged(damage)

    def test_mft_record_without_signature(self):
        def damage(volume):
            record = volume.record(0)
            record[0:4] = b"BAAD"
            volume.write_record(0, record)
            return Damage(status=1)
        self.damaged(damage)

    def test_mft_record_without_unnamed_data(self):
        def damage(volume):
            record = volume.record(0)
            data = ntfs_layout.find(record, 0x80)
            set_u32(record, data.offset, 0x70)  # no longer $DATA
            volume.write_record(0, record)
            return Damage(status=1)
        self.damaged(damage)

    def test_mft_record_without_bitmap(self):
        def damage(volume):
            record = volume.record(0)
            bitmap = ntfs_layout.find(record, 0xB0)
            set_u32(record, bitmap.offset, 0x70)  # no longer $BITMAP
            volume.write_record(0, record)
            return Damage(status=1, dump_status=0)
        self.damaged(damage)


    def test_run_past_end_of_volume_stops_the_dump_at_the_volume(self):
        # Sizes of 2^40 clusters, all mapped by one run from the file's first cluster:
        # the dump ends with the volume's last cluster, reads and writes nothing past it,
        # and says it is incomplete.
        clusters = 1 << 40
        first_lcn = 0

        def damage(volume):
            nonlocal first_lcn
            record = volume.record(self.fragmented)
            data = ntfs_layout.find(record, 0x80)
            first_lcn = ntfs_layout.decode_runs(record, data)[0][3]
            entry = bytes([0x46]) + clusters.to_bytes(6, "little") + \
                first_lcn.to_bytes(4, "little") + b"\x00"
            if len(entry) > data.length - data.runs_offset:
                self.skipTest("no room for the run")
            position = data.offset + data.runs_offset
            record[position:position + len(entry)] = entry
            set_u64(record, data.offset + 0x18, clusters - 1)  # lastVcn
            for offset in (0x28, 0x30, 0x38):
                set_u64(record, data.offset + offset, clusters * volume.boot.cluster_size)
            volume.write_record(self.fragmented, record)
            return Damage({self.fragmented}, dumps=[self.fragmented],
                          incomplete={self.fragmented})
        self.damaged(damage)

        volume = Volume(self.pristine)
        damage(volume)
        run, dump, path = self.dump_only(volume, self.fragmented)
        os.remove(path)
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertIn("incomplete dump", run.stderr)
        boot = volume.boot
        volume_clusters = boot.total_sectors * boot.bytes_per_sector // boot.cluster_size
        start = first_lcn * boot.cluster_size
        self.assertEqual(len(dump), (volume_clusters - first_lcn) * boot.cluster_size)
        self.assertEqual(dump, self.pristine[start:start + len(dump)])

    def test_initialized_size_below_the_data_size_dumps_zeros_past_it(self):
        # A non-resident $DATA whose initialized size is edited down: past it the file
        # holds zeros, as icat reads it, whatever its clusters hold. A resident value has
        # no initialized size: its dump is its value, as icat reads it.
        original = self.baseline[str(self.fragmented)]
        for initialized in (0, 5000):
            with self.subTest(initialized=initialized):
                volume = Volume(self.pristine)
                record = volume.record(self.fragmented)
                data = ntfs_layout.find(record, 0x80)
                self.assertTrue(data.non_resident)
                set_u64(record, data.offset + 0x38, initialized)
                volume.write_record(self.fragmented, record)
                run, dump, path = self.dump_only(volume, self.fragmented)
                icat = e2e_support.tsk_bytes("icat", path, str(self.fragmented))
                os.remove(path)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(dump, original[:initialized] +
                                 bytes(len(original) - initialized))
                self.assertEqual(dump, icat)
        volume = Volume(self.pristine)
        self.assertFalse(ntfs_layout.find(volume.record(self.file), 0x80).non_resident)
        run, dump, path = self.dump_only(volume, self.file)
        icat = e2e_support.tsk_bytes("icat", path, str(self.file))
        os.remove(path)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(dump, icat)

    def test_data_in_hundreds_of_one_cluster_runs_dumps_as_icat_reads_it(self):
        # The file's $DATA rewritten as one-cluster runs filling its record, every
        # other one sparse, the real ones jumping between the file's clusters.
        volume = Volume(self.pristine)
        record = volume.record(self.fragmented)
        data = ntfs_layout.find(record, 0x80)
        if ntfs_layout.attributes(record)[-1].offset != data.offset:
            self.skipTest("$DATA is not the record's last attribute")
        lcns = []
        for _, _, length, lcn in ntfs_layout.decode_runs(record, data):
            lcns += [lcn + i for i in range(length)] if lcn else []
        start = data.offset + data.runs_offset
        room = struct.unpack_from("<I", record, 0x1C)[0] - 16 - start  # end markers
        runs = bytearray()
        previous = 0
        vcn = 0
        while True:
            if vcn % 2:
                entry = bytes([0x01, 1])
            else:
                lcn = lcns[(vcn * 7) % len(lcns)]
                width = next(w for w in (1, 2, 3, 4) if -(1 << (8 * w - 1)) <= lcn - previous
                             < 1 << (8 * w - 1))
                entry = bytes([0x01 | width << 4, 1]) + \
                    (lcn - previous).to_bytes(width, "little", signed=True)
            if len(runs) + len(entry) > room:
                break
            runs += entry
            previous = lcn if not vcn % 2 else previous
            vcn += 1
        runs += b"\x00"
        length = (data.runs_offset + len(runs) + 7) & ~7
        record[start:data.offset + length] = runs + bytes(data.offset + length - start - len(runs))
        set_u32(record, data.offset + 4, length)
        end = data.offset + length
        set_u32(record, end, 0xFFFFFFFF)
        set_u32(record, end + 4, 0)
        set_u32(record, 0x18, end + 8)
        cluster_size = volume.boot.cluster_size
        set_u64(record, data.offset + 0x18, vcn - 1)
        for offset in (0x28, 0x30, 0x38):
            set_u64(record, data.offset + offset, vcn * cluster_size)
        volume.write_record(self.fragmented, record)
        self.assertGreater(vcn, 100)
        run, dump, path = self.dump_only(volume, self.fragmented)
        icat = e2e_support.tsk_bytes("icat", path, str(self.fragmented))
        os.remove(path)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(len(dump), vcn * cluster_size)
        self.assertEqual(dump, icat)

if __name__ == "__main__":
    e2e_support.main()
