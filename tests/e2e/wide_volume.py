"""A volume where 32-bit arithmetic breaks: larger than 4 GiB, with file data and MFT records
past the 4 GiB offset, a file of more than 2 GiB, and record numbers past 2^24.

The image is a 40 GiB sparse file (a few tens of MiB on disk). mkntfs puts the $MFT at the
start and ntfs-3g writes file data after the MFT zone, an eighth of the volume in: past
5 GiB here. The folder `far` and its files are then moved to records 2^24 + 4 and on: their
records are copied into two clusters near the end of the volume (past 39 GiB), the $MFT's
$DATA gets a sparse run up to them and a run mapping them, its $BITMAP the same, the
references to them (the root's index entry, the folder's index entries, the files' parent
references) are rewritten, and the old records are left not in use. Writing through an
ntfs-3g mount would cost a 16 GiB $MFT for the same record numbers.

The result is checked with The Sleuth Kit before it is used: istat finds the moved records
allocated, with their names and parents, and icat reads their contents whole.
"""

from __future__ import annotations

import fcntl
import hashlib
import os
import struct
import subprocess

import ntfs_image
from ntfs_image import Dir, File, SparseFile
from ntfs_layout import (Attribute, apply_fixups, attributes, decode_runs, find, read_boot,
                         undo_fixups)

VERSION = 1  # bump when the image changes
GEOMETRY = ntfs_image.Geometry(512, 4096, size_mib=40 << 10)
FAR_FOLDER = "far"
FAR_FIRST = (1 << 24) + 4  # the folder's new record; its files follow in name order
HUGE = "huge.bin"
HUGE_SIZE = (2 << 30) + (64 << 10)  # past 2^31 bytes: a size that is negative as int32
HUGE_PIECES = ((0, ntfs_image.content("huge/head", 5000)),
               ((2 << 30) - 3000, ntfs_image.content("huge/across 2 GiB", 6000)),
               (HUGE_SIZE - 4000, ntfs_image.content("huge/tail", 4000)))


def entries() -> list[ntfs_image.Entry]:
    return [
        File("near.txt", ntfs_image.content("near", 20000)),
        SparseFile(HUGE, HUGE_SIZE, HUGE_PIECES),
        Dir(FAR_FOLDER),
        File(f"{FAR_FOLDER}/beyond.bin", ntfs_image.content("beyond", 30000)),
        File(f"{FAR_FOLDER}/resident.txt", b"a resident value in a record past 2^24\n"),
        File(f"{FAR_FOLDER}/zz last.txt", ntfs_image.content("zz last", 5000)),
    ]


def far_records() -> dict[str, int]:
    """The moved paths (from the root, '/'-separated) and their new record numbers."""
    files = sorted(e.path for e in entries() if e.path.startswith(FAR_FOLDER + "/"))
    return {path: FAR_FIRST + i for i, path in enumerate([FAR_FOLDER] + files)}


