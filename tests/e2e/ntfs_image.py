#!/usr/bin/env python3
"""NTFS test images: mkntfs with a chosen geometry, filled through an ntfs-3g mount.

Usable as a module (build_image, cached_image, mounted, the volume descriptions) and as a
command line (`ntfs_image.py build OUT.img --volume standard --geometry 512-4096`).

A volume is described by a list of entries (Dir, File, SparseFile, FragmentedFile, Stream,
HardLink, Remove, Holes) applied in order through a read-write ntfs-3g mount. Contents are
deterministic, so an image built twice from one description holds the same files (not the
same bytes: mkntfs and ntfs-3g write time stamps and serial numbers).

Needs root, /dev/fuse, mkntfs, ntfs-3g, setfattr, and ifind/istat (The Sleuth Kit) to check
that an 8.3 name came out first.
"""

from __future__ import annotations

import argparse
import contextlib
import errno
import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Iterator, Sequence, Union

import ntfs_layout

# Bump when the way an entry is written changes, so cached images are rebuilt.
BUILDER_VERSION = 5


@dataclass(frozen=True)
class Geometry:
    sector_size: int
    cluster_size: int
    size_mib: int = 64

    @property
    def name(self) -> str:
        return f"{self.sector_size}-{self.cluster_size}"


# mkntfs derives the MFT record size itself: 1024 bytes, or the sector size when that is
# larger, so 4096-byte sectors also give 4096-byte records.
GEOMETRIES = {
    "512-4096": Geometry(512, 4096),
    "4096-4096": Geometry(4096, 4096),
    "512-512": Geometry(512, 512),
    "512-65536": Geometry(512, 65536),
}


