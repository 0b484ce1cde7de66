"""Shared helpers of the end-to-end suites: the environment check, the images, a drive
folder for the POSIX binary, running it, and what The Sleuth Kit says about an image."""

from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass
from typing import Callable, Collection, Iterator, Sequence

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ntfs_image  # noqa: E402

SKIP = 77  # ctest SKIP_RETURN_CODE

CACHE = os.environ.get("SONDREL_E2E_CACHE",
                       os.path.join(tempfile.gettempdir(), "sondrel-e2e-images"))


def missing_prerequisites(need_binary: bool = True, need_fuse: bool = True) -> list[str]:
    missing = []
    if need_fuse:
        if os.geteuid() != 0:
            missing.append("root")
        if not os.path.exists("/dev/fuse"):
            missing.append("/dev/fuse")
        for tool in ("mkntfs", "ntfs-3g", "setfattr", "fls", "icat", "istat", "ifind", "ils",
                     "fsstat"):
            if shutil.which(tool) is None:
                missing.append(tool)
    if need_binary and not os.access(os.environ.get("SONDREL_BIN", ""), os.X_OK):
        missing.append("SONDREL_BIN (the built sondrel binary)")
    return missing


def main(need_binary: bool = True, need_fuse: bool = True) -> None:
    """unittest.main, after exiting with the skip status when the machine cannot run the
    suite (CI runs as root with /dev/fuse, so there it always runs)."""
    missing = missing_prerequisites(need_binary, need_fuse)
    if missing:
        # scripts/test.sh sets SONDREL_E2E_REQUIRED: there a skip would hide a broken setup.
        required = os.environ.get("SONDREL_E2E_REQUIRED") == "1"
        print(("FAIL" if required else "SKIP") + ": end-to-end suite needs "
              + ", ".join(missing), file=sys.stderr)
        sys.exit(1 if required else SKIP)
    unittest.main(verbosity=2)


# ---------------------------------------------------------------------------------------
# Images

def image(volume: str, geometry: str) -> str:
    return ntfs_image.cached_image(CACHE, volume, ntfs_image.GEOMETRIES[geometry],
                                   ntfs_image.VOLUMES[volume]())


def save_image(directory: str, image: bytes, name: str) -> str:
    """Writes a patched image into directory under name and returns its path."""
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(image)
    return path


def sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


# ---------------------------------------------------------------------------------------
# Running the binary

@contextlib.contextmanager
def drive(image_path: str, view: bool = True, letter: str = "x",
          writable: bool = False) -> Iterator[Drive]:
    """A dosdevices folder where `letter::` is the image and, when view is set, `letter:`
    is an ntfs-3g mount of it (the ordinary listing the tool compares with), read-only
    unless writable (for tests that change the volume while the tool runs)."""
    folder = tempfile.mkdtemp(prefix="sondrel-dosdevices-")
    try:
        os.symlink(os.path.abspath(image_path), os.path.join(folder, letter + "::"))
        if view:
            with ntfs_image.mounted(image_path, readonly=not writable) as mountpoint:
                os.symlink(mountpoint, os.path.join(folder, letter + ":"))
                yield Drive(folder, image_path, mountpoint)
        else:
            yield Drive(folder, image_path, None)
    finally:
        shutil.rmtree(folder)


@dataclass
class Drive:
    dosdevices: str
    image: str
    mountpoint: str | None


@dataclass
class Run:
    args: list[str]
    returncode: int
    stdout: str
    stderr: str


