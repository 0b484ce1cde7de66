#!/usr/bin/env python3
"""Runs a command where 32-bit (i386) Linux programs start, so that 32-bit Wine can run the
32-bit Windows program on a machine whose kernel has no IA-32 emulation.

    i386_namespace.py COMMAND [ARG...]

The command runs in a new user and mount namespace. Its uid and gid maps are written from
outside, as root, mapping every id to itself: root stays root, setgroups stays allowed, and
ntfs-3g and FUSE mounts work inside as they do outside. Since Linux 6.7 each user namespace
has its own binfmt_misc; the launcher mounts it inside and registers qemu-i386-static for
i386 ELF programs there, with the F flag (qemu is opened at registration, so it is found
whatever the command's root or mounts). Nothing changes outside the namespace: the other
Wine prefixes on the machine keep what they had.

A 64-bit Wine prefix made inside (`wine64 wineboot -i`) fills syswow64, and `wine64 X.exe`
then runs a 32-bit X.exe through the 32-bit loader, emulated by qemu. Needs root, Linux 6.7
or later, qemu-user-static and wine32 with wine32-preloader (scripts/install-deps.sh).

When something is missing it says what, and exits 77 (the tests' skip status), or 1 when
SONDREL_E2E_REQUIRED=1. Otherwise it exits with the command's status.
"""

from __future__ import annotations

import ctypes
import errno
import os
import platform
import shutil
import signal
import sys
import tempfile

SKIP = 77
QEMU = "/usr/bin/qemu-i386-static"
WINE32_LOADER = "/usr/lib/wine/wine"
WINE32_PRELOADER = "/usr/lib/wine/wine-preloader"

CLONE_NEWNS = 0x00020000
CLONE_NEWUSER = 0x10000000
MS_REC = 0x4000
MS_SLAVE = 1 << 19

# i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
ELF_I386_MAGIC = (r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00")
ELF_I386_MASK = (r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff")
REGISTRATION = f":sondrel-i386:M::{ELF_I386_MAGIC}:{ELF_I386_MASK}:{QEMU}:F"

_libc = ctypes.CDLL(None, use_errno=True)


def _kernel_version() -> tuple[int, int]:
    release = platform.release()
    parts = release.split(".")
    try:
        return int(parts[0]), int("".join(c for c in parts[1] if c.isdigit()) or 0)
    except (IndexError, ValueError):
        return 0, 0


def _is_i386_elf(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            header = f.read(20)
    except OSError:
        return False
    return header[:5] == b"\x7fELF\x01" and header[18:20] == b"\x03\x00"


def missing() -> list[str]:
    """What this machine lacks for the namespace, each in words that say how to get it."""
    found = []
    if os.geteuid() != 0:
        found.append("root (the uid and gid maps are written as root)")
    major, minor = _kernel_version()
    if (major, minor) < (6, 7):
        found.append(f"Linux 6.7 or later for a binfmt_misc of the namespace's own "
                     f"(this kernel is {platform.release()})")
    if not os.access(QEMU, os.X_OK):
        found.append(f"{QEMU} (package qemu-user-static)")
    if not _is_i386_elf(WINE32_LOADER):
        found.append(f"the 32-bit Wine loader {WINE32_LOADER} (package wine32:i386 after "
                     "dpkg --add-architecture i386)")
    if not os.path.exists(WINE32_PRELOADER):
        found.append(f"{WINE32_PRELOADER} (package wine32-preloader:i386; without it each "
                     "32-bit Wine process spends over a minute under qemu reserving memory)")
    return found


def give_up(problems: list[str]) -> int:
    # scripts/test.sh sets SONDREL_E2E_REQUIRED: there a skip would hide a broken setup.
    required = os.environ.get("SONDREL_E2E_REQUIRED") == "1"
    print(("FAIL" if required else "SKIP") + ": 32-bit programs cannot be started here: "
          + "; ".join(problems), file=sys.stderr)
    return 1 if required else SKIP


def _failed() -> int:
    return 1 if os.environ.get("SONDREL_E2E_REQUIRED") == "1" else SKIP


def _check(result: int, what: str) -> None:
    if result != 0:
        code = ctypes.get_errno()
        raise OSError(code, f"{what}: {os.strerror(code)}")


def _inside(command: list[str], ready_w: int, go_r: int, binfmt: str) -> None:
    """The child: enters the namespaces, waits for its maps, registers qemu, runs command.
    Never returns."""
    try:
        _check(_libc.unshare(CLONE_NEWUSER | CLONE_NEWNS), "unshare(user, mount)")
        os.write(ready_w, b"u")
        if os.read(go_r, 1) != b"g":
            os._exit(_failed())  # the parent could not write the maps and has said why
        # Mounts made in here stay in here.
        _check(_libc.mount(b"none", b"/", None, MS_REC | MS_SLAVE, None), "making / a slave")
        try:
            _check(_libc.mount(b"binfmt_misc", binfmt.encode(), b"binfmt_misc", 0, None),
                   f"mounting binfmt_misc on {binfmt}")
        except OSError as error:
            if error.errno in (errno.EPERM, errno.EACCES, errno.ENODEV):
                raise OSError(error.errno, f"{error.strerror} (a kernel older than 6.7 has no "
                              "binfmt_misc of a user namespace's own)") from None
            raise
        with open(os.path.join(binfmt, "register"), "w") as register:
            register.write(REGISTRATION)
        os.close(ready_w)
        os.close(go_r)
        os.execvp(command[0], command)
    except OSError as error:
        print(("FAIL" if _failed() == 1 else "SKIP")
              + f": 32-bit programs cannot be started here: {error}", file=sys.stderr)
        sys.stderr.flush()
        os._exit(_failed())


def run(command: list[str]) -> int:
    problems = missing()
    if problems:
        return give_up(problems)
    binfmt = tempfile.mkdtemp(prefix="sondrel-binfmt-")
    ready_r, ready_w = os.pipe()
    go_r, go_w = os.pipe()
    try:
        pid = os.fork()
        if pid == 0:
            os.close(ready_r)
            os.close(go_w)
            _inside(command, ready_w, go_r, binfmt)
        os.close(ready_w)
        os.close(go_r)
        if os.read(ready_r, 1) == b"u":
            try:
                # Every id to itself: the namespace's root is the machine's root, and with
                # the maps written by a privileged process setgroups stays allowed.
                for name in ("uid_map", "gid_map"):
                    with open(f"/proc/{pid}/{name}", "w") as f:
                        f.write("0 0 4294967295\n")
                os.write(go_w, b"g")
            except OSError as error:
                print(("FAIL" if _failed() == 1 else "SKIP") + ": 32-bit programs cannot be "
                      f"started here: writing the namespace's id maps: {error}",
                      file=sys.stderr)
        os.close(go_w)
        go_w = -1
        # A timeout (ctest) or ^C ends the command, not only this launcher.
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(sig, lambda number, _frame: os.kill(pid, number))
        while True:
            try:
                _, status = os.waitpid(pid, 0)
                break
            except InterruptedError:
                continue
        return os.waitstatus_to_exitcode(status) if os.WIFEXITED(status) else 128 + \
            os.WTERMSIG(status)
    finally:
        os.close(ready_r)
        if go_w >= 0:
            os.close(go_w)
        shutil.rmtree(binfmt, ignore_errors=True)


def main(argv: list[str]) -> int:
    if not argv or argv[0] in ("-h", "--help"):
        print(__doc__, file=sys.stderr)
        return 2
    return run(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