def content(seed: str, size: int) -> bytes:
    """Deterministic, non-repeating bytes named by seed (so a dump that reads the wrong
    cluster cannot match by accident)."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(f"{seed}/{counter}".encode()).digest()
        counter += 1
    return bytes(out[:size])


@dataclass(frozen=True)
class Dir:
    path: str
    dos_name: str | None = None  # set through system.ntfs_dos_name right after mkdir


@dataclass(frozen=True)
class File:
    path: str
    data: bytes = b""
    dos_name: str | None = None


@dataclass(frozen=True)
class SparseFile:
    """size bytes of zeros with the given pieces written at their offsets; the rest holes."""
    path: str
    size: int
    pieces: tuple[tuple[int, bytes], ...] = ()


@dataclass(frozen=True)
class FragmentedFile:
    """A file grown chunk by chunk while throw-away files take the clusters in between;
    the throw-away files are deleted afterwards. ntfs-3g then holds it in several runs."""
    path: str
    chunks: int = 12
    chunk_size: int = 8192

    @property
    def data(self) -> bytes:
        return content(self.path, self.chunks * self.chunk_size)


@dataclass(frozen=True)
class Stream:
    """A named data stream on an existing file (the unnamed stream is left alone)."""
    path: str
    name: str
    data: bytes


@dataclass(frozen=True)
class HardLink:
    path: str
    target: str


@dataclass(frozen=True)
class Remove:
    """Deletes a file: its record stays behind, flags clear, until reused."""
    path: str


@dataclass(frozen=True)
class Nest:
    """Directories path/components[0]/components[1]/... each inside the one before, and a
    file leaf at the bottom. Made one level at a time through directory descriptors, so the
    whole path may be far longer than the kernel takes as one path."""
    path: str
    components: tuple[str, ...]
    leaf: str
    data: bytes = b""


@dataclass(frozen=True)
class Holes:
    """Fills the free space with one-cluster files in the folder path (c0, c1, ...), then
    deletes every other one, leaving free space as one-cluster holes. ntfs-3g grows the
    $MFT in steps between those files' clusters, so the $MFT itself ends up in hundreds of
    runs."""
    path: str
    cluster_size: int


Entry = Union[Dir, File, SparseFile, FragmentedFile, Stream, HardLink, Remove, Holes, Nest]


def _fsync_write(fd: int, data: bytes, offset: int) -> None:
    os.pwrite(fd, data, offset)
    os.fsync(fd)


def _apply(root: str, entry: Entry) -> None:
    target = os.path.join(root, entry.path)
    if isinstance(entry, Dir):
        os.makedirs(target)
        if entry.dos_name:
            _set_dos_name(target, entry.dos_name)
    elif isinstance(entry, File):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            pass
        if entry.dos_name:
            _set_dos_name(target, entry.dos_name)
        with open(target, "wb") as f:
            f.write(entry.data)
    elif isinstance(entry, SparseFile):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            for offset, piece in entry.pieces:
                f.seek(offset)
                f.write(piece)
            f.truncate(entry.size)
    elif isinstance(entry, FragmentedFile):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        data = entry.data
        pads = []
        fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            for i in range(entry.chunks):
                start = i * entry.chunk_size
                _fsync_write(fd, data[start:start + entry.chunk_size], start)
                pad = f"{target}.pad{i}"
                pad_fd = os.open(pad, os.O_WRONLY | os.O_CREAT, 0o644)
                try:
                    _fsync_write(pad_fd, b"\xa5" * entry.chunk_size, 0)
                finally:
                    os.close(pad_fd)
                pads.append(pad)
        finally:
            os.close(fd)
        for pad in pads:
            os.remove(pad)
    elif isinstance(entry, Stream):
        # Needs the mount option streams_interface=windows.
        with open(f"{target}:{entry.name}", "wb") as f:
            f.write(entry.data)
    elif isinstance(entry, HardLink):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        os.link(os.path.join(root, entry.target), target)
    elif isinstance(entry, Remove):
        os.remove(target)
    elif isinstance(entry, Nest):
        os.makedirs(target, exist_ok=True)
        fd = os.open(target, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for component in entry.components:
                os.mkdir(component, dir_fd=fd)
                inner = os.open(component, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                os.close(fd)
                fd = inner
            leaf = os.open(entry.leaf, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
            try:
                os.write(leaf, entry.data)
            finally:
                os.close(leaf)
        finally:
            os.close(fd)
    elif isinstance(entry, Holes):
        os.makedirs(target)
        block = b"\x5a" * entry.cluster_size
        count = 0
        try:
            while True:
                with open(os.path.join(target, f"c{count}"), "wb") as f:
                    f.write(block)
                count += 1
        except OSError as error:
            if error.errno != errno.ENOSPC:
                raise
            # The file that met the full volume may be left behind, empty or partial.
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(target, f"c{count}"))
        for i in range(0, count, 2):
            os.remove(os.path.join(target, f"c{i}"))
    else:
        raise TypeError(f"unknown entry {entry!r}")


def _set_dos_name(path: str, dos_name: str) -> None:
    subprocess.run(["setfattr", "-n", "system.ntfs_dos_name", "-v", dos_name, path],
                   check=True)


def _unmount(mountpoint: str) -> None:
    # A mount that is still settling answers EBUSY for a moment; never leave one behind.
    unmount = ["fusermount", "-u"] if shutil.which("fusermount") else ["umount"]
    for attempt in range(50):
        result = subprocess.run(unmount + [mountpoint], capture_output=True, text=True)
        if result.returncode == 0 or not os.path.ismount(mountpoint):
            return
        time.sleep(0.1)
    subprocess.run(["umount", "-l", mountpoint], check=False)
    raise RuntimeError(f"could not unmount {mountpoint}: {result.stderr.strip()}")


@contextlib.contextmanager
def mounted(image: str, readonly: bool = True, options: Sequence[str] = (),
            mountpoint: str | None = None) -> Iterator[str]:
    """Mounts image with ntfs-3g (read-only unless told) and yields the mount point;
    always unmounts, and removes the mount point when it made it."""
    made = mountpoint is None
    if made:
        mountpoint = tempfile.mkdtemp(prefix="sondrel-mnt-")
    opts = list(options) + (["ro"] if readonly else [])
    cmd = ["ntfs-3g", image, mountpoint] + (["-o", ",".join(opts)] if opts else [])
    try:
        subprocess.run(cmd, check=True, capture_output=True, text=True)
        try:
            yield mountpoint
        finally:
            _unmount(mountpoint)
    finally:
        if made:
            os.rmdir(mountpoint)


def build_image(path: str, geometry: Geometry, entries: Sequence[Entry],
                label: str = "SONDREL") -> None:
    """Makes a sparse image file at path, formats it and fills it with entries."""
    if os.path.exists(path):
        os.remove(path)
    with open(path, "wb") as f:
        f.truncate(geometry.size_mib << 20)
    subprocess.run(["mkntfs", "-F", "-Q", "-q", "-L", label,
                    "-s", str(geometry.sector_size), "-c", str(geometry.cluster_size), path],
                   check=True, capture_output=True, text=True)
    with mounted(path, readonly=False, options=["streams_interface=windows"]) as root:
        for entry in entries:
            _apply(root, entry)
    if any(isinstance(e, (Dir, File)) and e.dos_name for e in entries):
        _put_short_names_first(path)


def _put_short_names_first(image: str) -> None:
    # ntfs-3g orders the two $FILE_NAME attributes it writes for an 8.3 name by comparing
    # their values, time stamps included, so either may come first. Tests want the short
    # one first, as Windows often stores it (the case where a path must be expanded).
    ntfs_layout.put_short_names_first(image)


def cached_image(cache_dir: str, name: str, geometry: Geometry,
                 entries: Sequence[Entry]) -> str:
    """The image for (name, geometry, entries) in cache_dir, built on first use. Safe when
    several test processes ask at once."""
    os.makedirs(cache_dir, exist_ok=True)
    key = hashlib.sha256(repr((BUILDER_VERSION, geometry, list(entries))).encode()).hexdigest()
    path = os.path.join(cache_dir, f"{name}-{geometry.name}-{key[:12]}.img")
    with open(path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(path):
            partial = path + ".partial"
            build_image(partial, geometry, entries)
            os.replace(partial, path)
    return path


# ---------------------------------------------------------------------------------------
# Volume descriptions

LONG_COMPONENT = "a_directory_name_of_sixty_characters_that_makes_paths_long__"  # 60 chars
LONG_PATH = "/".join(["deep"] + [f"{LONG_COMPONENT}{i}" for i in range(4)]
                     + ["the_file_at_the_bottom_of_a_path_past_259_characters.txt"])


def standard_volume() -> list[Entry]:
    """The volume the end-to-end suite runs on. Paths below are referred to by the tests."""
    entries: list[Entry] = []
    # A few hundred files in nested directories, sizes from empty to a few clusters.
    for d in range(4):
        entries.append(Dir(f"tree/d{d}"))
        for s in range(4):
            entries.append(Dir(f"tree/d{d}/s{s}"))
            for k in range(16):
                rel = f"tree/d{d}/s{s}/f{k:02}.txt"
                entries.append(File(rel, content(rel, (d * 997 + s * 131 + k * 389) % 9000)))
    entries += [
        File("small.txt", b"A small file whose data stays resident in its MFT record.\n"),
        File("empty.dat", b""),
        FragmentedFile("fragmented.bin", chunks=12, chunk_size=8192),
        SparseFile("sparse.bin", 4 << 20, (
            (0, content("sparse/head", 3000)),
            ((1 << 20) + 5, content("sparse/middle", 9000)),
            ((4 << 20) - 100, content("sparse/tail", 100)),
        )),
        File("streams/with stream.txt", b"the unnamed stream\n"),
        Stream("streams/with stream.txt", "alternate", content("ads", 5000)),
        File("links/original.txt", b"one record, two names\n"),
        HardLink("links/second name.txt", "links/original.txt"),
        Dir("Dir With Spaces"),
        File("Dir With Spaces/file with spaces.txt", b"spaces\n"),
        File("caf\u00e9 \u00dcber na\u00efve.txt", b"accents\n"),
        Dir("\u65e5\u672c\u8a9e"),
        File("\u65e5\u672c\u8a9e/\u6587\u66f8\u30d5\u30a1\u30a4\u30eb.txt", b"cjk\n"),
        # Directories carrying an 8.3 name, so that the record's first $FILE_NAME can be the
        # short one and the listing must expand it back.
        Dir("Program Files Long", dos_name="PROGRA~1"),
        Dir("Program Files Long/Another Long Directory", dos_name="ANOTHE~1"),
        File("Program Files Long/Another Long Directory/inside.txt", b"inside\n"),
        File("Program Files Long/readme.txt", content("readme", 2000)),
        Dir("Hidden Dir"),
        File("Hidden Dir/payload.bin", content("payload", 12000)),
        File("secret.txt", b"nobody should see this\n"),
        File("tree/d1/s2/rootkit.sys", content("rootkit", 7000)),
        File(LONG_PATH, b"deep\n"),
        # Last, so that no later file takes its record.
        File("deleted.bin", content("deleted", 10000)),
        Remove("deleted.bin"),
    ]
    return entries


def small_volume() -> list[Entry]:
    """A handful of files in known order, for whole-output comparisons."""
    return [
        File("alpha.txt", b"alpha\n"),
        Dir("beta"),
        File("beta/gamma.bin", content("gamma", 5000)),
        File("secret.txt", b"hidden from the listing\n"),
    ]


def demo_volume() -> list[Entry]:
    return [
        File("readme.txt", b"An ordinary file.\n"),
        Dir("Documents"),
        File("Documents/report.txt", content("report", 3000)),
        File("secret.txt", b"The rootkit keeps its configuration here.\n"),
    ]


FRAGMENTED_FILE = "frag.bin"
FRAGMENTED_SIZE = 600 * 4096  # in one-cluster holes: far more runs than one record holds


def fragmented_volume() -> list[Entry]:
    """A volume whose $MFT is in so many runs that record 0 keeps the rest of its $DATA in
    an extension record, named in its $ATTRIBUTE_LIST, and a file written into one-cluster
    holes whose $DATA does the same. 64 MiB with 4096-byte clusters gives both; 40 MiB
    leaves the $MFT within record 0."""
    return [
        Holes("fill", 4096),
        File(FRAGMENTED_FILE, content(FRAGMENTED_FILE, FRAGMENTED_SIZE)),
    ]


def short_names_volume() -> list[Entry]:
    """A volume shaped as Windows makes them: every directory and file has a long name that
    is no valid 8.3 name and an 8.3 name as well, and every record gives the 8.3 name
    first, so each path is built of 8.3 components the view must recognise and expand."""
    entries: list[Entry] = []
    for d in range(4):
        folder = f"Directory Number {d}"
        entries.append(Dir(folder, dos_name=f"DIRECT~{d + 1}"))
        for k in range(75):
            rel = f"{folder}/Document number {k:03}.text"
            entries.append(File(rel, content(rel, (d * 389 + k * 131) % 3000),
                                dos_name=f"DOCUME~{k + 1}.TEX" if k < 9 else f"DO{k:04}~1.TEX"))
    entries.append(Dir("Directory Number 1/Nested Long Folder", dos_name="NESTED~1"))
    entries.append(File("Directory Number 1/Nested Long Folder/Inner Document.text",
                        b"inner\n", dos_name="INNERD~1.TEX"))
    return entries


VOLUMES = {"standard": standard_volume, "small": small_volume, "demo": demo_volume,
           "fragmented": fragmented_volume, "shortnames": short_names_volume}


def main(argv: Sequence[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    build = sub.add_parser("build", help="build an image file")
    build.add_argument("output")
    build.add_argument("--volume", choices=sorted(VOLUMES), default="standard")
    build.add_argument("--geometry", choices=sorted(GEOMETRIES), default="512-4096")
    args = parser.parse_args(argv)
    if args.command == "build":
        build_image(args.output, GEOMETRIES[args.geometry], VOLUMES[args.volume]())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
