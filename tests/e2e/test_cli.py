#!/usr/bin/env python3
"""The command line as users and scripts meet it: the usage text, unknown parameters and
their exit status -1 (255 to the shell), options compared without ASCII case, the last
drive and the strongest mode winning, and a volume that cannot be opened."""

import os
import tempfile
import unittest

import e2e_support
from e2e_support import USAGE, run_sondrel


class Usage(unittest.TestCase):
    maxDiff = None

    def test_usage_and_unknown_parameters(self):
        cases = [
            ([], ""),
            (["-dig2", "c"], "-dig2"),
            (["-dig", "c", "extra"], "extra"),
            # "-list" is taken as -dig's drive, so "c" stands where an option should.
            (["-dig", "-list", "c"], "c"),
            (["list", "c"], "list"),
            (["-dump", "c", "5", "out.bin", "-"], "-"),
        ]
        with tempfile.TemporaryDirectory() as cwd:
            for args, unknown in cases:
                with self.subTest(args=args):
                    run = run_sondrel(args, cwd=cwd)
                    prefix = f'Unknown parameter "{unknown}"\n\n' if args else ""
                    self.assertEqual(run.stdout, prefix + USAGE)
                    self.assertEqual(run.stderr, "")
                    self.assertEqual(run.returncode, 255)
            self.assertEqual(os.listdir(cwd), [], "a refused command line wrote a file")


class Volumes(unittest.TestCase):
    maxDiff = None

    def test_unopenable_volume_one_line_on_stderr_exit_1(self):
        img = e2e_support.image("small", "512-4096")
        with e2e_support.drive(img, view=False) as drive:
            with tempfile.TemporaryDirectory() as cwd:
                for args in (["-list", "q"], ["-dig", "q"], ["-dump", "q", "0", "out.bin"]):
                    with self.subTest(args=args):
                        run = run_sondrel(args, drive.dosdevices, cwd=cwd)
                        self.assertEqual(run.returncode, 1)
                        self.assertEqual(run.stdout, "")
                        self.assertEqual(run.stderr.count("\n"), 1, run.stderr)
                        self.assertTrue(run.stderr.endswith("\n"), run.stderr)
                        self.assertEqual(os.listdir(cwd), [])
        # No drive folder at all.
        run = run_sondrel(["-list", "x"], "/nonexistent-sondrel-dosdevices")
        self.assertEqual((run.returncode, run.stdout, run.stderr.count("\n")), (1, "", 1))

    def test_option_case_and_last_drive_win(self):
        img = e2e_support.image("small", "512-4096")
        with e2e_support.drive(img) as drive:
            plain = run_sondrel(["-list", "x"], drive.dosdevices)
            self.assertEqual(plain.returncode, 0)
            same = [
                ["-LIST", "x"], ["-List", "X"], ["-list", "x:\\"], ["-list", "xdrive"],
                ["-list", "q", "-list", "x"],
            ]
            for args in same:
                with self.subTest(args=args):
                    run = run_sondrel(args, drive.dosdevices)
                    self.assertEqual((run.returncode, run.stdout), (0, plain.stdout))
            # Dig wins over list whatever the order, on the last drive named.
            dig = run_sondrel(["-dig", "x"], drive.dosdevices, hide=["secret.txt"])
            self.assertIn("secret.txt", dig.stdout)
            for args in (["-list", "q", "-dig", "x"], ["-dig", "q", "-list", "x"], ["-DIG", "x"]):
                with self.subTest(args=args):
                    run = run_sondrel(args, drive.dosdevices, hide=["secret.txt"])
                    self.assertEqual((run.returncode, run.stdout), (0, dig.stdout))


if __name__ == "__main__":
    e2e_support.main()
