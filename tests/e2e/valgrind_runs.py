"""quib under valgrind (memcheck) on the success path and on each exit
status it can reach from outside: any memory error, or a definite or
indirect leak, makes valgrind end the run with status 99 and fails the case.

Run by scripts/test-valgrind.sh (not part of the ctest suites: valgrind is
slow, and it cannot run the sanitizer build).
"""
import os
import shutil
import subprocess
import unittest

VALGRIND_STATUS = 99
os.environ.setdefault("QUIB_RUNNER", " ".join([
    "valgrind", "--quiet", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect",
    "--error-exitcode=%d" % VALGRIND_STATUS, "--track-fds=no"]))

from fault_server import FaultServer, until  # noqa: E402
import quibtest  # noqa: E402
from messages import NOT_LOADED  # noqa: E402
from quibtest import QUIB, RUNNER, AiosmtpdServer, Registry, run_quib  # noqa: E402

SENDER = "me@example.org"

# Kernel attribute files that claim a page of size and hold a few bytes:
# reading one ends early, at its real end.
SHORT_FILES = ["/sys/kernel/mm/transparent_hugepage/enabled", "/sys/devices/system/cpu/online",
               "/sys/devices/system/cpu/possible", "/sys/kernel/profiling"]


def short_file():
    for name in SHORT_FILES:
        try:
            with open(name, "rb") as f:
                if len(f.read()) < os.stat(name).st_size:
                    return name
        except OSError:
            pass
    return None


class ValgrindRuns(quibtest.StoredSettingsCase):
    SENDER = SENDER
    WORK_PREFIX = "quib-vg-"

    @classmethod
    def setUpClass(cls):
        if not RUNNER or os.path.basename(RUNNER[0]) != "valgrind":
            raise unittest.SkipTest("QUIB_RUNNER is not valgrind")
        super().setUpClass()

    def setUp(self):
        super().setUp()
        self.body = os.path.join(self.work, "body.txt")
        with open(self.body, "wb") as f:
            f.write(b"Hello,\n.dot\nbytes \xe9\xff and = \0 after a NUL\n")

    def check(self, args, status, registry=None, stdin=b"", env=None):
        full_env = {"TMPDIR": self.tmpdir}
        full_env.update(env or {})
        got, out, err = run_quib(args, registry=registry or self.registry, stdin=stdin,
                                 env=full_env, timeout=120)
        self.assertNotEqual(got, VALGRIND_STATUS, err.decode("latin-1"))
        self.assertEqual(got, status, (out + err).decode("latin-1"))
        self.assertEqual(err, b"", err.decode("latin-1"))
        return out

    def send_args(self, server, *more):
        return [self.body, "-t", "ann@example.org, bob@example.org (Bob)", "-c", "carol@x",
                "-b", "dan@x", "-s", "Subject", "-server", server, "-f", SENDER] + list(more)

    def test_sent(self):
        for extra in ([], ["-mime"], ["-i", "boss@x", "-penguin"]):
            with self.subTest(extra=extra), AiosmtpdServer() as server:
                self.check(self.send_args(server.address, *extra), 0)
                self.assertEqual(len(server.messages), 1)

    def test_console_input_sent(self):
        with AiosmtpdServer() as server:
            self.check(["-", "-t", "ann@example.org", "-server", server.address, "-f", SENDER], 0,
                       stdin=b"typed\nlines\x1aignored")
        self.assertEqual(os.listdir(self.tmpdir), [])

    def test_install(self):
        registry = Registry()
        self.addCleanup(registry.cleanup)
        self.check(["-install", "mail.example", "you@x"], 0, registry=registry)

    def test_command_line_statuses(self):
        empty = Registry()
        self.addCleanup(empty.cleanup)
        cases = [
            ("no arguments", [], 1, None),
            ("-h", ["-h"], 1, None),
            ("stray argument", [self.body, "stray"], 1, None),
            ("-server too long", [self.body, "-server", "s" * 300], 1, None),
            ("missing file", [os.path.join(self.work, "missing")], 2, None),
            ("-install count", ["-install", "a", "b", "c"], 6, None),
            ("nothing stored", [self.body, "-t", "a@x"], 12, empty),
            ("line break in the sender", [self.body, "-t", "a@x", "-f", "a\r\nb"], 12, None),
        ]
        for name, args, status, registry in cases:
            with self.subTest(name):
                self.check(args, status, registry=registry)

    def test_run_driver_statuses(self):
        # Status 13 (no temporary folder) is left to the sanitizer build:
        # valgrind itself needs TMPDIR to start.
        cases = [("/dev/null", 4, None)]
        name = short_file()
        if name:
            cases.append((name, -1, None))  # read whole; nobody listening
        for message_file, status, env in cases:
            with self.subTest(message_file):
                self.check([message_file, "-t", "a@x", "-server", "127.0.0.1:1"], status,
                           stdin=b"x\n", env=env)

    def test_failed_deliveries(self):
        with self.subTest("nobody listening"):
            self.check(self.send_args("127.0.0.1:1"), -1)
        with self.subTest("nobody listening at a name"):  # the resolver's work ends before exit
            self.check(self.send_args("localhost:1"), -1)
        with self.subTest("recipient refused"), AiosmtpdServer(refuse=["bob@example.org"]) as server:
            self.check(self.send_args(server.address), -1)
        with self.subTest("dropped after MAIL"), FaultServer(until("MAIL") + [("close",)]) as server:
            self.check(self.send_args(server.address), -1)
        with self.subTest("dropped before the final reply"), \
                FaultServer(until("TEXT") + [("close",)]) as server:
            self.check(self.send_args(server.address), -1)
        with self.subTest("no socket library"):
            # quib looks for the library beside itself first; a copy of quib
            # alone in a folder finds none.
            lonely = os.path.join(self.work, "alone")
            os.mkdir(lonely)
            shutil.copy(QUIB, lonely)
            proc = subprocess.run(RUNNER + [os.path.join(lonely, os.path.basename(QUIB))]
                                  + self.send_args("127.0.0.1:1"),
                                  env=dict(os.environ, QUIB_REGISTRY=self.registry.path),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
            self.assertNotEqual(proc.returncode, VALGRIND_STATUS, proc.stderr.decode("latin-1"))
            self.assertEqual(proc.returncode, 255, proc.stdout)
            self.assertTrue(proc.stdout.endswith(NOT_LOADED), proc.stdout)

if __name__ == "__main__":
    unittest.main()
