"""Reading and patching the on-disk NTFS structures of an image file, for tests that damage
an image on purpose: the boot sector, MFT records with their fix-ups, attributes and run
lists. Offsets are found from the image itself, never assumed from one mkntfs version."""

from __future__ import annotations

import struct
from dataclasses import dataclass


@dataclass
class Boot:
    bytes_per_sector: int
    sectors_per_cluster: int
    total_sectors: int
    mft_lcn: int
    record_size: int

    @property
    def cluster_size(self) -> int:
        return self.bytes_per_sector * self.sectors_per_cluster


def read_boot(image: bytes) -> Boot:
    bps, spc = struct.unpack_from("<HB", image, 0x0B)
    total, mft_lcn = struct.unpack_from("<QQ", image, 0x28)
    raw = image[0x40]
    record = raw * bps * spc if raw < 0x80 else 1 << (256 - raw)
    return Boot(bps, spc, total, mft_lcn, record)


@dataclass
class Attribute:
    offset: int          # from the start of the record
    type_code: int
    length: int
    non_resident: bool
    name_length: int
    value_offset: int    # resident only
    value_length: int    # resident only
    runs_offset: int     # non-resident only
    start_vcn: int
    last_vcn: int
    allocated_size: int
    data_size: int


def apply_fixups(record: bytearray) -> None:
    usa_offset, usa_count = struct.unpack_from("<HH", record, 4)
    for i in range(1, usa_count):
        record[512 * i - 2:512 * i] = record[usa_offset + 2 * i:usa_offset + 2 * i + 2]


def undo_fixups(record: bytearray) -> None:
    """Puts the update sequence number back at each stride end, saving the true bytes in
    the array, as a record lies on disk."""
    usa_offset, usa_count = struct.unpack_from("<HH", record, 4)
    usn = record[usa_offset:usa_offset + 2]
    for i in range(1, usa_count):
        record[usa_offset + 2 * i:usa_offset + 2 * i + 2] = record[512 * i - 2:512 * i]
        record[512 * i - 2:512 * i] = usn


def attributes(record: bytes) -> list[Attribute]:
    out = []
    offset = struct.unpack_from("<H", record, 0x14)[0]
    while offset + 8 <= len(record):
        type_code, length = struct.unpack_from("<II", record, offset)
        if type_code == 0xFFFFFFFF or length < 16 or offset + length > len(record):
            break
        non_resident, name_length = record[offset + 8], record[offset + 9]
        if non_resident:
            start, last = struct.unpack_from("<QQ", record, offset + 0x10)
            runs = struct.unpack_from("<H", record, offset + 0x20)[0]
            allocated, data = struct.unpack_from("<QQ", record, offset + 0x28)
            out.append(Attribute(offset, type_code, length, True, name_length, 0, 0, runs,
                                 start, last, allocated, data))
        else:
            value_length, value_offset = struct.unpack_from("<IH", record, offset + 0x10)
            out.append(Attribute(offset, type_code, length, False, name_length, value_offset,
                                 value_length, 0, 0, 0, 0, 0))
        offset += length
    return out


def find(record: bytes, type_code: int, named: bool = False) -> Attribute | None:
    for attribute in attributes(record):
        if attribute.type_code == type_code and (attribute.name_length != 0) == named:
            return attribute
    return None


def decode_runs(record: bytes, attribute: Attribute) -> list[tuple[int, int, int, int]]:
    """(position in the record, entry size, length, lcn) of each run; lcn 0 for sparse."""
    out = []
    position = attribute.offset + attribute.runs_offset
    lcn = 0
    while record[position] != 0:
        header = record[position]
        lsize, osize = header & 0x0F, header >> 4
        length = int.from_bytes(record[position + 1:position + 1 + lsize], "little")
        delta = int.from_bytes(record[position + 1 + lsize:position + 1 + lsize + osize],
                               "little", signed=True)
        lcn += delta
        out.append((position, 1 + lsize + osize, length, lcn if osize else 0))
        position += 1 + lsize + osize
    return out


