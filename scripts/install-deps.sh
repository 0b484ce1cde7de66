#!/usr/bin/env bash
# Debian packages the build and the tests need. Quiet and idempotent.
set -euo pipefail
packages=(
  cmake g++ make libgtest-dev libgmock-dev python3
  clang libclang-rt-14-dev
  ntfs-3g sleuthkit attr fuse3
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64
)
packages+=(fdisk dpkg-dev man-db)  # the Debian package, its man page, partitioned test images
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
