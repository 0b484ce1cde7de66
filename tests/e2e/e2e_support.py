"""Shared helpers of the end-to-end suites: the environment check, the images, a drive
folder for the POSIX binary, running it, and what The Sleuth Kit says about an image."""

from __future__ import annotations

import contextlib
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass
from typing import Iterator, Sequence

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
        for tool in ("mkntfs", "ntfs-3g", "fusermount", "setfattr", "fls", "icat", "istat",
                     "ifind"):
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
        print("SKIP: end-to-end suite needs " + ", ".join(missing), file=sys.stderr)
        sys.exit(SKIP)
    unittest.main(verbosity=2)


# ---------------------------------------------------------------------------------------
# Images

def image(volume: str, geometry: str) -> str:
    return ntfs_image.cached_image(CACHE, volume, ntfs_image.GEOMETRIES[geometry],
                                   ntfs_image.VOLUMES[volume]())


def sha256(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


# ---------------------------------------------------------------------------------------
# Running the binary

@contextlib.contextmanager
def drive(image_path: str, view: bool = True, letter: str = "x") -> Iterator[Drive]:
    """A dosdevices folder where `letter::` is the image and, when view is set, `letter:`
    is a read-only ntfs-3g mount of it (the ordinary listing the tool compares with)."""
    folder = tempfile.mkdtemp(prefix="sondrel-dosdevices-")
    try:
        os.symlink(os.path.abspath(image_path), os.path.join(folder, letter + "::"))
        if view:
            with ntfs_image.mounted(image_path) as mountpoint:
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
                hide: Sequence[str] = (), cwd: str | None = None, timeout: int = 300) -> Run:
    """Runs the binary; hide names entries for the readdir-hiding library, preloaded into
    this one process only."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    env.pop("SONDREL_HIDE", None)
    if dosdevices is not None:
        env["SONDREL_DOSDEVICES"] = dosdevices
    else:
        env["SONDREL_DOSDEVICES"] = "/nonexistent-sondrel-dosdevices"
    if hide:
        env["LD_PRELOAD"] = os.environ["SONDREL_HIDE_LIB"]
        env["SONDREL_HIDE"] = ":".join(hide)
        # A sanitized binary wants its runtime first in the library list; the preloaded
        # library carries no sanitizer, so the order does not matter here.
        env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0").lstrip(":")
    cmd = [os.environ["SONDREL_BIN"], *args]
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
    names: tuple[str, ...]       # every $FILE_NAME, in record order
    parents: tuple[int, ...]
    actual_sizes: tuple[int, ...]
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
