"""The queue (-queue, -flush, -queue-list, -queue-drop, -queue-retry) against
real servers on loopback: smtp-sink answering 4xx or 5xx, aiosmtpd stopped
and started, a port with nothing listening, a server that stalls, and
scripted servers where the bytes or the moment of a crash matter. Every run
gets a queue folder of its own (QUIB_QUEUE_DIR)."""
import email
import os
import re
import shutil
import signal
import subprocess
import threading
import time
import unittest

from fault_server import GREETING, HELO, MAIL, RCPT, DATA, FaultServer, reply
from quibtest import (QUIB, RUNNER, SHORT_TIMEOUTS, UNDER_WINE, AiosmtpdServer, SmtpSink,
                      StoredSettingsCase, free_port, password_check, run_quib, wait_for_port)

QUEUED_LINE = re.compile(rb"^queued: the message will be sent by quib -flush \((.+)\)$", re.M)
NO_PASS = (b"-queue cannot keep a -pass secret; use QUIB_PASSWORD, netrc, the Credential "
           b"Manager, -passcmd or -oauth\n")
BODY = b"first line\r\n.a line with a leading dot\r\nlast line\r\n"


class ShapedSink(SmtpSink):
    """smtp-sink with extra options, on a port chosen by the test."""

    def __init__(self, port, *options):
        super().__init__()
        self.port, self.options = port, list(options)

    def __enter__(self):
        args = [shutil.which("smtp-sink") or "/usr/sbin/smtp-sink"] + self.options
        if os.geteuid() == 0:
            args += ["-u", "nobody"]
        self.proc = subprocess.Popen(args + ["127.0.0.1:%d" % self.port, "128"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port)
        return self


class QueueCase(StoredSettingsCase):
    def setUp(self):
        super().setUp()
        self.queue = os.path.join(self.work, "queue")
        self.body = os.path.join(self.work, "body.txt")
        with open(self.body, "wb") as f:
            f.write(BODY)

    def quib(self, *args, env=None):
        return run_quib(list(args), registry=self.registry,
                        env=dict({"QUIB_QUEUE_DIR": self.queue}, **(env or {})))

    def send(self, server, *extra):
        return self.quib(self.body, "-t", "ann@example.org,bob@example.org", "-server", server,
                         "-queue", *extra)

    def entries(self, folder=""):
        path = os.path.join(self.queue, folder)
        return sorted(n for n in os.listdir(path) if os.path.isfile(os.path.join(path, n)))

    def entry_bytes(self, name, folder=""):
        with open(os.path.join(self.queue, folder, name), "rb") as f:
            return f.read()


class QueueAndFlush(QueueCase):
    def test_passing_failures_are_queued_and_flushed_byte_for_byte(self):
        # (what the server does at the first attempt, the reason's start)
        cases = [
            ("nothing listening", None, b"connecting to "),
            ("smtp-sink answers 421 at once", ["-r", "CONNECT", "-b", "421 4.3.2 busy"],
             b"the greeting: 421 4.3.2 busy"),
            ("smtp-sink answers 451 to RCPT", ["-r", "RCPT", "-b", "451 4.3.0 try later"],
             b"RCPT To: <ann@example.org>: 451 4.3.0 try later"),
        ]
        for name, sink_options, reason in cases:
            with self.subTest(name):
                shutil.rmtree(self.queue, ignore_errors=True)
                port = free_port()
                server = "127.0.0.1:%d" % port
                if sink_options is None:
                    status, out, _ = self.send(server)
                else:
                    with ShapedSink(port, *sink_options):
                        status, out, _ = self.send(server)
                self.assertEqual(status, 14, out)
                self.assertTrue(QUEUED_LINE.search(out).group(1).startswith(reason), out)
                (entry,) = self.entries()
                with AiosmtpdServer(port=port) as keeper:
                    status, out, _ = self.quib("-flush")
                    self.assertEqual((status, out), (0, b"sent %s to ann@example.org and 1 more\n"
                                                     % entry.encode()))
                    (message,) = keeper.messages
                self.assertEqual(message.rcpt_tos, ["ann@example.org", "bob@example.org"])
                self.assertIn(b"\r\n\r\n" + BODY, message.content)
                self.assertEqual(self.entries(), [])

    def test_a_failing_passcmd_is_queued_and_run_again_by_the_flush(self):
        secret = os.path.join(self.work, "secret")
        # cmd /c runs it on Windows; Wine's Z: drive is this machine's root.
        command = ("type Z:" + secret.replace("/", "\\")) if UNDER_WINE else "cat " + secret
        login = dict(authenticator=password_check("ann", "s3cret"), auth_required=True,
                     auth_require_tls=False)
        with AiosmtpdServer(**login) as server:
            address = "127.0.0.1:%d" % server.controller.port
            status, out, _ = self.send(address, "-u", "ann", "-passcmd", command)
            self.assertEqual(status, 14, out)
            self.assertIn(b"(running -passcmd: the command ended with status 1)", out)
            (entry,) = self.entries()
            self.assertIn(b"\npasscmd " + command.encode() + b"\n", self.entry_bytes(entry))
            with open(secret, "w") as f:
                f.write("s3cret\n")
            status, out, _ = self.quib("-flush")
            self.assertEqual((status, self.entries()), (0, []), out)
            self.assertEqual(len(server.messages), 1)

    def test_the_flush_sends_the_first_attempt_bytes(self):
        # The first attempt reaches the end of data and is answered 451:
        # what went out then must be what the flush delivers.
        script = GREETING + HELO + MAIL + RCPT + RCPT + DATA + [("data",),
                                                                 reply("451 4.3.0 later")]
        with FaultServer(script) as first:
            attach = os.path.join(self.work, "data.bin")
            with open(attach, "wb") as f:
                f.write(bytes(range(256)) * 40)
            status, out, _ = self.send(first.address, "-attach", attach)
            port = first.port
        self.assertEqual(status, 14, out)
        first_text = first.received.split(b"DATA\r\n", 1)[1].split(b"\r\n.\r\n")[0] + b"\r\n"
        first_text = first_text.replace(b"\r\n..", b"\r\n.")
        with AiosmtpdServer(port=port) as keeper:
            self.assertEqual(self.quib("-flush")[0], 0)
            (message,) = keeper.messages
        self.assertEqual(message.content, first_text)
        parsed = email.message_from_bytes(message.content)
        self.assertRegex(parsed["Message-ID"], r"^<\d+\.[0-9a-f]{16}@[A-Za-z0-9.-]+>$")
        self.assertEqual(parsed.get_payload()[1].get_payload(decode=True), bytes(range(256)) * 40)

    def test_a_large_message_is_written_into_the_entry_and_flushed_block_by_block(self):
        # Read whole by the first attempt (refused after the end of data),
        # the attachment is read again from its start into the entry; the
        # flush reads the entry in blocks, whose cuts fall among runs of CRs.
        with open(self.body, "wb") as f:
            f.write((b"a" + b"\r" * 7 + b"\n") * 200000)
        attach = os.path.join(self.work, "big.bin")
        content = os.urandom((1 << 20) + 12345)
        with open(attach, "wb") as f:
            f.write(content)
        script = GREETING + HELO + MAIL + RCPT + RCPT + DATA + [("data",),
                                                                 reply("451 4.3.0 later")]
        with FaultServer(script) as first:
            status, out, _ = self.send(first.address, "-attach", attach)
            port = first.port
        self.assertEqual(status, 14, out)
        first_text = first.received.split(b"DATA\r\n", 1)[1].split(b"\r\n.\r\n")[0] + b"\r\n"
        (entry,) = self.entries()
        stored = self.entry_bytes(entry)
        self.assertEqual(stored[stored.index(b"\n\n") + 2:].replace(b"\r" * 7 + b"\n", b"\r\n"),
                         first_text)
        parsed = email.message_from_bytes(first_text)
        self.assertEqual(parsed.get_payload()[1].get_payload(decode=True), content)
        with AiosmtpdServer(port=port) as keeper:
            self.assertEqual(self.quib("-flush")[0], 0)
            (message,) = keeper.messages
        self.assertEqual(message.content, first_text)

    def test_a_stalling_server_queues(self):
        with FaultServer([("hold",)]) as stalling:
            status, out, _ = self.send(stalling.address)
        self.assertEqual(status, 14, out)
        self.assertIn(b"Wait a bit (possible timeout)", QUEUED_LINE.search(out).group(1))

    def test_many_entries_share_one_connection(self):
        port = free_port()
        for _ in range(5):
            self.assertEqual(self.send("127.0.0.1:%d" % port)[0], 14)
        with AiosmtpdServer(port=port) as keeper:
            status, out, _ = self.quib("-flush", "-q")
            self.assertEqual((status, out), (0, b""))
            self.assertEqual((len(keeper.messages), keeper.quits), (5, 1))
        ids = {email.message_from_bytes(m.content)["Message-ID"] for m in keeper.messages}
        self.assertEqual(len(ids), 5)

    def test_refusals_are_not_queued(self):
        port = free_port()
        cases = [
            ("550 to RCPT", ["-f", "RCPT"], [], -1, None),
            ("-pass", None, ["-u", "me", "-pass", "secret"], 12, NO_PASS),
        ]
        for name, sink_options, extra, want_status, want_out in cases:
            with self.subTest(name):
                if sink_options is None:
                    status, out, _ = self.send("127.0.0.1:%d" % port, *extra)
                else:
                    with ShapedSink(port, *sink_options):
                        status, out, _ = self.send("127.0.0.1:%d" % port, *extra)
                self.assertEqual(status, want_status, out)
                if want_out is not None:
                    self.assertEqual(out, want_out)
                self.assertFalse(os.path.exists(self.queue) and self.entries())


class FlushOutcomes(QueueCase):
    def queue_one(self):
        port = free_port()
        self.assertEqual(self.send("127.0.0.1:%d" % port)[0], 14)
        return port, self.entries()[0]

    def test_delays_grow_and_a_flush_before_the_next_attempt_touches_nothing(self):
        port, entry = self.queue_one()
        status, out, _ = self.quib("-flush")
        self.assertEqual(status, 14)
        self.assertRegex(out, rb"^waiting %s to ann@example.org and 1 more: connecting to "
                         rb"127.0.0.1:%d: .*; next attempt in (4[89]s|5\ds|1m)\n$"
                         % (entry.encode(), port))
        before = self.entry_bytes(entry)
        self.assertIn(b"\nattempts 2\n", before)
        self.assertEqual(self.quib("-flush"), (14, b"", b""))
        self.assertEqual(self.entry_bytes(entry), before)

    def test_a_refusal_at_flush_moves_the_entry_to_failed_and_retry_brings_it_back(self):
        port, entry = self.queue_one()
        with ShapedSink(port, "-f", "MAIL"):
            status, out, _ = self.quib("-flush")
        self.assertEqual(status, -1)
        self.assertRegex(out, rb"^failed .* MAIL From:<me@example.org>: 5\d\d ")
        self.assertEqual((self.entries(), self.entries("failed")), ([], [entry]))
        self.assertRegex(self.quib("-queue-list")[1], rb"^%s  failed  age " % entry.encode())
        self.assertEqual(self.quib("-queue-retry", "nosuch")[0], 2)
        self.assertEqual(self.quib("-queue-retry", entry)[0], 0)
        self.assertEqual(self.entries(), [entry])
        self.assertEqual(self.quib("-queue-drop", "all")[0], 0)
        self.assertEqual((self.entries(), self.entries("failed")), ([], []))

    def test_the_age_limit(self):
        port, entry = self.queue_one()
        path = os.path.join(self.queue, entry)
        text = self.entry_bytes(entry)
        created = int(re.search(rb"\ncreated (\d+)\n", text).group(1))
        with open(path, "wb") as f:
            f.write(text.replace(b"\ncreated %d\n" % created, b"\ncreated %d\n" % (created - 3 * 86400)))
        self.assertEqual(self.quib("-flush", env={"QUIB_QUEUE_DAYS": "4"})[0], 14)
        status, out, _ = self.quib("-flush", env={"QUIB_QUEUE_DAYS": "2"})
        self.assertEqual(status, -1)
        self.assertIn(b": older than 2d\n", out)
        self.assertEqual(self.entries("failed"), [entry])

    def test_garbled_entries_fail_and_the_others_are_sent(self):
        port = free_port()
        for _ in range(3):
            self.assertEqual(self.send("127.0.0.1:%d" % port)[0], 14)
        truncated, garbled, good = self.entries()
        edits = [(truncated, lambda text: text[:-5]),
                 (garbled, lambda text: text.replace(b"\nattempts 1\n", b"\nattempts x\n"))]
        for name, edit in edits:
            text = edit(self.entry_bytes(name))
            with open(os.path.join(self.queue, name), "wb") as f:
                f.write(text)
        with AiosmtpdServer(port=port) as keeper:
            status, out, _ = self.quib("-flush")
            self.assertEqual(len(keeper.messages), 1)
        self.assertEqual(status, -1)
        self.assertRegex(out, rb"failed %s to .*: unreadable: the file does not hold the \d+ "
                         rb"bytes of its message" % truncated.encode())
        self.assertRegex(out, rb"failed %s to .*: unreadable: the value of 'attempts' is garbled"
                         % garbled.encode())
        self.assertEqual(self.entries("failed"), [truncated, garbled])

    def test_an_empty_or_missing_queue_and_a_folder_others_can_write(self):
        self.assertEqual(self.quib("-flush"), (0, b"", b""))
        self.queue_one()
        os.chmod(self.queue, 0o777)  # under Wine: a DACL that lets everyone write
        for command in (["-flush"], ["-queue-list"], self.send_args()):
            status, out, _ = self.quib(*command)
            self.assertEqual(status, 12, command)
            self.assertIn(b"can be written by others", out)

    def send_args(self):
        return [self.body, "-t", "ann@example.org", "-server", "127.0.0.1:1", "-queue"]

    @unittest.skipIf(UNDER_WINE, "a tmpfs of its own: Linux")
    def test_a_full_disk_leaves_nothing_and_ends_as_without_queue(self):
        big = os.path.join(self.work, "big.txt")
        with open(big, "wb") as f:
            f.write(b"x" * 200000 + b"\r\n")
        os.makedirs(self.queue)
        env = dict(os.environ, QUIB_QUEUE_DIR=self.queue, QUIB_REGISTRY=self.registry.path,
                   **SHORT_TIMEOUTS)
        unshare = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]
        # What is left in the queue goes to standard error, before the tmpfs goes.
        script = ('mount -t tmpfs -o size=64k,mode=0700 none "$QUIB_QUEUE_DIR" || exit 99; '
                  '"$@"; s=$?; find "$QUIB_QUEUE_DIR" -type f >&2; exit $s')
        proc = subprocess.run(unshare + ["sh", "-c", script, "sh", QUIB, big, "-t", "a@example.org",
                                         "-server", "127.0.0.1:1", "-queue"],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((proc.returncode, proc.stderr), (255, b""))
        self.assertRegex(proc.stdout, rb"\nthe message could not be queued: writing: No space left")


class CrashesAndRaces(QueueCase):
    def spawn(self, *args):
        env = dict(os.environ, QUIB_QUEUE_DIR=self.queue, QUIB_REGISTRY=self.registry.path,
                   **SHORT_TIMEOUTS)
        return subprocess.Popen(RUNNER + [QUIB] + list(args), env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def assert_whole_entries(self, count):
        status, out, _ = self.quib("-queue-list")
        self.assertEqual((status, out.count(b"\n"), b"unreadable" in out), (0, count, False), out)
        self.assertEqual(os.listdir(os.path.join(self.queue, "tmp")), [])

    @unittest.skipIf(UNDER_WINE, "killed at chosen instants with SIGKILL: POSIX timing")
    def test_a_flush_killed_at_each_step_loses_nothing(self):
        port = free_port()
        self.assertEqual(self.send("127.0.0.1:%d" % port)[0], 14)
        # The server stops after reading the command (or the text) of each step.
        steps = {"HELO": 1, "MAIL": 2, "RCPT": 3, "DATA": 5, "TEXT": 6}
        for stage, lines in steps.items():
            with self.subTest(stage):
                script = GREETING + HELO + MAIL + RCPT + RCPT + DATA + [("data",)]
                cut = script[:[i for i, step in enumerate(script) if step[0] in ("line", "data")]
                             [lines - 1] + 1] + [("hold",)]
                with FaultServer(cut) as server:
                    text = self.entry_bytes(self.entries()[0])
                    with open(os.path.join(self.queue, self.entries()[0]), "wb") as f:
                        f.write(text.replace(b"127.0.0.1:%d" % port, server.address.encode()))
                    port = server.port
                    flush = self.spawn("-flush")
                    deadline = time.monotonic() + 20
                    while len(server.lines) + (b"\r\n.\r\n" in server.received) < lines:
                        self.assertLess(time.monotonic(), deadline, server.lines)
                        time.sleep(0.02)
                    flush.send_signal(signal.SIGKILL)
                    flush.wait()
                self.assert_whole_entries(1)
        with AiosmtpdServer(port=port) as keeper:
            self.assertEqual(self.quib("-flush")[0], 0)
            self.assertEqual(len(keeper.messages), 1)

    @unittest.skipIf(UNDER_WINE, "killed at chosen instants with SIGKILL: POSIX timing")
    def test_a_run_killed_while_queuing_leaves_no_part(self):
        big = os.path.join(self.work, "big.txt")
        with open(big, "wb") as f:
            f.write(b"a line of the report\r\n" * 1500000)
        for delay in (0.05, 0.1, 0.15, 0.2, 0.3):
            run = self.spawn(big, "-t", "a@example.org", "-server", "127.0.0.1:1", "-queue")
            time.sleep(delay)
            run.send_signal(signal.SIGKILL)
            run.wait()
            if os.path.isdir(os.path.join(self.queue, "tmp")):
                for name in os.listdir(os.path.join(self.queue, "tmp")):
                    os.remove(os.path.join(self.queue, "tmp", name))  # an unfinished write
                for name in self.entries():
                    self.assertIn(b"\r\n" + b"a line of the report\r\n" * 1500000,
                                  self.entry_bytes(name))

    def test_flushes_at_once_send_each_message_once(self):
        port = free_port()
        for flushes in (2, 10):
            with self.subTest(flushes=flushes):
                # One queued run, copied: an id and a Message-ID of each copy's own.
                self.assertEqual(self.send("127.0.0.1:%d" % port, "-q")[0], 14)
                (first,) = self.entries()
                text = self.entry_bytes(first)
                for n in range(1, 50):
                    with open(os.path.join(self.queue, first[:-8] + "%08x" % n), "wb") as f:
                        f.write(re.sub(rb"(\nMessage-ID: <\d+\.)[0-9a-f]{16}", rb"\g<1>%016x" % n,
                                       text))
                with AiosmtpdServer(port=port) as keeper:
                    running = [self.spawn("-flush") for _ in range(flushes)]
                    for proc in running:
                        proc.wait(timeout=120)
                ids = [email.message_from_bytes(m.content)["Message-ID"] for m in keeper.messages]
                self.assertEqual((len(ids), len(set(ids))), (50, 50))
                self.assertEqual(self.entries(), [])
