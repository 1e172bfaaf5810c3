"""Attachments streamed while the message text goes out: a file that changes
under the send delivers nothing; files of /proc and /sys go whole as before;
the progress line of -progress on a pseudo-terminal."""
import email
import email.policy
import os
import pty
import re
import select
import subprocess
import threading
import time
import unittest

from fault_server import DATA, GREETING, HELO, MAIL, QUIT, RCPT, TEXT, WHOLE_DIALOGUE, FaultServer, reply
import quibtest
from quibtest import run_quib

SENDER = "x@y"
RECIPIENT = "a@b"
BIG = 16 << 20  # well past what the sockets buffer while the server holds


def attachments_of(received):
    text = received.split(b"\r\n", 5)[-1]  # after HELO, MAIL, RCPT, DATA
    text = text[:text.index(b"\r\n.\r\n")].replace(b"\r\n..", b"\r\n.")
    message = email.message_from_bytes(text, policy=email.policy.default)
    return [part.get_content() for part in message.iter_attachments()]


class StreamedAttachmentTest(quibtest.StoredSettingsCase):
    SENDER = SENDER
    WORK_PREFIX = "quib-stream-"

    def args(self, server, *more):
        body = os.path.join(self.work, "body.txt")
        with open(body, "wb") as f:
            f.write(b"hello\n")
        return [body, "-server", server.address, "-t", RECIPIENT, "-debug"] + list(more)

    def test_file_changed_while_sent_delivers_nothing(self):
        changes = [("shrinks", lambda path: os.truncate(path, 1 << 20)),
                   ("grows", lambda path: os.truncate(path, BIG + 1)),
                   ("is replaced by a shorter one", lambda path: os.truncate(path, BIG - 1))]
        for name, change in changes:
            with self.subTest(name):
                path = os.path.join(self.work, "big.bin")
                with open(path, "wb") as f:
                    f.truncate(BIG)
                script = GREETING + HELO + MAIL + RCPT + DATA + [("some", 1 << 20), ("hold",),
                                                              ("some", 1 << 40)]
                with FaultServer(script) as server:
                    result = {}
                    run = threading.Thread(target=lambda: result.update(
                        zip("soe", run_quib(self.args(server, "-attach", path), registry=self.registry,
                                            env={"GENSOCK_TIMEOUT": "60"}, timeout=120))))
                    run.start()
                    while len(server.received) < (1 << 20) and run.is_alive():
                        time.sleep(0.01)
                    change(path)
                    server.release()
                    run.join(120)
                    settled = time.monotonic() + 30  # the server may still be reading what was sent
                    while not server.eof and time.monotonic() < settled:
                        time.sleep(0.01)
                self.assertEqual(result["s"], 5, result)
                self.assertTrue(result["o"].endswith(b"error reading %s, aborting\n" % path.encode()))
                self.assertNotIn(b"\r\n.\r\n", server.received)
                self.assertNotIn(b"QUIT", server.received[-64:])
                self.assertTrue(server.eof, "the connection stays open")
                self.assertRegex(result["e"].decode(), r"stopped after \d+ bytes.*without the end marker")

    def test_files_of_proc_and_sys_go_whole(self):
        files = [name for name in ("/proc/version", "/sys/class/net/lo/address")]
        with FaultServer(WHOLE_DIALOGUE) as server:
            args = self.args(server)
            for name in files:
                args += ["-attach", name]
            status, out, err = run_quib(args, registry=self.registry)
        self.assertEqual(status, 0, err)
        want = []
        for name in files:
            with open(name, "rb") as f:
                want.append(f.read())
        self.assertEqual(attachments_of(server.received), want)


PROGRESS = re.compile(rb"\r[0-9.]+ MiB of [0-9.]+ MiB +\d+%  [0-9.]+ MiB/s  \d+:\d\d left\x1b\[K")
CLEARED = b"\r\x1b[K"


class ProgressLineTest(quibtest.StoredSettingsCase):
    SENDER = SENDER
    WORK_PREFIX = "quib-progress-"

    def send(self, size, more, terminal=True):
        """quib with an attachment of size bytes and standard error on a
        pseudo-terminal (or a pipe): status, what reached standard error."""
        path = os.path.join(self.work, "file.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        with quibtest.SmtpSink() as sink:
            args = quibtest.RUNNER + [quibtest.QUIB, path, "-server", sink.address, "-t", RECIPIENT,
                                      "-attach", path] + more
            env = dict(os.environ, QUIB_REGISTRY=self.registry.path, **quibtest.SHORT_TIMEOUTS)
            main, side = pty.openpty()
            proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=side if terminal else subprocess.PIPE, env=env)
            os.close(side)
            seen = b""
            while True:
                ready, _, _ = select.select([main], [], [], 60)
                try:
                    chunk = os.read(main, 65536) if ready else b""
                except OSError:
                    chunk = b""
                if not chunk:
                    break
                seen += chunk
            os.close(main)
            _, err = proc.communicate(timeout=120)
        return proc.returncode, seen if terminal else err

    def test_progress_is_drawn_redrawn_and_cleared(self):
        status, seen = self.send(48 << 20, ["-progress"])
        self.assertEqual(status, 0)
        self.assertGreaterEqual(len(PROGRESS.findall(seen)), 2, seen)
        self.assertTrue(seen.endswith(CLEARED), seen[-200:])
        self.assertEqual(PROGRESS.sub(b"", seen), CLEARED)

    def test_no_progress_where_it_is_not_wanted(self):
        for name, size, more, terminal in [("without -progress", 12 << 20, [], True),
                                            ("to a pipe", 12 << 20, ["-progress"], False),
                                            ("below 8 MiB", 5 << 20, ["-progress"], True)]:
            with self.subTest(name):
                status, seen = self.send(size, more, terminal)
                self.assertEqual((status, seen), (0, b""))
        status, seen = self.send(12 << 20, ["-progress", "-debug"])
        self.assertEqual(status, 0)
        self.assertNotIn(b"MiB/s", seen)


if __name__ == "__main__":
    unittest.main()
