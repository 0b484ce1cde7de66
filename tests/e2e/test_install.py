#!/usr/bin/env python3
"""The Debian package and sondrel-map. cpack makes the package from this build: the program,
sondrel-map, the man page and the README at their places, the run-time dependencies
declared, a man page that renders without a warning. Then, with the package's own files,
sondrel-map maps an NTFS image, a partition of an MBR and of a GPT disk image, and a block
device (a loop device); -dig through the map digs out the hidden file, -list shows it and
-dump reads its data; --unmap leaves nothing mounted, attached or linked; the image's
checksum never changes. Bad input gets a message and a non-zero status and leaves nothing
behind."""

import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import e2e_support
import ntfs_image
from e2e_support import HEADER, RULE, Listed

BUILD = os.path.dirname(os.environ.get("SONDREL_BIN", ""))
PACKAGE = "sondrel_0.2-1_amd64.deb"
TOOLS = ("cpack", "dpkg-deb", "losetup", "partx", "sfdisk", "findmnt", "man", "groff")

SECRET_NAME = "secret.txt"
SECRET = b"hidden from the listing\n"  # the small volume's secret.txt
SECTOR = 512
# Partitioned disks: partition 1 holds no file system, the NTFS volume is the partition
# numbered in the table, at the same place on each disk (sfdisk scripts).
VOLUME_SECTORS = 4 << 20 >> 9
PARTITION_START = 4096
DISK_MIB = 8
PARTITION_TABLES = {
    "MBR": (2, f"label: dos\nstart=2048, size=1024, type=83\n"
               f"start={PARTITION_START}, size={VOLUME_SECTORS}, type=7\n"),
    # A logical partition, numbered from 5, found through the extended partition's chain.
    "MBR logical": (5, f"label: dos\nstart=2048, size=1024, type=83\n"
                       f"start=3072, size={VOLUME_SECTORS + 2048}, type=5\n"
                       f"start={PARTITION_START}, size={VOLUME_SECTORS}, type=7\n"),
    "GPT": (2, f"label: gpt\nstart=2048, size=1024, type=L\n"
               f"start={PARTITION_START}, size={VOLUME_SECTORS}, "
               f"type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"),
}


def run(*args, env=None, check=False):
    done = subprocess.run(list(args), env=env, capture_output=True, text=True)
    if check and done.returncode != 0:
        raise AssertionError(f"{args}: exit {done.returncode}: {done.stderr}")
    return done


def loops_of(path):
    """The loop devices that read path, as losetup lists them."""
    out = run("losetup", "-n", "-O", "NAME", "-j", path, check=True).stdout
    return sorted(out.split())


def mounts():
    """(mount point, options, source) of every mount."""
    out = run("findmnt", "-r", "-n", "-o", "TARGET,OPTIONS,SOURCE", check=True).stdout
    return [tuple(line.split(" ", 2)) for line in out.splitlines()]


def release_under(folder):
    """Unmounts what is mounted below folder and detaches the loop devices of files in it,
    so that a failed test leaves nothing behind and removing folder cannot reach into a
    mounted volume."""
    for target, _, _ in mounts():
        if target.startswith(folder + "/"):
            run("umount", "-l", target)
    listed = run("losetup", "-n", "-l", "-O", "NAME,BACK-FILE").stdout
    for line in listed.splitlines():
        name, _, backing = line.partition(" ")
        if backing.strip().startswith(folder + "/"):
            run("losetup", "-d", name)


