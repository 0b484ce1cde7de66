#!/usr/bin/env bash
# The whole test suite from scratch on a fresh Debian 12 machine (run as root):
# installs what it needs, builds every configuration and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# The end-to-end suites (ctest label e2e: the binary on ntfs-3g-filled images, checked with
# The Sleuth Kit) need root and /dev/fuse; here they must run, not skip.
export SONDREL_E2E_REQUIRED=1

rm -rf build
for preset in default asan; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$(nproc)"
  ctest --preset "$preset" -j"$(nproc)" -LE windows
done

# The Windows program, cross-built with MinGW-w64: 32-bit (the primary target) and
# 64-bit. Then the suites that use them: imports, and the end-to-end suite under Wine for
# each width (the 32-bit one through qemu, in tests/e2e/i386_namespace.py's namespace).
for preset in mingw32 mingw64; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j"$(nproc)"
done
ctest --preset default -j"$(nproc)" -L windows

# Fuzz targets (clang, libFuzzer, sanitizers): each runs a short smoke time over its corpus.
cmake --preset fuzz
cmake --build --preset fuzz -j"$(nproc)"
ctest --preset fuzz

# The Debian package from the default build, installed as a user would install it: the
# program, sondrel-map and the man page land in the system (reinstalled on a second run).
(cd build/default && cpack -G DEB >/dev/null)
apt-get install -y -qq --no-install-recommends --reinstall ./build/default/sondrel_0.2-1_amd64.deb >/dev/null
man sondrel | grep 'sondrel-map --unmap' >/dev/null
sondrel-map --help >/dev/null