def run_sondrel(args: Sequence[str], dosdevices: str | None = None,
                hide: Sequence[str] = (), cwd: str | None = None, timeout: int = 300,
                race: Sequence[str] = (), prefix: Sequence[str] = (),
                hide_lookups: bool = False) -> Run:
    """Runs the binary; hide names entries for the readdir-hiding library, preloaded into
    this one process only (hide_lookups: from openat too), and race its steps (see
    hide_readdir.cpp); prefix is a command the binary runs under (a tracer)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    env.pop("SONDREL_HIDE", None)
    env.pop("SONDREL_RACE", None)
    env.pop("SONDREL_HIDE_LOOKUPS", None)
    if dosdevices is not None:
        env["SONDREL_DOSDEVICES"] = dosdevices
    else:
        env["SONDREL_DOSDEVICES"] = "/nonexistent-sondrel-dosdevices"
    if hide or race:
        env["LD_PRELOAD"] = os.environ["SONDREL_HIDE_LIB"]
        env["SONDREL_HIDE"] = ":".join(hide)
        if race:
            env["SONDREL_RACE"] = ":".join(race)
        if hide_lookups:
            env["SONDREL_HIDE_LOOKUPS"] = "1"
        # A sanitized binary wants its runtime first in the library list; the preloaded
        # library carries no sanitizer, so the order does not matter here.
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0").lstrip(":")
    if prefix:
        # LeakSanitizer cannot run under a tracer (ptrace) and fails the run if it tries.
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
    cmd = [*prefix, os.environ["SONDREL_BIN"], *args]
    done = subprocess.run(cmd, env=env, cwd=cwd, capture_output=True, timeout=timeout)
    return Run(list(args), done.returncode, done.stdout.decode("utf-8", "surrogateescape"),
               done.stderr.decode("utf-8", "surrogateescape"))


# ---------------------------------------------------------------------------------------
# The Sleuth Kit's view of an image

def tsk(*args: str) -> str:
    return subprocess.run(list(args), check=True, capture_output=True).stdout.decode(
        "utf-8", "surrogateescape")


def tsk_bytes(*args: str) -> bytes:
    return subprocess.run(list(args), check=True, capture_output=True).stdout


@dataclass(frozen=True)
class FlsEntry:
    record: int
    path: str          # as fls prints it: '/' between components, ':stream' for streams
    allocated: bool
    virtual: bool      # fls's own $OrphanFiles folder and the like


_FLS_LINE = re.compile(r"^(\S+) (\* )?(\d+)(?:-\d+-\d+)?(?:\(realloc\))?:\t(.*)$")


def fls(image_path: str) -> list[FlsEntry]:
    entries = []
    for line in tsk("fls", "-r", "-p", image_path).splitlines():
        match = _FLS_LINE.match(line)
        if not match:
            raise AssertionError(f"unexpected fls line {line!r}")
        kind, deleted, record, path = match.groups()
        entries.append(FlsEntry(int(record), path, deleted is None, kind.startswith("V")))
    return entries


@dataclass(frozen=True)
class RecordInfo:
    record: int
    allocated: bool
    directory: bool
    names: Sequence[str]         # every $FILE_NAME, in record order
    parents: Sequence[int]
    actual_sizes: Sequence[int]
    data_runs: int               # runs of the unnamed $DATA, counted by istat -r
    sparse_runs: int
    data_resident: bool | None   # None: no unnamed $DATA

    @property
    def first_name(self) -> str:
        return self.names[0]


def istat(image_path: str, record: int) -> RecordInfo:
    text = tsk("istat", "-r", image_path, str(record))
    header = text.split("\n\n", 1)[0]
    names, parents, sizes = [], [], []
    for section in text.split("$FILE_NAME Attribute Values:\n")[1:]:
        names.append(re.search(r"^Name: (.*)$", section, re.M).group(1))
        parents.append(int(re.search(r"^Parent MFT Entry: (\d+)", section, re.M).group(1)))
        sizes.append(int(re.search(r"Actual Size: (\d+)", section).group(1)))
    runs = sparse = 0
    resident = None
    attributes = text.split("\nAttributes: \n", 1)[1] if "\nAttributes: \n" in text else ""
    current_is_data = False
    for line in attributes.splitlines():
        if line.startswith("Type: "):
            current_is_data = line.startswith("Type: $DATA") and "Name: N/A" in line
            if current_is_data:
                resident = "Non-Resident" not in line
        elif current_is_data and "Starting address:" in line:
            runs += 1
            sparse += "Sparse" in line
    state = re.search(r"^(Not )?Allocated (File|Directory)$", header, re.M)
    return RecordInfo(record, state.group(1) is None, state.group(2) == "Directory",
                      tuple(names), tuple(parents), tuple(sizes), runs, sparse, resident)


def record_of(image_path: str, path: str) -> int:
    """The record number of path ('/'-separated, from the volume root), through ifind."""
    return int(tsk("ifind", "-n", "/" + path, image_path).strip())


def mft_record_size(image_path: str) -> int:
    return int(re.search(r"Size of MFT Entries: (\d+) bytes", tsk("fsstat", image_path)).group(1))


def mft_record_count(image_path: str) -> int:
    """Records the tool walks: the $MFT's unnamed $DATA size over the record size."""
    return len(tsk_bytes("icat", image_path, "0")) // mft_record_size(image_path)


def allocated_records(image_path: str) -> list[int]:
    """Record numbers The Sleuth Kit takes as allocated (ils -e: every entry, 'a' or 'f')."""
    records = []
    for line in tsk("ils", "-e", image_path).splitlines():
        fields = line.split("|")
        if len(fields) > 2 and fields[0].isdigit() and fields[1] == "a":
            records.append(int(fields[0]))
    return records


