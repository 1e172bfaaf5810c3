"""The test command installs every program the tests, scripts and benchmark run."""
import os
import subprocess
import sys
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                     "check-test-programs.py")


class InstallListTest(unittest.TestCase):
    # (packages left out of the scripts' lists, status, a line it must print)
    CASES = [
        ([], 0, "is installed by a script of the project"),
        (["mpack"], 1, "munpack (run by tests/e2e/test_run_driver.py) comes from the package mpack,"
                       " which no script of the project installs"),
    ]

    def test_cases(self):
        for without, status, line in self.CASES:
            with self.subTest(without=without):
                run = subprocess.run([sys.executable, CHECK] + ["--without=" + p for p in without],
                                     capture_output=True, text=True, timeout=120)
                self.assertEqual(run.returncode, status, run.stdout + run.stderr)
                self.assertIn(line, run.stdout)


if __name__ == "__main__":
    unittest.main()