@dataclass
class ListEntry:
    """One entry of an $ATTRIBUTE_LIST: where a piece of an attribute lives."""
    type_code: int
    start_vcn: int
    record: int          # the record holding the piece (sequence number dropped)
    attribute_id: int
    name: str


def attribute_list(value: bytes) -> list[ListEntry]:
    out = []
    offset = 0
    while offset + 0x1A <= len(value):
        type_code, length, name_length, name_offset = struct.unpack_from("<IHBB", value, offset)
        if length < 0x1A:
            break
        start_vcn, reference, attribute_id = struct.unpack_from("<QQH", value, offset + 8)
        name = value[offset + name_offset:offset + name_offset + 2 * name_length]
        out.append(ListEntry(type_code, start_vcn, reference & 0xFFFFFFFFFFFF, attribute_id,
                             name.decode("utf-16-le")))
        offset += length
    return out


def _runs(record: bytes, attribute: Attribute) -> list[tuple[int, int]]:
    return [(lcn, length) for _, _, length, lcn in decode_runs(record, attribute)]


class Volume:
    """An image held in memory; records are read through the $MFT's own $DATA runs (the
    pieces its $ATTRIBUTE_LIST names in extension records included) and written back with
    their fix-ups undone."""

    def __init__(self, image: bytes):
        self.image = bytearray(image)
        self.boot = read_boot(self.image)
        first = self._fixed(self.boot.mft_lcn * self.boot.cluster_size)
        # The piece record 0 holds itself; the records past it are reached only through
        # the pieces in extension records, which must lie within what is mapped so far.
        self.first_piece = find(first, 0x80)
        self.mft_runs = _runs(first, self.first_piece)
        if find(first, 0x20) is not None:
            later = [p for p in self.pieces(0, 0x80) if p.start_vcn > 0]
            for piece in sorted(later, key=lambda p: p.start_vcn):
                self.mft_runs += _runs(self.record(piece.record), self._piece(piece))

    def _piece(self, entry: ListEntry) -> Attribute:
        record = self.record(entry.record)
        for attribute in attributes(record):
            identifier = struct.unpack_from("<H", record, attribute.offset + 0x0E)[0]
            if attribute.type_code == entry.type_code and identifier == entry.attribute_id:
                return attribute
        raise LookupError(f"record {entry.record} lacks attribute id {entry.attribute_id}")

    def value(self, record: bytes, attribute: Attribute) -> bytes:
        """An attribute's value: in the record, or read from the clusters its runs map
        (sparse runs as zeros), cut to its data size."""
        if not attribute.non_resident:
            start = attribute.offset + attribute.value_offset
            return bytes(record[start:start + attribute.value_length])
        out = bytearray()
        size = self.boot.cluster_size
        for lcn, length in _runs(record, attribute):
            out += bytes(length * size) if lcn == 0 else \
                self.image[lcn * size:(lcn + length) * size]
        return bytes(out[:attribute.data_size])

    def pieces(self, number: int, type_code: int, name: str = "") -> list[ListEntry]:
        """The pieces of record number's attribute (type_code, name) as its
        $ATTRIBUTE_LIST names them, in list order; empty when it has no list."""
        record = self.record(number)
        listed = find(record, 0x20)
        if listed is None:
            return []
        return [e for e in attribute_list(self.value(record, listed))
                if e.type_code == type_code and e.name == name]

    def _fixed(self, offset: int) -> bytearray:
        record = bytearray(self.image[offset:offset + self.boot.record_size])
        apply_fixups(record)
        return record

    def record_offset(self, number: int) -> int:
        byte = number * self.boot.record_size
        cluster, within = divmod(byte, self.boot.cluster_size)
        vcn = 0
        for lcn, length in self.mft_runs:
            if cluster < vcn + length:
                return (lcn + cluster - vcn) * self.boot.cluster_size + within
            vcn += length
        raise IndexError(f"record {number} lies outside the $MFT's runs")

    def record(self, number: int) -> bytearray:
        """Record number with its fix-ups applied."""
        return self._fixed(self.record_offset(number))

    def raw_record(self, number: int) -> bytearray:
        offset = self.record_offset(number)
        return bytearray(self.image[offset:offset + self.boot.record_size])

    def write_record(self, number: int, record: bytes, fixups: bool = True) -> None:
        """Stores a record given with its fix-ups applied (undoing them first), or as raw
        bytes when fixups is False."""
        record = bytearray(record)
        if fixups:
            undo_fixups(record)
        offset = self.record_offset(number)
        self.image[offset:offset + len(record)] = record

    def record_count(self) -> int:
        data = find(self.record(0), 0x80)
        return data.data_size // self.boot.record_size

    def records(self) -> list[int]:
        """Numbers of the records that carry the FILE signature and are in use."""
        out = []
        for number in range(self.record_count()):
            record = self.record(number)
            if record[:4] == b"FILE" and struct.unpack_from("<H", record, 0x16)[0] & 1:
                out.append(number)
        return out


