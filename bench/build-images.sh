#!/usr/bin/env bash
# Builds the benchmark volumes once and keeps them between runs:
#   v200k    200,000 empty files in 2,000 directories
#   v1m      1,000,000 empty files in 10,000 directories
#   tree100k 100,000 empty files in 1,000 directories
#   flat100k 100,000 empty files in one directory
#   short200k 200,000 empty files in 2,000 directories, every name long and given an 8.3 name
#            too, the 8.3 $FILE_NAME first in every record (as Windows often stores it)
#   long200k  its twin: the same tree with long names only
# Each is a sparse image formatted by mkntfs and filled through an ntfs-3g mount, so the MFT,
# the indexes and the names are what a real NTFS driver writes. A finished image gets a
# .done marker; an interrupted one is rebuilt from scratch.
#   bench/build-images.sh [VOLUME...]
#   (default: v200k tree100k flat100k v1m short200k long200k)
# Cache directory: $SONDREL_BENCH_DIR, else /var/tmp/sondrel-bench.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cache="${SONDREL_BENCH_DIR:-/var/tmp/sondrel-bench}"
mkdir -p "$cache"

mkfiles="$cache/mkfiles"
if [[ ! -x "$mkfiles" || "$here/mkfiles.cpp" -nt "$mkfiles" ]]; then
  g++ -O2 -std=c++20 -pthread -o "$mkfiles" "$here/mkfiles.cpp"
fi

# name: image size, directories (0 = one directory "flat"), files per directory
declare -A size=([v200k]=4G [v1m]=16G [tree100k]=2G [flat100k]=2G)
declare -A dirs=([v200k]=2000 [v1m]=10000 [tree100k]=1000 [flat100k]=0)
declare -A per=([v200k]=100 [v1m]=100 [tree100k]=100 [flat100k]=100000)
size+=([short200k]=4G [long200k]=4G)
dirs+=([short200k]=2000 [long200k]=2000)
per+=([short200k]=100 [long200k]=100)
# mkfiles' name style: plain dNNNNN/fNNNNNNN unless given here.
declare -A names=([short200k]=short [long200k]=long)

mnt=""
cleanup() { [[ -n "$mnt" ]] && { fusermount -u "$mnt" 2>/dev/null || umount "$mnt" 2>/dev/null || true; rmdir "$mnt" 2>/dev/null || true; }; }
trap cleanup EXIT

build() {
  local name=$1 img="$cache/$1.img"
  if [[ -f "$img.done" ]]; then echo "$name: kept ($img)"; return; fi
  [[ -n "${size[$name]:-}" ]] || { echo "unknown volume $name" >&2; exit 2; }
  echo "$name: building $img"
  rm -f "$img" "$img.done"
  truncate -s "${size[$name]}" "$img"
  # mkntfs warns about geometry it cannot read from a plain file: show it only on failure.
  local log
  if ! log="$(mkntfs -q -F -f -L "$name" "$img" 2>&1)"; then echo "$log" >&2; exit 1; fi
  mnt="$(mktemp -d "$cache/mnt.XXXXXX")"
  ntfs-3g -o noatime,big_writes "$img" "$mnt"
  local start=$SECONDS root="$mnt"
  if [[ ${dirs[$name]} -eq 0 ]]; then root="$mnt/flat"; mkdir "$root"; fi
  nice -n 10 "$mkfiles" "$root" "${dirs[$name]}" "${per[$name]}" 2 "${names[$name]:-plain}"
  cleanup; mnt=""
  # ntfs-3g stores the 8.3 $FILE_NAME first in only about half the records.
  if [[ "${names[$name]:-}" == short ]]; then python3 "$here/short_names_first.py" "$img"; fi
  touch "$img.done"
  echo "$name: built in $((SECONDS - start)) s, $(du -h "$img" | cut -f1) on disk"
}

for v in "${@:-v200k tree100k flat100k v1m short200k long200k}"; do
  for w in $v; do build "$w"; done
done