class Installed(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="sondrel-install-")
        cls.addClassCleanup(shutil.rmtree, cls.work)
        cls.addClassCleanup(release_under, cls.work)
        packages = os.path.join(cls.work, "packages")
        run("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
            "-B", packages, check=True)
        cls.deb = os.path.join(packages, PACKAGE)
        cls.root = os.path.join(cls.work, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root, check=True)
        cls.program = os.path.join(cls.root, "usr/bin/sondrel")
        cls.map_script = os.path.join(cls.root, "usr/bin/sondrel-map")
        # A 4 MiB volume: alpha.txt, beta/gamma.bin and secret.txt.
        cls.volume = ntfs_image.cached_image(
            e2e_support.CACHE, "small", ntfs_image.Geometry(SECTOR, 4096, 4),
            ntfs_image.small_volume())
        cls.secret_record = e2e_support.record_of(cls.volume, SECRET_NAME)
        cls.disks = {}
        for table, (_, script) in PARTITION_TABLES.items():
            disk = os.path.join(cls.work, f"disk-{table.replace(' ', '-')}.img")
            with open(disk, "wb") as f:
                f.truncate(DISK_MIB << 20)
            subprocess.run(["sfdisk", "-q", disk], input=script, text=True, check=True,
                           capture_output=True)
            with open(cls.volume, "rb") as src, open(disk, "r+b") as dst:
                dst.seek(PARTITION_START * SECTOR)
                dst.write(src.read())
            cls.disks[table] = disk

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="sondrel-dosdevices-", dir=self.work)
        self.addCleanup(release_under, self.work)
        self.env = dict(os.environ, SONDREL_DOSDEVICES=self.folder)
        for name in ("LD_PRELOAD", "SONDREL_HIDE"):
            self.env.pop(name, None)

    def sondrel_map(self, *args):
        return run(self.map_script, *args, env=self.env)

    def sondrel(self, *args, hide=(), cwd=None):
        env = dict(self.env)
        if hide:
            env["LD_PRELOAD"] = os.environ["SONDREL_HIDE_LIB"]
            env["SONDREL_HIDE"] = ":".join(hide)
        done = subprocess.run([self.program, *args], env=env, cwd=cwd, capture_output=True)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    @contextlib.contextmanager
    def loop_device(self, image):
        """A read-only loop device of image, detached afterwards."""
        device = run("losetup", "-r", "-f", "--show", image, check=True).stdout.strip()
        try:
            yield device
        finally:
            run("losetup", "-d", device)

    # -----------------------------------------------------------------------------------
    # The package

    def test_package_fields_and_layout(self):
        fields = {}
        for name in ("Package", "Version", "Architecture", "Depends", "Recommends"):
            fields[name] = run("dpkg-deb", "-f", self.deb, name, check=True).stdout.strip()
        self.assertEqual((fields["Package"], fields["Version"], fields["Architecture"]),
                         ("sondrel", "0.2-1", "amd64"))
        depends = {d.split(" ", 1)[0] for d in fields["Depends"].split(", ")}
        # The program's libraries (from dpkg-shlibdeps) and what sondrel-map runs.
        self.assertTrue({"libc6", "libstdc++6", "libgcc-s1", "util-linux", "mount"} <= depends,
                        fields["Depends"])
        self.assertEqual(fields["Recommends"], "ntfs-3g")
        listed = run("dpkg-deb", "-c", self.deb, check=True).stdout.splitlines()
        files = {line.split()[-1] for line in listed if not line.startswith("d")}
        self.assertEqual(files, {"./usr/bin/sondrel", "./usr/bin/sondrel-map",
                                 "./usr/share/man/man1/sondrel.1",
                                 "./usr/share/man/man1/sondrel-map.1",
                                 "./usr/share/doc/sondrel/README.md"})
        for program in (self.program, self.map_script):
            self.assertTrue(os.access(program, os.X_OK), program)
        code, out, err = self.sondrel()
        self.assertEqual((code, out, err), (255, e2e_support.USAGE, ""))

    def test_man_page(self):
        page = os.path.join(self.root, "usr/share/man/man1/sondrel.1")
        for check in (["groff", "-ww", "-man", "-z", page],
                      ["groff", "-ww", "-man", "-Tutf8", "-z", page]):
            done = run(*check)
            self.assertEqual((done.returncode, done.stderr), (0, ""), check)
        shown = {}
        for name in ("sondrel", "sondrel-map"):  # the second is the same page
            done = run("man", "--warnings", "-M", os.path.join(self.root, "usr/share/man"),
                       name, env=dict(self.env, MANWIDTH="80"))
            self.assertEqual((done.returncode, done.stderr), (0, ""), name)
            shown[name] = done.stdout
        self.assertEqual(shown["sondrel-map"], shown["sondrel"])
        for heading in ("SYNOPSIS", "MODES", "OUTPUT", "DRIVES", "ACCURACY OF -dig",
                        "EXIT STATUS", "DIAGNOSTICS", "EXAMPLES"):
            self.assertIn(f"\n{heading}\n", shown["sondrel"])
        self.assertIn("sondrel-map --unmap", shown["sondrel"])

    # -----------------------------------------------------------------------------------
    # Mapping

    def check_map_dig_unmap(self, source, extra=(), image=None, loop_offset=None):
        """Maps source as x with --mount, digs, lists and dumps through the map, unmaps.
        image is the file whose bytes must not change and whose loop devices are checked;
        loop_offset, when set, is the offset of the loop device sondrel-map must attach."""
        image = image or source
        before = e2e_support.sha256(image)
        loops_before = loops_of(image)
        done = self.sondrel_map("x", source, "--mount", *extra)
        self.assertEqual(done.returncode, 0, done.stderr)
        raw = os.readlink(os.path.join(self.folder, "x::"))
        view = os.readlink(os.path.join(self.folder, "x:"))
        if loop_offset is None:
            self.assertEqual(raw, os.path.realpath(source))
        else:
            self.assertEqual(loops_of(image), sorted(loops_before + [raw]))
            name = os.path.basename(raw)
            with open(f"/sys/block/{name}/ro") as f:
                self.assertEqual(f.read().strip(), "1", "the loop device is writable")
            offset = run("losetup", "-n", "-O", "OFFSET", raw, check=True).stdout.strip()
            self.assertEqual(int(offset), loop_offset)
        view_mounts = [m for m in mounts() if m[0] == view]
        self.assertEqual(len(view_mounts), 1, view_mounts)
        self.assertIn("ro", view_mounts[0][1].split(","), "the view is mounted read-write")

        line = Listed(self.secret_record, False, len(SECRET), "X:\\" + SECRET_NAME).line()
        code, out, err = self.sondrel("-dig", "x", hide=[SECRET_NAME])
        self.assertEqual(code, 0, err)
        self.assertEqual(out, HEADER + RULE + line + RULE)
        self.assertTrue(err.endswith(" files, 1 hidden files.\n"), err[-200:])
        code, out, err = self.sondrel("-list", "x")
        self.assertEqual(code, 0, err)
        self.assertIn(line, out)
        with tempfile.TemporaryDirectory(dir=self.work) as cwd:
            code, out, err = self.sondrel("-dump", "x", str(self.secret_record), "out.bin",
                                          cwd=cwd)
            self.assertEqual((code, out, err), (0, "", ""))
            with open(os.path.join(cwd, "out.bin"), "rb") as f:
                self.assertEqual(f.read(), SECRET)

        done = self.sondrel_map("--unmap", "x")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(os.listdir(self.folder), [])
        self.assertEqual([m for m in mounts() if m[0] == view or m[2] in (raw, image)], [])
        self.assertEqual(loops_of(image), loops_before)
        self.assertEqual(e2e_support.sha256(image), before, "the image was written")

    def test_image(self):
        self.check_map_dig_unmap(self.volume)

    def test_partition_of_a_disk_image(self):
        for table, disk in self.disks.items():
            with self.subTest(table=table):
                number = str(PARTITION_TABLES[table][0])
                self.check_map_dig_unmap(disk, ("--partition", number),
                                         loop_offset=PARTITION_START * SECTOR)

    def test_block_device(self):
        with self.loop_device(self.volume) as device:
            self.check_map_dig_unmap(device, image=self.volume)

    def test_block_device_already_mounted(self):
        # The system's own mount is the view; --unmap leaves it (and the device) alone.
        with self.loop_device(self.volume) as device, \
                ntfs_image.mounted(device) as mountpoint:
            done = self.sondrel_map("x", device)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(os.readlink(os.path.join(self.folder, "x:")), mountpoint)
            code, out, _ = self.sondrel("-dig", "x", hide=[SECRET_NAME])
            self.assertEqual(code, 0)
            self.assertIn("X:\\" + SECRET_NAME, out)
            done = self.sondrel_map("--unmap", "x")
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(os.listdir(self.folder), [])
            self.assertTrue(os.path.ismount(mountpoint))
            self.assertEqual(loops_of(self.volume), [device])

    # -----------------------------------------------------------------------------------
    # Refusals

    def test_bad_input_is_refused_and_leaves_nothing(self):
        mbr = self.disks["MBR"]
        cases = [
            ([], 2, "missing arguments"),
            (["1", self.volume], 2, "one letter"),
            (["x"], 2, "missing the image or device"),
            (["x", self.volume, "--bogus"], 2, "unknown option --bogus"),
            (["x", self.volume, "--partition", "0"], 2, "a number from 1 up"),
            (["x", self.volume, "--partition"], 2, "needs a number"),
            (["x", self.volume, mbr], 2, "one image or device only"),
            (["x", "/nonexistent/disk.img"], 1, "no such file or device"),
            (["x", self.work], 1, "neither an image file nor a block device"),
            (["x", mbr], 1, "no NTFS volume at the start of " + mbr
             + "; for a partitioned disk give --partition N"),
            (["x", mbr, "--partition", "7"], 1, "has no partition 7"),
            (["x", mbr, "--partition", "1", "--mount"], 1,
             "no NTFS volume at the start of partition 1 of " + mbr),
            (["--unmap", "x"], 1, "drive x is not mapped"),
            (["--unmap"], 2, "--unmap takes one drive letter"),
        ]
        sums = {path: e2e_support.sha256(path) for path in (self.volume, mbr)}
        for args, status, message in cases:
            with self.subTest(args=args):
                done = self.sondrel_map(*args)
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertTrue(done.stderr.startswith("sondrel-map: "), done.stderr)
                self.assertIn(message, done.stderr)
                self.assertEqual(os.listdir(self.folder), [])
                self.assertEqual(loops_of(mbr), [])
        for path, digest in sums.items():
            self.assertEqual(e2e_support.sha256(path), digest, path)

    def test_a_mapped_letter_is_not_mapped_twice(self):
        done = self.sondrel_map("x", self.volume)
        self.assertEqual(done.returncode, 0, done.stderr)
        entries = sorted(os.listdir(self.folder))
        done = self.sondrel_map("X", self.disks["GPT"], "--partition", "2")
        self.assertEqual(done.returncode, 1)
        self.assertIn("drive x is already mapped", done.stderr)
        self.assertEqual(sorted(os.listdir(self.folder)), entries)
        self.assertEqual(loops_of(self.disks["GPT"]), [])
        done = self.sondrel_map("--unmap", "X")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(os.listdir(self.folder), [])

    def test_entries_made_by_hand_are_left_alone(self):
        os.symlink(self.volume, os.path.join(self.folder, "x::"))
        done = self.sondrel_map("x", self.volume)
        self.assertEqual(done.returncode, 1)
        self.assertIn("x:: already exists", done.stderr)
        done = self.sondrel_map("--unmap", "x")
        self.assertEqual(done.returncode, 1)
        self.assertIn("was not mapped by sondrel-map", done.stderr)
        self.assertEqual(os.listdir(self.folder), ["x::"])


if __name__ == "__main__":
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if not os.path.exists(os.path.join(BUILD, "CPackConfig.cmake")):
        missing.append("CPackConfig.cmake beside SONDREL_BIN")
    if not os.path.exists("/dev/loop-control"):
        missing.append("/dev/loop-control")
    if missing and not e2e_support.missing_prerequisites():
        required = os.environ.get("SONDREL_E2E_REQUIRED") == "1"
        print(("FAIL" if required else "SKIP") + ": end-to-end suite needs "
              + ", ".join(missing), file=sys.stderr)
        sys.exit(1 if required else e2e_support.SKIP)
    e2e_support.main()
