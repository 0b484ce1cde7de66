#!/usr/bin/env python3
"""Puts the 8.3 $FILE_NAME first in every MFT record of an NTFS image, as Windows often stores
it (ntfs-3g does so in only about half the records): the record's Win32 and DOS $FILE_NAMEs
trade places, fix-ups written anew. In place, record by record.

  bench/short_names_first.py IMAGE      prints how many records were changed"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import ntfs_layout  # noqa: E402

if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    changed = ntfs_layout.put_short_names_first(sys.argv[1])
    print(f"{changed} records now give their 8.3 name first")
