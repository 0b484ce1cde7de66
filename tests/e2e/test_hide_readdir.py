#!/usr/bin/env python3
"""The readdir-hiding library hides exactly the listed names, from readdir and readdir64
alike, and leaves the files reachable by path (as a user-mode rootkit does)."""

import os
import subprocess
import tempfile
import unittest

import e2e_support


class HideReaddir(unittest.TestCase):
    def listing(self, folder, hide):
        env = dict(os.environ, LD_PRELOAD=os.environ["SONDREL_HIDE_LIB"], SONDREL_HIDE=hide)
        out = subprocess.run(["ls", "-1a", folder], env=env, check=True, capture_output=True,
                             text=True).stdout
        return sorted(out.splitlines())

    def test_hides_exactly_the_listed_names(self):
        with tempfile.TemporaryDirectory() as folder:
            for name in ("secret.txt", "secret.txt.bak", "plain", "with space", "x"):
                open(os.path.join(folder, name), "w").close()
            cases = [
                ("", [".", "..", "plain", "secret.txt", "secret.txt.bak", "with space", "x"]),
                ("secret.txt", [".", "..", "plain", "secret.txt.bak", "with space", "x"]),
                ("with space:x:nothing", [".", "..", "plain", "secret.txt", "secret.txt.bak"]),
                ("secret", [".", "..", "plain", "secret.txt", "secret.txt.bak", "with space",
                            "x"]),
            ]
            for hide, expected in cases:
                with self.subTest(hide=hide):
                    self.assertEqual(self.listing(folder, hide), expected)
            # Hidden from the listing, not from the path.
            env = dict(os.environ, LD_PRELOAD=os.environ["SONDREL_HIDE_LIB"],
                       SONDREL_HIDE="secret.txt")
            subprocess.run(["test", "-e", os.path.join(folder, "secret.txt")], env=env,
                           check=True)

    def test_readdir64_and_readdir_both_filtered(self):
        # Python's os.listdir goes through readdir64 on glibc; ls above through readdir.
        with tempfile.TemporaryDirectory() as folder:
            for name in ("a", "b"):
                open(os.path.join(folder, name), "w").close()
            env = dict(os.environ, LD_PRELOAD=os.environ["SONDREL_HIDE_LIB"], SONDREL_HIDE="a")
            out = subprocess.run(["python3", "-c", f"import os; print(sorted(os.listdir({folder!r})))"],
                                 env=env, check=True, capture_output=True, text=True).stdout
            self.assertEqual(out.strip(), "['b']")


if __name__ == "__main__":
    if not os.path.exists(os.environ.get("SONDREL_HIDE_LIB", "")):
        print("SKIP: SONDREL_HIDE_LIB is not set to the built library")
        raise SystemExit(e2e_support.SKIP)
    unittest.main(verbosity=2)
