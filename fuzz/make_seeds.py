#!/usr/bin/env python3
"""Rebuilds the seed corpora of the fuzz targets from a small mkntfs image (needs root,
/dev/fuse, mkntfs and ntfs-3g, like the end-to-end suite):

  corpus/file_record/seed-*  raw MFT records (fix-ups not applied), one per file
  corpus/data_run/seed-*     each non-resident unnamed attribute, with the harness's prefix
  corpus/volume/seed-*       the first 128 KiB of the image: boot sector, $MFT bitmap, MFT,
                             with the small files' clusters moved in there

Inputs kept because they once found a fault are named after the fault, never seed-*, and
this script leaves them alone. Usage: fuzz/make_seeds.py [--keep-image IMG]
"""

from __future__ import annotations

import argparse
import glob
import os
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import ntfs_image  # noqa: E402
import ntfs_layout  # noqa: E402
from ntfs_image import Dir, File, FragmentedFile, HardLink, SparseFile, Stream  # noqa: E402

VOLUME_PREFIX = 128 * 1024
GEOMETRY = ntfs_image.Geometry(512, 512, size_mib=2)
ENTRIES = [
    Dir("dir"),
    File("dir/a.txt", b"resident\n"),
    File("b.bin", ntfs_image.content("b", 3000)),
    Dir("Long Directory Name", dos_name="LONGDI~1"),
    File("Long Directory Name/c.txt", b"c\n"),
    SparseFile("sparse.bin", 256 * 1024, ((0, ntfs_image.content("s0", 700)),
                                          (100 * 1024, ntfs_image.content("s1", 900)))),
    FragmentedFile("frag.bin", chunks=4, chunk_size=1024),
    HardLink("dir/second.txt", "dir/a.txt"),
    File("streams.txt", b"main\n"),
    Stream("streams.txt", "alt", ntfs_image.content("alt", 2000)),
]


def write_seed(folder: str, name: str, data: bytes) -> None:
    with open(os.path.join(HERE, "corpus", folder, "seed-" + name), "wb") as f:
        f.write(data)


def relocate(volume: ntfs_layout.Volume, number: int, free_lcn: int, limit_lcn: int) -> int:
    """Copies the clusters of record number's unnamed $DATA to free_lcn and on, rewriting
    its run list in place (same entry sizes); returns the next free cluster. Leaves the
    record alone when its runs do not fit the prefix or their fields."""
    record = volume.record(number)
    data = ntfs_layout.find(record, 0x80)
    if data is None or not data.non_resident:
        return free_lcn
    runs = ntfs_layout.decode_runs(record, data)
    need = sum(length for _, _, length, lcn in runs if lcn)
    if free_lcn + need > limit_lcn:
        return free_lcn
    cluster = volume.boot.cluster_size
    patched = bytearray(record)
    moved = []
    previous, next_lcn = 0, free_lcn
    for position, size, length, lcn in runs:
        if lcn == 0:
            continue
        lsize = patched[position] & 0x0F
        osize = size - 1 - lsize
        delta = next_lcn - previous
        try:
            field = delta.to_bytes(osize, "little", signed=True)
        except OverflowError:
            return free_lcn
        patched[position + 1 + lsize:position + size] = field
        moved.append((lcn, next_lcn, length))
        previous, next_lcn = next_lcn, next_lcn + length
    for old, new, length in moved:
        volume.image[new * cluster:(new + length) * cluster] = \
            volume.image[old * cluster:(old + length) * cluster]
    volume.write_record(number, patched)
    return next_lcn


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep-image", help="also keep the whole image here")
    args = parser.parse_args()
    for old in glob.glob(os.path.join(HERE, "corpus", "*", "seed-*")):
        os.remove(old)

    with tempfile.TemporaryDirectory(prefix="sondrel-seeds-") as work:
        path = os.path.join(work, "seed.img")
        ntfs_image.build_image(path, GEOMETRY, ENTRIES, label="SEED")
        with open(path, "rb") as f:
            image = f.read()
        if args.keep_image:
            with open(args.keep_image, "wb") as f:
                f.write(image)

    volume = ntfs_layout.Volume(image)
    wanted = [0, 1, 2, 5, 6, 9, 11] + [n for n in volume.records() if n >= 16]
    for number in wanted:
        raw = volume.raw_record(number)
        name = ntfs_layout.file_name(volume.record(number))
        label = f"{number}-{name[0] if name else 'noname'}".replace(" ", "_").replace("$", "")
        write_seed("file_record", label, bytes(raw))
        record = volume.record(number)
        for attribute in ntfs_layout.attributes(record):
            if not attribute.non_resident or attribute.name_length:
                continue
            count = min(attribute.last_vcn + 1, 256)
            prefix = bytes([0]) + struct.pack("<QH", 0, count)
            body = record[attribute.offset:attribute.offset + attribute.length]
            write_seed("data_run", f"{label}-{attribute.type_code:x}", prefix + bytes(body))

    # The whole-volume seed: the small files' clusters are moved into the prefix, after
    # the MFT, so that dumps of them read real data.
    cluster = volume.boot.cluster_size
    mft_end = max(lcn + length for lcn, length in volume.mft_runs)
    free, limit = mft_end, VOLUME_PREFIX // cluster
    for number in volume.records():
        if number >= 16:
            free = relocate(volume, number, free, limit)
    write_seed("volume", "mkntfs-2MiB-512", bytes(volume.image[:VOLUME_PREFIX]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
