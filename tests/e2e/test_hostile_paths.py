#!/usr/bin/env python3
"""Hostile paths on a real image: a parent loop through 2,000 directories and a chain of
10,000 directories each inside the one before (both made by patching the parent references
of directories created side by side), names holding control characters (ntfs-3g allows
them), and a file whose record claims a base record that does not list it. -list and -dig
run under a memory cap (ulimit -v) that the quadratic and cubic caches of old overran; the
names come out one record a line with each control character as '^'; the claimant is listed
as its own record. The image is never written."""

from __future__ import annotations

import os
import resource
import shutil
import struct
import subprocess
import tempfile
import unittest

import e2e_support
import ntfs_image
import ntfs_layout
from ntfs_image import Dir, File

LOOP = 2000
DEPTH = 10000
CAP = 256 << 20  # bytes of address space for one run
RULE = "-" * 79
CONTROL_NAMES = {
    "nl\n      70 9 innocent.txt": "nl^      70 9 innocent.txt",
    "cr\rx.txt": "cr^x.txt",
    "esc\x1b[2Kx.txt": "esc^[2Kx.txt",
    "csi\u009b31mx.txt": "csi^31mx.txt",
    "del\x7fx.txt": "del^x.txt",
    "plain \u00e9.txt": "plain \u00e9.txt",
}


def deep_entries() -> list:
    return [Dir("loop"), Dir("chain")] + [Dir(f"loop/l{i}") for i in range(LOOP)] + \
        [Dir(f"chain/c{i}") for i in range(DEPTH)]


def name_entries() -> list:
    return [Dir("ctl"), Dir("claim"), File("claim/victim.txt", b"v" * 10),
            File("claim/other.txt", b"o" * 20)] + \
        [File(f"ctl/{name}", b"x") for name in CONTROL_NAMES]


def load(name: str, built_entries: list) -> ntfs_layout.Volume:
    built = ntfs_image.cached_image(e2e_support.CACHE, name, ntfs_image.Geometry(512, 4096, 64),
                                    built_entries)
    with open(built, "rb") as f:
        return ntfs_layout.Volume(f.read())


def records_by_name(volume: ntfs_layout.Volume) -> dict[str, int]:
    by_name: dict[str, int] = {}
    for number in volume.records():
        named = ntfs_layout.file_name(volume.record(number))
        if named is not None:
            by_name[named[0]] = number
    return by_name


def sanitized(binary: str) -> bool:
    """An address-sanitized binary reserves terabytes of shadow: no cap applies to it."""
    linked = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    return "libasan" in linked


def run_capped(args: list[str], dosdevices: str) -> tuple[int, int, int, int, str]:
    """Runs the binary with its address space capped; returns the exit status, the lines
    and bytes of standard output (streamed, not kept) and its longest line's length."""
    binary = os.environ["SONDREL_BIN"]
    cap = None if sanitized(binary) else CAP
    env = dict(os.environ, SONDREL_DOSDEVICES=dosdevices)
    env.pop("LD_PRELOAD", None)

    def limit():
        if cap is not None:
            resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    with tempfile.TemporaryFile() as err, \
            subprocess.Popen([binary, *args], env=env, stdout=subprocess.PIPE, stderr=err,
                             preexec_fn=limit) as process:
        lines = size = longest = current = 0
        while chunk := process.stdout.read(1 << 20):
            size += len(chunk)
            parts = chunk.split(b"\n")
            for part in parts[:-1]:
                current += len(part)
                longest = max(longest, current)
                current = 0
                lines += 1
            current += len(parts[-1])
        status = process.wait(timeout=900)
        err.seek(0)
        tail = err.read()[-300:].decode("utf-8", "replace")
    return status, lines, size, longest, tail


