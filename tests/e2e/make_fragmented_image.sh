#!/bin/bash
# Builds an NTFS image whose $MFT is fragmented enough that record 0 keeps
# the rest of its $DATA runs in extension records, listed in its
# $ATTRIBUTE_LIST (0x20), and a file "frag.bin" whose $DATA does the same.
# Free space is first cut into one-cluster holes, so every later growth of
# the $MFT takes one hole at a time.
#
# usage: make_fragmented_image.sh IMAGE [SIZE_MIB]   (64 MiB gives both; 128 MiB two $MFT extension records)
# Prints the record number of frag.bin. Needs mkntfs, ntfs-3g, python3, root.
set -euo pipefail
image=$1
size_mib=${2:-64}

rm -f "$image"
truncate -s "${size_mib}M" "$image"
mkntfs -F -Q -q -s 512 -c 4096 "$image" >/dev/null 2>&1
mnt=$(mktemp -d)
cleanup() { fusermount -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || true; rmdir "$mnt"; }
trap cleanup EXIT
ntfs-3g "$image" "$mnt"

python3 - "$mnt" <<'PY'
import os, sys
root = sys.argv[1]
fill = os.path.join(root, "fill")
os.mkdir(fill)
# Fill the volume with one-cluster files, then free every other one.
n = 0
try:
    while True:
        with open(os.path.join(fill, f"c{n}"), "wb") as f:
            f.write(os.urandom(4096))
        n += 1
except OSError:
    pass
for i in range(0, n, 2):
    os.remove(os.path.join(fill, f"c{i}"))
# A file written into the holes: its runs overflow its own record.
with open(os.path.join(root, "frag.bin"), "wb") as f:
    f.write(os.urandom(4096 * min(600, n // 4)))
# Many empty files: the $MFT grows one hole at a time.
many = os.path.join(root, "many")
os.mkdir(many)
try:
    for i in range(n // 2):
        open(os.path.join(many, f"m{i}"), "wb").close()
except OSError:
    pass
PY
sync
cleanup
trap - EXIT
fls -p "$image" | awk -F'[ \t:-]+' '$NF == "frag.bin" {print $2}'