def short_name_first(record: bytearray) -> bool:
    """Puts a record's 8.3 $FILE_NAME before its long one, as Windows often stores them:
    a Win32-namespace $FILE_NAME followed directly by a DOS-namespace one trade places, each
    moved whole (attribute id and all). The record is given with its fix-ups applied. True
    when it changed; the indexes need no change, they hold both names in any order."""
    names = [a for a in attributes(record) if a.type_code == 0x30 and not a.non_resident]
    if len(names) != 2 or names[0].offset + names[0].length != names[1].offset:
        return False
    namespace = [record[a.offset + a.value_offset + 0x41] for a in names]
    if namespace != [1, 2]:  # Win32, then DOS
        return False
    start, middle, end = names[0].offset, names[1].offset, names[1].offset + names[1].length
    record[start:end] = record[middle:end] + record[start:middle]
    return True


def put_short_names_first(path: str) -> int:
    """short_name_first on every record of the image file at path, in place, record by
    record, so the image may be many GiB (sparse). Returns how many records changed. Only
    what record 0's own $DATA maps is visited."""
    changed = 0
    with open(path, "r+b") as image:
        boot = read_boot(image.read(512))
        size = boot.record_size
        image.seek(boot.mft_lcn * boot.cluster_size)
        first = bytearray(image.read(size))
        apply_fixups(first)
        if find(first, 0x20) is not None:
            raise ValueError("the $MFT continues in extension records; not handled here")
        data = find(first, 0x80)
        left = data.data_size // size
        step = (16 << 20) // size * size  # whole records, at most 16 MiB a read
        for lcn, length in _runs(first, data):
            start, end = lcn * boot.cluster_size, (lcn + length) * boot.cluster_size
            for offset in range(start, end, step):
                image.seek(offset)
                chunk = bytearray(image.read(min(step, end - offset) // size * size))
                dirty = False
                for at in range(0, len(chunk), size):
                    if left == 0:
                        break
                    left -= 1
                    record = chunk[at:at + size]
                    if record[:4] != b"FILE":
                        continue
                    apply_fixups(record)
                    if short_name_first(record):
                        undo_fixups(record)
                        chunk[at:at + size] = record
                        changed += 1
                        dirty = True
                if dirty:
                    image.seek(offset)
                    image.write(chunk)
    return changed


def base_reference(record: bytes) -> int:
    """The base file reference, sequence number included: 0 in a base record, set in an
    extension record (even one whose base is record 0)."""
    return struct.unpack_from("<Q", record, 0x20)[0]


def file_name(record: bytes) -> tuple[str, int] | None:
    """(name, parent record number) of the record's first unnamed $FILE_NAME."""
    attribute = find(record, 0x30)
    if attribute is None:
        return None
    value = attribute.offset + attribute.value_offset
    parent = struct.unpack_from("<I", record, value)[0]
    length = record[value + 0x40]
    name = record[value + 0x42:value + 0x42 + 2 * length].decode("utf-16-le")
    return name, parent
