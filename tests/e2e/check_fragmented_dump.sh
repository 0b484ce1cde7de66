#!/bin/bash
# -dump of record 0 (whose $DATA continues in extension records) and of a file
# whose $DATA does the same must equal icat. Exits 77 (skipped) without the
# tools or root. usage: SONDREL_BIN=path check_fragmented_dump.sh
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
for tool in mkntfs ntfs-3g icat istat fls python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool"; exit 77; }
done
[ "$(id -u)" = 0 ] && [ -e /dev/fuse ] && [ -x "${SONDREL_BIN:-}" ] || { echo "needs root, /dev/fuse, SONDREL_BIN"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
frag=$("$here/make_fragmented_image.sh" "$work/image" 64) || { echo "image build failed"; exit 1; }
mkdir "$work/dos" && ln -s "$work/image" "$work/dos/x::"

status=0
istat "$work/image" 0 > "$work/istat0"
grep -q '^Type: \$ATTRIBUTE_LIST' "$work/istat0" || { echo "record 0 has no \$ATTRIBUTE_LIST"; status=1; }
for record in 0 "$frag"; do
  SONDREL_DOSDEVICES="$work/dos" "$SONDREL_BIN" -dump x "$record" "$work/out" || status=1
  if icat "$work/image" "$record" | cmp -s - "$work/out"; then
    echo "record $record: equal to icat ($(stat -c %s "$work/out") bytes)"
  else
    echo "record $record: differs from icat"; status=1
  fi
done
exit $status