def parse_record(number: int, raw: bytes) -> RecordInfo:
    """The fields -list reads from one MFT record (flags and every unnamed $FILE_NAME),
    decoded here independently of the tool and checked against istat on a sample."""
    record = bytearray(raw)
    if record[:4] != b"FILE":
        return RecordInfo(number, False, False, (), (), (), 0, 0, None)
    usa_offset, usa_count = struct.unpack_from("<HH", record, 4)
    stride = 512  # the update sequence covers every 512 bytes, whatever the sector size
    for i in range(1, usa_count):
        end = i * stride - 2
        record[end:end + 2] = record[usa_offset + 2 * i:usa_offset + 2 * i + 2]
    flags = struct.unpack_from("<H", record, 0x16)[0]
    offset = struct.unpack_from("<H", record, 0x14)[0]
    names, parents, sizes = [], [], []
    while offset + 16 <= len(record):
        kind, length = struct.unpack_from("<II", record, offset)
        if kind == 0xFFFFFFFF or length < 16:
            break
        non_resident, name_length = record[offset + 8], record[offset + 9]
        if kind == 0x30 and not non_resident and name_length == 0:
            value = offset + struct.unpack_from("<H", record, offset + 0x14)[0]
            parents.append(struct.unpack_from("<Q", record, value)[0] & 0xFFFFFFFFFFFF)
            sizes.append(struct.unpack_from("<Q", record, value + 0x30)[0])
            count = record[value + 0x40]
            names.append(record[value + 0x42:value + 0x42 + 2 * count].decode("utf-16-le"))
        offset += length
    return RecordInfo(number, bool(flags & 1), bool(flags & 2), tuple(names), tuple(parents),
                      tuple(sizes), 0, 0, None)


# ---------------------------------------------------------------------------------------
# What -list should print, worked out from The Sleuth Kit's view of the image

def listed_pairs(stdout: str) -> list[tuple[int, str]]:
    """(record, path) of every line -list or -dig printed between the rule lines."""
    return [(int(line[:8]), line[24:]) for line in stdout.splitlines()[2:-1]]


def fls_as_listed(entries: Sequence[FlsEntry], first_name: Callable[[int], str],
                  extension_records: Collection[int] = ()) -> set[tuple[int, str]]:
    """fls's (record, path) pairs turned into what -list prints, one rule per difference;
    first_name gives a record's first $FILE_NAME (asked only of hard-linked records),
    extension_records the in-use records whose base reference is set."""
    pairs = set()
    for e in entries:
        # fls shows deleted names and its own $OrphanFiles folder; the tool lists in-use
        # records only, and has no virtual entries.
        if not e.allocated or e.virtual:
            continue
        # A $FILE_NAME moved out to an extension record (ntfs-3g does that to $MFT's once
        # record 0 needs an $ATTRIBUTE_LIST) shows in fls under the extension record's
        # number too; the tool lists the file once, under its base record.
        if e.record in extension_records:
            continue
        # fls prints a line per named attribute ("$Secure:$SDS", "$Extend/$Quota:$Q",
        # "file:stream"); the tool prints one line per record.
        path = e.path.split(":", 1)[0]
        pairs.add((e.record, "X:\\" + path.replace("/", "\\")))
    # fls lists the root's contents but not the root's own record, which the tool prints
    # as "X:\." (its $FILE_NAME is ".").
    pairs.add((5, "X:\\."))
    # A hard link: fls lists every name, the tool one line per record, under the record's
    # first $FILE_NAME (istat's first).
    by_record: dict[int, list[str]] = {}
    for record, path in pairs:
        by_record.setdefault(record, []).append(path)
    for record, paths in by_record.items():
        if len(paths) > 1:
            first = first_name(record)
            keep = [p for p in paths if p.rsplit("\\", 1)[-1] == first]
            assert len(keep) == 1, (record, paths, first)
            pairs -= {(record, p) for p in paths if p not in keep}
    return pairs


HEADER = f"{'index':>8} {'size':>8}       filename\n"
RULE = "-" * 79 + "\n"
# The usage text, byte for byte (CR LF on Windows aside).
USAGE = (
    "Sondrel 0.2 - Dig out all files what are hidden by rootkit in NTFS partition\n"
    "\nusage: Sondrel.exe <options>\n"
    "\n<options>:\n"
    "    dig <driver> : dig out all hidden files from <driver>\n"
    "    list <driver> : list all files of <driver>\n"
    "    dump <driver> <index> <filename> : dump the file content to <filename>\n"
    "\nexample:\n"
    "    Sondrel.exe -dig c\n"
    "    Sondrel.exe -list c\n"
    "    Sondrel.exe -dump c 10224 dump.dat\n"
)


@dataclass(frozen=True)
class Listed:
    record: int
    directory: bool
    size: int
    path: str  # as printed: drive letter, colon, backslashes

    def line(self) -> str:
        return f"{self.record:8d} {self.size:8d} {'<DIR>' if self.directory else '     '} {self.path}\n"