def image(cache_dir: str) -> str:
    """The image in cache_dir, built on first use (safe when several processes ask)."""
    os.makedirs(cache_dir, exist_ok=True)
    key = hashlib.sha256(repr((VERSION, ntfs_image.BUILDER_VERSION, GEOMETRY, entries(),
                               far_records())).encode()).hexdigest()
    path = os.path.join(cache_dir, f"wide-{key[:12]}.img")
    with open(path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(path):
            partial = path + ".partial"
            ntfs_image.build_image(partial, GEOMETRY, entries())
            old = {p: _ifind(partial, p) for p in far_records()}
            move_records(partial, {old[p]: new for p, new in far_records().items()})
            check(partial)
            os.replace(partial, path)
    return path


def _ifind(image_path: str, path: str) -> int:
    return int(subprocess.run(["ifind", "-n", "/" + path, image_path], check=True,
                              capture_output=True, text=True).stdout.strip())


def check(image_path: str) -> None:
    """istat and icat must read the moved records where they now are. (fls and ifind walk
    every record, and The Sleuth Kit cannot read the sparse part of an $MFT.)"""
    contents = {e.path: e.data for e in entries() if isinstance(e, File)}
    numbers = far_records()
    for path, number in numbers.items():
        shown = subprocess.run(["istat", image_path, str(number)], check=True,
                               capture_output=True, text=True).stdout
        parent = numbers.get(path.rpartition("/")[0], 5)
        if ("\nAllocated " not in shown or f"\nName: {path.rpartition('/')[2]}\n" not in shown
                or f"\nParent MFT Entry: {parent} " not in shown):
            raise AssertionError(f"istat: record {number} is not {path}:\n{shown}")
        if path in contents:
            data = subprocess.run(["icat", image_path, str(number)], check=True,
                                  capture_output=True).stdout
            if data != contents[path]:
                raise AssertionError(f"icat: record {number} does not hold {path}")


# ---------------------------------------------------------------------------------------
# Moving records

def _encode_runs(extents: list[tuple[int, int | None]]) -> bytes:
    """Mapping pairs of (length, lcn or None for sparse) extents, with the end mark."""
    out = bytearray()
    previous = 0
    for length, lcn in extents:
        size = (length.bit_length() + 8) // 8
        encoded_length = length.to_bytes(size, "little")
        if lcn is None:
            out += bytes([size]) + encoded_length
            continue
        delta = lcn - previous
        delta_size = 1
        while not -(1 << (8 * delta_size - 1)) <= delta < (1 << (8 * delta_size - 1)):
            delta_size += 1
        out += bytes([delta_size << 4 | size]) + encoded_length + \
            delta.to_bytes(delta_size, "little", signed=True)
        previous = lcn
    return bytes(out + b"\0")


def _extents(record: bytes, attribute: Attribute) -> list[tuple[int, int | None]]:
    return [(length, lcn if lcn else None) for _, _, length, lcn in decode_runs(record, attribute)]


def _with_runs(record: bytes, attribute: Attribute, extents: list[tuple[int, int | None]],
               size: int, cluster_size: int) -> bytes:
    """The non-resident attribute with new runs and sizes (initialized size = data size)."""
    head = bytearray(record[attribute.offset:attribute.offset + attribute.runs_offset])
    clusters = sum(length for length, _ in extents)
    struct.pack_into("<Q", head, 0x18, clusters - 1)  # last VCN
    struct.pack_into("<QQQ", head, 0x28, clusters * cluster_size, size, size)
    body = bytearray(head + _encode_runs(extents))
    body += bytes(-len(body) % 8)
    struct.pack_into("<I", body, 4, len(body))
    return bytes(body)


def _replace_attributes(record: bytearray, replaced: dict[int, bytes]) -> bytearray:
    """record with the attributes at the given offsets replaced, the rest shifted."""
    first = struct.unpack_from("<H", record, 0x14)[0]
    allocated = struct.unpack_from("<I", record, 0x1C)[0]
    body = bytearray()
    for attribute in attributes(record):
        body += replaced.get(attribute.offset,
                             record[attribute.offset:attribute.offset + attribute.length])
    body += b"\xff\xff\xff\xff\0\0\0\0"
    if first + len(body) > allocated:
        raise ValueError("the $MFT's runs no longer fit in record 0")
    out = bytearray(record[:first]) + body
    out += bytes(len(record) - len(out))
    struct.pack_into("<I", out, 0x18, first + len(body))
    return out


class _Image:
    def __init__(self, path: str):
        self.file = open(path, "r+b")
        self.boot = read_boot(self.pread(0, 512))
        self.cluster = self.boot.cluster_size
        self.mftmirr_lcn = struct.unpack_from("<Q", self.pread(0, 512), 0x38)[0]
        self.record0 = self.fixed(self.boot.mft_lcn * self.cluster, self.boot.record_size)
        if find(self.record0, 0x20) is not None:
            raise ValueError("record 0 has an attribute list; use a fresher volume")
        self.mft_data = find(self.record0, 0x80)
        self.mft_bitmap = find(self.record0, 0xB0)

    def pread(self, offset: int, size: int) -> bytes:
        return os.pread(self.file.fileno(), size, offset)

    def pwrite(self, offset: int, data: bytes) -> None:
        os.pwrite(self.file.fileno(), data, offset)

    def fixed(self, offset: int, size: int) -> bytearray:
        block = bytearray(self.pread(offset, size))
        apply_fixups(block)
        return block

    def store(self, offset: int, block: bytes) -> None:
        block = bytearray(block)
        undo_fixups(block)
        self.pwrite(offset, block)

    def lcn_of(self, record: bytes, attribute: Attribute, vcn: int) -> int:
        start = 0
        for length, lcn in _extents(record, attribute):
            if vcn < start + length:
                if lcn is None:
                    raise ValueError(f"vcn {vcn} is sparse")
                return lcn + vcn - start
            start += length
        raise ValueError(f"vcn {vcn} lies past the runs")

    def record_offset(self, number: int) -> int:
        cluster, within = divmod(number * self.boot.record_size, self.cluster)
        return self.lcn_of(self.record0, self.mft_data, cluster) * self.cluster + within

    def record(self, number: int) -> bytearray:
        return self.fixed(self.record_offset(number), self.boot.record_size)

    def close(self) -> None:
        self.file.close()


def _patch_references(block: bytearray, start: int, end: int, moves: dict[int, int],
                      parents: bool) -> None:
    """Rewrites the file references of the index entries in block[start:end] (and, when
    parents is set, the parent references in their $FILE_NAME keys)."""
    offset = start
    while offset + 16 <= end:
        reference, length, key_length, flags = struct.unpack_from("<QHHI", block, offset)
        if length < 16:
            break
        number = reference & 0xFFFFFFFFFFFF
        if not flags & 2 and number in moves:
            struct.pack_into("<Q", block, offset, reference - number + moves[number])
        if parents and not flags & 2 and key_length >= 8:
            parent = struct.unpack_from("<Q", block, offset + 16)[0]
            if parent & 0xFFFFFFFFFFFF in moves:
                struct.pack_into("<Q", block, offset + 16, parent - (parent & 0xFFFFFFFFFFFF)
                                 + moves[parent & 0xFFFFFFFFFFFF])
        if flags & 2:
            break
        offset += length


def _patch_index(volume: _Image, record: bytearray, moves: dict[int, int],
                 parents: bool) -> None:
    """Patches a directory's $INDEX_ROOT in record and its $INDEX_ALLOCATION blocks on
    the volume."""
    root = find(record, 0x90, named=True)
    value = root.offset + root.value_offset
    block_size = struct.unpack_from("<I", record, value + 8)[0]
    header = value + 16
    first, used = struct.unpack_from("<II", record, header)
    _patch_references(record, header + first, header + used, moves, parents)
    allocation = find(record, 0xA0, named=True)
    if allocation is None:
        return
    blocks = allocation.data_size // block_size
    for i in range(blocks):
        vcn, within = divmod(i * block_size, volume.cluster)
        offset = volume.lcn_of(record, allocation, vcn) * volume.cluster + within
        block = volume.fixed(offset, block_size)
        if block[:4] != b"INDX":
            continue
        first, used = struct.unpack_from("<II", block, 0x18)
        _patch_references(block, 0x18 + first, 0x18 + used, moves, parents)
        volume.store(offset, block)


def move_records(image_path: str, moves: dict[int, int]) -> None:
    """Moves records (old number: new number, the new numbers consecutive from a multiple
    of the records per cluster, the first a folder whose index lies in its record and
    holds the others) to the end of the volume, and rewrites what refers to them."""
    volume = _Image(image_path)
    try:
        size, cluster = volume.boot.record_size, volume.cluster
        first = min(moves.values())
        per_cluster = cluster // size
        if first % per_cluster or cluster % size:
            raise ValueError("the new records must start a cluster")
        far_clusters = -(-len(moves) // per_cluster)
        total_clusters = volume.boot.total_sectors // volume.boot.sectors_per_cluster
        far_lcn = total_clusters - 16  # the end of the volume, which ntfs-3g leaves free
        bitmap_lcn = far_lcn + far_clusters

        # The records, their numbers and references rewritten, in their new place.
        folder_old = min(moves, key=moves.get)
        far = bytearray(far_clusters * cluster)
        for old, new in moves.items():
            record = volume.record(old)
            struct.pack_into("<I", record, 0x2C, new & 0xFFFFFFFF)
            for attribute in attributes(record):
                if attribute.type_code == 0x30:
                    value = attribute.offset + attribute.value_offset
                    parent = struct.unpack_from("<Q", record, value)[0]
                    if parent & 0xFFFFFFFFFFFF in moves:
                        struct.pack_into("<Q", record, value, parent - (parent & 0xFFFFFFFFFFFF)
                                         + moves[parent & 0xFFFFFFFFFFFF])
            if old == folder_old:
                if find(record, 0xA0, named=True) is not None:
                    raise ValueError("the folder's index must fit in its record")
                _patch_index(volume, record, moves, parents=True)
            undo_fixups(record)
            start = (new - first) * size
            far[start:start + size] = record
            # The old record stays behind, neither in use nor a directory.
            old_record = volume.record(old)
            struct.pack_into("<H", old_record, 0x16, 0)
            volume.store(volume.record_offset(old), old_record)
        volume.pwrite(far_lcn * cluster, bytes(far))

        # The root's index entry for the folder.
        root = volume.record(5)
        _patch_index(volume, root, {folder_old: first}, parents=False)
        volume.store(volume.record_offset(5), root)

        # The $MFT's $DATA: a sparse run up to the new records, then their clusters.
        record0 = volume.record0
        data_extents = _extents(record0, volume.mft_data)
        mapped = sum(length for length, _ in data_extents)
        far_vcn = first * size // cluster
        data_extents += [(far_vcn - mapped, None), (far_clusters, far_lcn)]
        data_size = (far_vcn + far_clusters) * cluster

        # Its $BITMAP: the old bits cleared, a sparse run, then the cluster with the new.
        bitmap = volume.mft_bitmap
        if not bitmap.non_resident:
            raise ValueError("the $MFT's $BITMAP is resident")
        bitmap_extents = _extents(record0, bitmap)
        bitmap_lcn0 = volume.lcn_of(record0, bitmap, 0)
        head = bytearray(volume.pread(bitmap_lcn0 * cluster, cluster))
        for old in moves:
            head[old // 8] &= ~(1 << old % 8) & 0xFF
        volume.pwrite(bitmap_lcn0 * cluster, bytes(head))
        bitmap_vcn = first // 8 // cluster
        tail = bytearray(cluster)
        for new in moves.values():
            byte = new // 8 - bitmap_vcn * cluster
            tail[byte] |= 1 << new % 8
        volume.pwrite(bitmap_lcn * cluster, bytes(tail))
        bitmap_mapped = sum(length for length, _ in bitmap_extents)
        bitmap_extents += [(bitmap_vcn - bitmap_mapped, None), (1, bitmap_lcn)]
        bitmap_size = -(-(data_size // size) // 64) * 8

        record0 = _replace_attributes(record0, {
            volume.mft_data.offset: _with_runs(record0, volume.mft_data, data_extents,
                                               data_size, cluster),
            bitmap.offset: _with_runs(record0, bitmap, bitmap_extents, bitmap_size, cluster)})
        volume.store(volume.boot.mft_lcn * cluster, record0)
        volume.store(volume.mftmirr_lcn * cluster, record0)
    finally:
        volume.close()
