"""Cases run word for word by both builds: by ctest against the Linux build
and by scripts/test-windows.sh against quib.exe under wine. What they need of
the system (the registry, the temporary folder, standard input as text) is
the platform layer's, so they hold on both."""
import email
import email.policy
import email.utils
import os
import re
import shutil
import tempfile
import time
import unittest

from messages import NO_KEY, server_set_to
from quibtest import (UNDER_WINE, AiosmtpdServer, Registry, host_path, run_quib,
                      temp_file_pattern, temp_files_left)

SENDER = "me@example.org"


def split_message(content):
    header, _, body = content.partition(b"\r\n\r\n")
    return header.split(b"\r\n"), body


class SharedCase(unittest.TestCase):
    def setUp(self):
        self.registry = Registry()
        self.addCleanup(self.registry.cleanup)
        self.folder = tempfile.mkdtemp(prefix="quib-shared-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.tmpdir = os.path.join(self.folder, "tmp")
        os.mkdir(self.tmpdir)

    def file(self, data):
        path = os.path.join(self.folder, "body.txt")
        with open(path, "wb") as f:
            f.write(data)
        return path


class InstalledSettings(SharedCase):
    def test_install_stores_both_values_and_the_next_run_uses_them(self):
        with AiosmtpdServer() as server:
            status, out, _ = run_quib(["-install", server.address, SENDER], registry=self.registry)
            self.assertEqual((status, out),
                             (0, NO_KEY + server_set_to(server.address)))
            self.assertEqual(self.registry.stored("SMTP server"), server.address.encode() + b"\0")
            self.assertEqual(self.registry.stored("Sender"), SENDER.encode() + b"\0")

            path = self.file(b"stored settings\n")
            status, out, _ = run_quib([path, "-t", "ann@example.org"], registry=self.registry)
            self.assertEqual(status, 0, out)
            self.assertEqual(out, ("Sending %s to ann@example.org\nLogin name is %s\n"
                                   % (path, SENDER)).encode())
            (message,) = server.messages
            self.assertEqual((message.mail_from, message.rcpt_tos), (SENDER, ["ann@example.org"]))
            header, body = split_message(message.content)
            self.assertIn(b"From: " + SENDER.encode(), header)
            self.assertEqual(body, b"stored settings\r\n")

    def test_install_replaces_earlier_values(self):
        self.registry.install("old.example", "old@example.org")
        status, _, _ = run_quib(["-install", "new.example", "-q"], registry=self.registry)
        self.assertEqual(status, 0)
        self.assertEqual(self.registry.stored("SMTP server"), b"new.example\0")
        self.assertEqual(self.registry.stored("Sender"), b"-q\0")


class ConsoleInputThroughAPipe(SharedCase):
    def send_console_input(self, stdin):
        """Runs quib on console input; returns its output and the message."""
        self.registry.install("127.0.0.1:1", SENDER)
        with AiosmtpdServer() as server:
            status, out, _ = run_quib(["-", "-t", "ann@example.org", "-server", server.address],
                                      registry=self.registry, stdin=stdin,
                                      env={"TMPDIR": self.tmpdir})
            self.assertEqual(status, 0, out)
            (message,) = server.messages
        return out, message

    def test_input_ends_at_the_first_ctrl_z(self):
        out, message = self.send_console_input(b"one\r\n.two\nthree\x1aafter the end\n\x1amore\n")
        header, body = split_message(message.content)
        self.assertIn(b"Subject: Contents of console input", header)
        self.assertEqual(body, b"one\r\n.two\r\nthree\r\n")
        # The progress line names the temporary file, which is gone by then.
        first = out.split(b"\n")[0].decode()
        match = re.fullmatch(r"Sending (%s) to ann@example\.org" % temp_file_pattern(self.tmpdir),
                             first)
        self.assertIsNotNone(match, first)
        self.assertFalse(os.path.exists(host_path(match.group(1))), first)
        self.assertEqual(temp_files_left(self.tmpdir), [])

    def test_input_that_ends_at_once_sends_the_header_alone(self):
        for stdin in (b"", b"\x1a", b"\x1aafter the end\n"):
            with self.subTest(stdin=stdin):
                _, message = self.send_console_input(stdin)
                header, body = split_message(message.content)
                self.assertEqual(header[-1], b"X-Mailer: <WinNT's Quib ver 1.5>")
                self.assertEqual(body, b"")


class Attachment(SharedCase):
    def test_attachment_and_subject_in_the_command_line_charset(self):
        # Windows hands quib its arguments in the system's code page (Wine's
        # default: windows-1252); Linux in UTF-8.
        charset = "windows-1252" if UNDER_WINE else "utf-8"
        subject, name = "\u00dcbersicht f\u00fcr M\u00e4rz", "\u00dcbersicht.csv"
        data = bytes(range(256)) * 1100  # past one 256 KiB read block
        attachment = os.path.join(self.folder, name)
        with open(attachment, "wb") as f:
            f.write(data)
        self.registry.install("127.0.0.1:1", SENDER)
        with AiosmtpdServer() as server:
            status, out, _ = run_quib([self.file(b"report\n"), "-t", "ann@example.org", "-s", subject,
                                       "-charset", charset, "-attach", attachment, "-server",
                                       server.address], registry=self.registry)
            self.assertEqual(status, 0, out)
            (message,) = server.messages
        parsed = email.message_from_bytes(message.content, policy=email.policy.default)
        self.assertEqual(str(parsed["Subject"]), subject)
        (part,) = parsed.iter_attachments()
        self.assertEqual((part.get_filename(), part.get_payload(decode=True)), (name, data))


class DateLine(SharedCase):
    def test_date_line_carries_the_local_offset_of_the_moment(self):
        path = self.file(b"what time is it\n")
        with AiosmtpdServer() as server:
            before = time.time()
            status, out, _ = run_quib([path, "-t", "ann@example.org", "-server", server.address,
                                       "-f", SENDER, "-q"], registry=self.registry)
            after = time.time()
            self.assertEqual((status, out), (0, b""))
            (message,) = server.messages
        header, _ = split_message(message.content)
        self.assertRegex(header[0], rb"^Date: [A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} "
                                    rb"\d\d:\d\d:\d\d [+-]\d{4}$")
        self.assertEqual(len(header[0]) + 2, 39)
        sent = email.utils.parsedate_to_datetime(header[0][6:].decode())
        # The stated time and offset name the moment of sending: a wrong
        # offset (a daylight bias applied to a zone without daylight time,
        # say) puts it hours away.
        self.assertLessEqual(before - 2, sent.timestamp())
        self.assertLessEqual(sent.timestamp(), after + 1)


if __name__ == "__main__":
    unittest.main()