def listing_text(entries: Sequence[Listed]) -> str:
    return HEADER + RULE + "".join(e.line() for e in entries) + RULE


def progress_text(count: int) -> str:
    return "".join(f"{100 * n // count}%\r" for n in range(count))


class ImageModel:
    """Every allocated record with a $FILE_NAME, as istat reads it, and fls's long paths."""

    def __init__(self, image_path: str):
        self.image = image_path
        # Hundreds of istat runs take a while: keep the answers beside the cached image.
        cache = image_path + ".tsk.json"
        with open(image_path + ".lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            self._load(image_path, cache)
        self.fls_paths: dict[int, list[str]] = {}
        for e in self.fls:
            if e.allocated and not e.virtual:
                self.fls_paths.setdefault(e.record, []).append(e.path)

    def _load(self, image_path: str, cache: str) -> None:
        if os.path.exists(cache) and os.path.getmtime(cache) >= os.path.getmtime(image_path):
            with open(cache) as f:
                saved = json.load(f)
            self.count = saved["count"]
            records = [RecordInfo(*r) for r in saved["records"]]
            self.fls = [FlsEntry(*e) for e in saved["fls"]]
        else:
            size = mft_record_size(image_path)
            mft = tsk_bytes("icat", image_path, "0")
            self.count = len(mft) // size
            records = [parse_record(n, mft[n * size:(n + 1) * size])
                       for n in allocated_records(image_path) if n < self.count]
            # istat runs slowly, so it checks a sample: the metadata files, every record
            # with more than one name, and a spread of the rest.
            multi = [r for r in records if len(r.names) > 1]
            sample = records[:16] + multi + records[16::25]
            for r in sample:
                seen = istat(image_path, r.record)
                mine = (r.directory, list(r.names), list(r.parents), list(r.actual_sizes))
                theirs = (seen.directory, list(seen.names), list(seen.parents),
                          list(seen.actual_sizes))
                if mine != theirs:
                    raise AssertionError(f"record {r.record}: parsed {mine}, istat {theirs}")
            self.fls = fls(image_path)
            partial = f"{cache}.{os.getpid()}.partial"
            with open(partial, "w") as f:
                json.dump({"count": self.count,
                           "records": [dataclasses.astuple(r) for r in records],
                           "fls": [dataclasses.astuple(e) for e in self.fls]}, f)
            os.replace(partial, cache)
        self.named = {r.record: r for r in records if r.names}

    def short_path(self, record: int, letter: str = "X") -> str:
        """The path as the record's chain of first $FILE_NAMEs spells it (8.3 names kept)."""
        parts = []
        current = record
        for _ in range(64):
            info = self.named[current]
            if info.first_name == ".":
                return f"{letter}:\\" + "\\".join(reversed(parts)) if parts else f"{letter}:\\."
            parts.append(info.first_name)
            current = info.parents[0]
        raise AssertionError(f"record {record}: parent chain does not reach the root")

    def long_path(self, record: int, letter: str = "X") -> str:
        """The path with long names: fls's path of the record under its first $FILE_NAME (a
        hard link has one fls path per name) or, when that name is an 8.3 name, its one
        long path. Streams (':name') dropped."""
        if record == 5:
            return f"{letter}:\\."
        paths = sorted({p.split(":", 1)[0] for p in self.fls_paths[record]})
        first = self.named[record].first_name
        chosen = [p for p in paths if p.rsplit("/", 1)[-1] == first] or paths
        if len(chosen) != 1:
            raise AssertionError(f"record {record}: cannot tell its path among {chosen}")
        return f"{letter}:\\" + chosen[0].replace("/", "\\")

    def size(self, record: int, view: str | None, letter: str = "X") -> int:
        """realSize of the first $FILE_NAME; a file whose value is not positive as a signed
        32-bit number gets the size the ordinary file API reports, or 0."""
        info = self.named[record]
        size = info.actual_sizes[0] & 0xFFFFFFFF
        if (size == 0 or size >= 1 << 31) and not info.directory:
            size = 0
            if view is not None:
                relative = self.short_path(record, letter)[3:].replace("\\", "/")
                try:
                    with open(os.path.join(view, relative), "rb") as f:
                        size = os.fstat(f.fileno()).st_size & 0xFFFFFFFF
                except OSError:
                    size = 0
        return size

    def listing(self, view: str | None, letter: str = "X") -> list[Listed]:
        """-list's lines: long paths where the view can expand them, else the built path."""
        out = []
        for n in sorted(self.named):
            path = self.long_path(n, letter) if view else self.short_path(n, letter)
            out.append(Listed(n, self.named[n].directory, self.size(n, view, letter), path))
        return out
