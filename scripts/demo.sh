#!/usr/bin/env bash
# Sondrel's main job on a sample volume, from scratch on a fresh Debian 12 machine (as root):
# builds the tool, makes a small NTFS image with a file that a stand-in rootkit hides from
# directory listings, and digs it out by reading the MFT raw; then lists and dumps.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" >/dev/null
sondrel=$root/build/default/sondrel
rootkit=$root/build/default/tests/e2e/libsondrel_hide_readdir.so

work=$(mktemp -d /tmp/sondrel-demo.XXXXXX)
view=$work/view
cleanup() {
  if mountpoint -q "$view" 2>/dev/null; then
    fusermount -u "$view" 2>/dev/null || umount "$view"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "A sample NTFS volume (mkntfs, filled through ntfs-3g): $work/sample.img"
python3 tests/e2e/ntfs_image.py build "$work/sample.img" --volume demo

# The drive folder: "x::" is the raw volume, "x:" its ordinary mounted view.
mkdir "$view" "$work/dosdevices"
ntfs-3g -o ro "$work/sample.img" "$view"
ln -s "$work/sample.img" "$work/dosdevices/x::"
ln -s "$view" "$work/dosdevices/x:"
export SONDREL_DOSDEVICES=$work/dosdevices

step "ls -la of the volume, with the stand-in rootkit loaded (hides secret.txt from readdir)"
LD_PRELOAD=$rootkit SONDREL_HIDE=secret.txt ls -la "$view"

# The listing goes to standard output; standard error carries a running percentage and
# then the totals line, shown here after the listing.
run() {
  "$@" >"$work/out.txt" 2>"$work/err.txt"
  cat "$work/out.txt"
  tr '\r' '\n' <"$work/err.txt" | tail -n 1
}

step "sondrel -dig x, the same rootkit loaded into sondrel: the MFT still holds secret.txt"
run env LD_PRELOAD="$rootkit" SONDREL_HIDE=secret.txt "$sondrel" -dig x
cp "$work/out.txt" "$work/dig.txt"

step "sondrel -list x: every file the MFT holds"
run "$sondrel" -list x

record=$(awk '/\\secret\.txt$/ { print $1; exit }' "$work/dig.txt")
step "sondrel -dump x ${record:-?} secret.dump: the hidden file's data, straight from the clusters"
if [[ -n $record ]]; then
  (cd "$work" && "$sondrel" -dump x "$record" secret.dump && cat secret.dump)
else
  echo "secret.txt was not dug out" >&2
  exit 1
fi