class HostilePaths(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="sondrel-hostile-")
        deep = load("hostile-deep", deep_entries())
        by_name = records_by_name(deep)
        loop = [by_name[f"l{i}"] for i in range(LOOP)]
        chain = [by_name[f"c{i}"] for i in range(DEPTH)]
        for i, number in enumerate(loop):
            cls.set_parent(deep, number, loop[i - 1])  # l0's parent is the last
        for i, number in enumerate(chain[1:], 1):
            cls.set_parent(deep, number, chain[i - 1])
        cls.deep = cls.save(deep, "deep.img")

        names = load("hostile-names", name_entries())
        by_name = records_by_name(names)
        cls.victim = by_name["victim.txt"]
        cls.other = by_name["other.txt"]
        record = names.record(cls.victim)
        struct.pack_into("<Q", record, 0x20, (1 << 48) | cls.other)  # claims 'other' as base
        names.write_record(cls.victim, record)
        cls.names = cls.save(names, "names.img")
        cls.checksums = {path: e2e_support.sha256(path) for path in (cls.deep, cls.names)}

    @classmethod
    def save(cls, volume: ntfs_layout.Volume, name: str) -> str:
        return e2e_support.save_image(cls.work, volume.image, name)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @staticmethod
    def set_parent(volume: ntfs_layout.Volume, number: int, parent: int) -> None:
        record = volume.record(number)
        for attribute in ntfs_layout.attributes(record):
            if attribute.type_code == 0x30:
                struct.pack_into("<Q", record, attribute.offset + attribute.value_offset,
                                 (1 << 48) | parent)
        volume.write_record(number, record)

    def tearDown(self):
        for path, checksum in self.checksums.items():
            self.assertEqual(e2e_support.sha256(path), checksum, "the image was written")

    def test_loop_and_chain_run_within_a_memory_cap(self):
        with e2e_support.drive(self.deep) as drive:
            for mode in ("-list", "-dig"):
                status, lines, size, longest, tail = run_capped([mode, "x"], drive.dosdevices)
                self.assertEqual(status, 0, f"{mode}: {tail}")
                self.assertIn("complete. total", tail)
                if mode == "-list":
                    # Every directory of the loop and of the chain has its line, and the
                    # deepest path holds the whole chain: "c<i>" and a backslash each.
                    self.assertGreater(lines, LOOP + DEPTH)
                    deepest = sum(len(f"c{i}") + 1 for i in range(DEPTH))
                    self.assertGreater(longest, deepest)
                    self.assertGreater(size, deepest * (DEPTH // 3))

    def test_control_characters_print_as_carets_one_record_a_line(self):
        with e2e_support.drive(self.names) as drive:
            for mode in ("-list", "-dig"):
                run = e2e_support.run_sondrel([mode, "x"], drive.dosdevices, timeout=900,
                                              hide=["esc\x1b[2Kx.txt"] if mode == "-dig" else ())
                self.assertEqual(run.returncode, 0, run.stderr[-300:])
                lines = run.stdout.split("\n")
                body = lines[2:lines.index(RULE, 2)]
                for line in body:
                    self.assertRegex(line, r"^ *\d+ +\d+ (<DIR>|     ) \S")
                    self.assertFalse(any(ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F for c in line),
                                     repr(line))
                shown = {line.split("\\")[-1] for line in body if "\\ctl\\" in line}
                if mode == "-list":
                    self.assertEqual(shown, set(CONTROL_NAMES.values()))
                else:
                    # Found in the listing under their stored names: only the hidden one.
                    self.assertEqual(shown, {"esc^[2Kx.txt"})

    def test_a_claimed_base_that_does_not_list_the_record_hides_nothing(self):
        with e2e_support.drive(self.names) as drive:
            run = e2e_support.run_sondrel(["-list", "x"], drive.dosdevices, timeout=900)
        self.assertEqual(run.returncode, 0)
        self.assertRegex(run.stdout, rf"\n *{self.victim} +10       X:\\claim\\victim\.txt\n")
        self.assertRegex(run.stdout, rf"\n *{self.other} +20       X:\\claim\\other\.txt\n")


if __name__ == "__main__":
    e2e_support.main()
