#!/usr/bin/env bash
# Debian packages the build and the tests need. Quiet and idempotent.
set -euo pipefail
packages=(
  cmake g++ make libgtest-dev libgmock-dev python3
  clang libclang-rt-14-dev
  ntfs-3g sleuthkit attr fuse3 strace
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64
  # The 32-bit program under Wine: this kernel starts no i386 Linux program itself, so
  # tests/e2e/i386_namespace.py runs 32-bit Wine through qemu's user mode. Without the
  # preloader every 32-bit Wine process spends over a minute reserving its address space.
  wine32:i386 wine32-preloader:i386 qemu-user-static
)
packages+=(fdisk dpkg-dev man-db)  # the Debian package, its man page, partitioned test images
packages+=(locales)  # a Japanese locale made by the Wine suite, for a double-byte ANSI code page
update=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  update=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  update=1
fi
if ((update)); then
  apt-get update -qq
fi
if ((${#missing[@]})); then
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
