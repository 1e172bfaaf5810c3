"""The whole run, quib as a process against aiosmtpd on loopback: message
files and console input, the progress lines, the statuses of the run and
what the server receives."""
import binascii
import email
import email.policy
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from messages import (CONNECTION_REFUSED, NO_KEY, NO_TEMPORARY_FILE, NOT_A_DISK_FILE,
                      recipient_refused)
from quibtest import UNDER_WINE, AiosmtpdServer, Registry, free_port, run_quib

SENDER = "me@example.org"


def wait_until(condition, limit=10.0):
    """The server handles what quib sent after quib has ended: give it time."""
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


# What the settings store says when it finds no stored settings. The tests
# store both settings first; under Wine the stored values may not reach the
# next run, so the run driver's output is what follows this line.
SETTINGS_MISSING = NO_KEY


def driver_output(out):
    return out[len(SETTINGS_MISSING):] if out.startswith(SETTINGS_MISSING) else out


def split_message(content):
    header, _, body = content.partition(b"\r\n\r\n")
    return header.split(b"\r\n"), body


# Kernel attribute files that claim a page of size and hold a few bytes.
SHORT_FILES = ["/sys/kernel/mm/transparent_hugepage/enabled", "/sys/devices/system/cpu/online",
               "/sys/devices/system/cpu/possible", "/sys/kernel/profiling"]


class RunDriverCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Stored settings keep the settings store quiet; every run still names
        # its own server and sender.
        cls.registry = Registry()
        status, _, _ = run_quib(["-install", "127.0.0.1:1", SENDER], registry=cls.registry)
        assert status == 0

    @classmethod
    def tearDownClass(cls):
        cls.registry.cleanup()

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="quib-drv-e2e-")
        self.tmpdir = os.path.join(self.folder, "tmp")
        os.mkdir(self.tmpdir)

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def file(self, data, name="body.txt"):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def quib(self, args, server=None, stdin=b"", env=None, flags=()):
        """Runs quib; flags ("-q", "-mime") go last, since each passes over
        the argument after it."""
        where = server.address if server else "127.0.0.1:%d" % free_port()
        full_env = {"TMPDIR": self.tmpdir}
        full_env.update(env or {})
        status, out, err = run_quib(list(args) + ["-server", where, "-f", SENDER] + list(flags),
                                    registry=self.registry, stdin=stdin, env=full_env)
        return status, driver_output(out), err

    def assertNoTemporaryFiles(self):
        self.assertEqual(os.listdir(self.tmpdir), [])


class MessageFiles(RunDriverCase):
    BODY_LINES = [b"first line", b".starts with a dot", b".", b"..two dots", b"", b"last  "]

    def test_lf_and_crlf_files_arrive_with_crlf_line_ends(self):
        for line_end in (b"\n", b"\r\n"):
            with self.subTest(line_end=line_end), AiosmtpdServer() as server:
                path = self.file(line_end.join(self.BODY_LINES) + line_end)
                status, out, _ = self.quib([path, "-t", "ann@example.org", "-s", "Hello"], server)
                self.assertEqual(status, 0, out)
                self.assertEqual(out, ("Sending %s to ann@example.org\nSubject:Hello\n"
                                       "Login name is %s\n" % (path, SENDER)).encode())
                (message,) = server.messages
                self.assertEqual(message.mail_from, SENDER)
                self.assertEqual(message.rcpt_tos, ["ann@example.org"])
                header, body = split_message(message.content)
                self.assertRegex(header[0], rb"^Date: ")
                self.assertIn(b"Subject: Hello", header)
                self.assertIn(b"To: ann@example.org", header)
                self.assertEqual(body, b"\r\n".join(self.BODY_LINES) + b"\r\n")

    def test_plain_body_ends_at_its_first_nul(self):
        with AiosmtpdServer() as server:
            path = self.file(b"kept\r\nalso kept\0dropped\r\n")
            status, _, _ = self.quib([path, "-t", "ann@example.org"], server)
            self.assertEqual(status, 0)
            _, body = split_message(server.messages[0].content)
            self.assertEqual(body, b"kept\r\nalso kept\r\n")

    @unittest.skipIf(UNDER_WINE, "the files of /sys are Linux's")
    def test_file_shorter_than_its_size_is_mailed_to_its_end(self):
        # Kernel attribute files claim a page of size and hold a few bytes.
        for name in SHORT_FILES:
            try:
                with open(name, "rb") as f:
                    content = f.read()
                if len(content) < os.stat(name).st_size:
                    break
            except OSError:
                pass
        else:
            self.skipTest("no file here that ends before its size")
        for mime in ([], ["-mime"]):
            with self.subTest(mime=mime), AiosmtpdServer() as server:
                status, out, _ = self.quib([name, "-t", "ann@example.org"], server, flags=mime)
                self.assertEqual(status, 0, out)
                _, body = split_message(server.messages[0].content)
                decoded = binascii.a2b_qp(body) if mime else body
                self.assertEqual(decoded, content.replace(b"\n", b"\r\n"))

    def test_empty_file_sends_the_header_alone(self):
        for mime in ([], ["-mime"]):
            with self.subTest(mime=mime), AiosmtpdServer() as server:
                path = self.file(b"")
                status, _, _ = self.quib([path, "-t", "ann@example.org"], server, flags=mime)
                self.assertEqual(status, 0)
                header, body = split_message(server.messages[0].content)
                self.assertEqual(header[-1], b"X-Mailer: <WinNT's Quib ver 1.5>")
                self.assertEqual(body, b"")

    def test_mime_body_decodes_to_the_original(self):
        original = (b"caf\xe9 cr\xe8me = x=y\n"
                    b"blanks at the end   \n"
                    b"tab at the end\t\r\n"
                    + b"long " * 60 + b"\n"
                    + bytes(range(256)) + b"\n"
                    + b"NUL\0inside\n"
                    + b"=" * 80 + b"\n"
                    + b".dot\nno final line end")
        with AiosmtpdServer() as server:
            path = self.file(original)
            status, out, _ = self.quib([path, "-t", "ann@example.org"], server, flags=["-mime"])
            self.assertEqual(status, 0, out)
            header, body = split_message(server.messages[0].content)
            self.assertIn(b"Content-Transfer-Encoding: quoted-printable", header)
            for line in body.split(b"\r\n"):
                self.assertLessEqual(len(line), 76)
                self.assertFalse(line.endswith((b" ", b"\t")), line)
            decoded = binascii.a2b_qp(body).replace(b"\r\n", b"\n")
            # The transmission ends a body without a final line end with one.
            self.assertEqual(decoded.rstrip(b"\n"), original.replace(b"\r", b""))


class Attachments(RunDriverCase):
    """Messages with attachments as two readers no one here wrote see them:
    Python's email package and munpack."""

    def deliver(self, args, stdin=b"", flags=()):
        with AiosmtpdServer() as server:
            status, out, _ = self.quib(list(args) + ["-t", "ann@example.org"], server, stdin,
                                       flags=flags)
            self.assertEqual(status, 0, out)
            (message,) = server.messages
        parsed = email.message_from_bytes(message.content, policy=email.policy.default)
        self.assertEqual(parsed.defects, [])
        return message.content, parsed, list(parsed.iter_parts())

    def test_utf8_html_report_with_three_attachments_arrives_as_sent(self):
        files = {"Q3.csv": b"region,total\nNord,12\n", "report.pdf": os.urandom(600 * 1024 + 1),
                 "\u00dcbersicht M\u00e4rz.bin": bytes(range(256)) * 3, "empty.log": b""}
        args = [self.file("<p>Gr\u00fc\u00dfe aus K\u00f6ln</p>\n".encode()), "-html",
                "-s", "\u00dcbersicht f\u00fcr M\u00e4rz", "-charset", "utf-8"]
        for name, data in files.items():
            args += ["-attach", self.file(data, name)]
        content, parsed, parts = self.deliver(args)
        self.assertEqual(str(parsed["Subject"]), "\u00dcbersicht f\u00fcr M\u00e4rz")
        self.assertEqual((parts[0].get_content_type(), parts[0].get_content_charset()),
                         ("text/html", "utf-8"))
        self.assertEqual(parts[0].get_content(), "<p>Gr\u00fc\u00dfe aus K\u00f6ln</p>\r\n")
        self.assertEqual([(p.get_filename(), p.get_payload(decode=True)) for p in parts[1:]],
                         list(files.items()))
        self.assertEqual(parts[2].get_content_type(), "application/pdf")
        header, _, rest = content.partition(b"\r\n\r\n")
        self.assertTrue(all(len(line) <= 78 for line in header.split(b"\r\n")))
        self.assertTrue(all(len(line) <= 76 for line in rest.split(b"\r\n")))
        # munpack writes each attachment to a file (it ignores RFC 2231 names),
        # and the text before it to a .desc file.
        unpacked = os.path.join(self.folder, "unpacked")
        os.mkdir(unpacked)
        with open(os.path.join(self.folder, "message.eml"), "wb") as f:
            f.write(content)
        subprocess.run(["munpack", "-q", "-C", unpacked, os.path.join(self.folder, "message.eml")],
                       check=True, stdout=subprocess.DEVNULL)
        found = []
        for name in os.listdir(unpacked):
            with open(os.path.join(unpacked, name), "rb") as f:
                found += [] if name.endswith(".desc") else [hashlib.sha256(f.read()).hexdigest()]
        self.assertEqual(sorted(found), sorted(hashlib.sha256(d).hexdigest() for d in files.values()))

    def test_file_names_read_back_by_two_readers(self):
        # reformime (Debian's maildrop) and Python's email, each name as name=
        # on Content-Type and filename= on Content-Disposition.
        for name in ('a "b".csv', "xy" + "\u00e4" * 30 + ".txt", "plain name.pdf"):
            with self.subTest(name):
                content, _, parts = self.deliver([self.file(b"body\n"), "-attach",
                                                  self.file(b"data", name)])
                self.assertEqual([h.defects for h in parts[1].values()], [()] * 3)
                self.assertEqual((parts[1].get_param("name"), parts[1].get_filename()),
                                 (name, name))
                info = subprocess.run(["reformime", "-i"], input=content, check=True,
                                      stdout=subprocess.PIPE).stdout.decode().split("\n\n")[2]
                self.assertIn("\ncontent-name: %s\n" % name, info)
                self.assertIn("\ncontent-disposition-filename: %s\n" % name, info)

    def test_body_keeps_its_rules_beside_attachments(self):
        attachment = os.urandom(2 * 256 * 1024 + 100)
        lines = (b"x" * 998 + b"\n") * 300 + b".dot =_quib_00000000\nlast\r"
        cases = [  # (body, console input, flags, the body part's bytes, its boundary)
            (b"", None, [], b"", "=_quib_00000000"),
            (lines, None, [], lines.replace(b"\n", b"\r\n").replace(b"\r\r", b"\r") + b"\n",
             "=_quib_00000001"),
            (b"kept\0dropped", None, [], b"kept", "=_quib_00000000"),
            (None, b"from the console\n", [], b"from the console\r\n", "=_quib_00000000"),
            (b"caf\xe9\0tail", None, ["-mime"], b"caf\xe9\0tail", "=_quib_00000000"),
        ]
        for body, stdin, flags, expected, boundary in cases:
            with self.subTest(body=(body or b"")[:20], stdin=stdin, flags=flags):
                name = "-" if body is None else self.file(body)
                attached = self.file(attachment, "a.bin")
                _, parsed, parts = self.deliver([name, "-attach", attached], stdin or b"", flags)
                self.assertEqual(parsed.get_boundary(), boundary)
                self.assertEqual(parts[0].get_payload(decode=True), expected)
                self.assertEqual(parts[1].get_payload(decode=True), attachment)


class Addresses(RunDriverCase):
    def test_to_cc_and_bcc(self):
        with AiosmtpdServer() as server:
            path = self.file(b"hello\n")
            status, out, _ = self.quib([path, "-t", "ann@example.org", "-c", "bob@example.org (Bob)",
                                        "-b", "carol@example.org"], server)
            self.assertEqual(status, 0)
            self.assertIn(b" to ann@example.org,bob@example.org,carol@example.org\n", out)
            (message,) = server.messages
            self.assertEqual(message.rcpt_tos, ["ann@example.org", "bob@example.org", "carol@example.org"])
            header, _ = split_message(message.content)
            self.assertIn(b"To: ann@example.org", header)
            self.assertIn(b"Cc: bob@example.org (Bob)", header)
            self.assertFalse([line for line in header if line.lower().startswith(b"bcc")])
            self.assertNotIn(b"carol", message.content)

    def test_no_visible_recipients_is_unspecified(self):
        path = self.file(b"hello\n")
        status, out, _ = self.quib([path])  # nobody listens: the run still tries
        self.assertEqual(status, -1)
        self.assertEqual(out, ("Sending %s to <unspecified>\nLogin name is %s\n"
                               % (path, SENDER)).encode() + CONNECTION_REFUSED)

    def test_penguin_body_brings_its_own_header_lines(self):
        with AiosmtpdServer() as server:
            path = self.file(b"Subject: my own\r\nX-Own: yes\r\n\r\nthe body\r\n")
            status, out, _ = self.quib([path, "-t", "ann@example.org", "-penguin"], server)
            self.assertEqual(status, 0, out)
            header, body = split_message(server.messages[0].content)
            self.assertIn(b"Subject: my own", header)
            self.assertIn(b"X-Own: yes", header)
            self.assertEqual(len([line for line in header if line.startswith(b"Subject:")]), 1)
            self.assertEqual(body, b"the body\r\n")

    def test_from_address_with_sender_and_reply_to(self):
        with AiosmtpdServer() as server:
            path = self.file(b"hello\n")
            status, _, _ = self.quib([path, "-t", "ann@example.org", "-i", "boss@example.org"], server)
            self.assertEqual(status, 0)
            message = server.messages[0]
            self.assertEqual(message.mail_from, SENDER)
            header, _ = split_message(message.content)
            self.assertIn(b"From: boss@example.org", header)
            self.assertIn(b"Sender: " + SENDER.encode(), header)
            self.assertIn(b"Reply-to: " + SENDER.encode(), header)


class ConsoleInput(RunDriverCase):
    def test_input_ends_at_the_first_ctrl_z(self):
        with AiosmtpdServer() as server:
            stdin = b"one\r\n.two\nthree\x1aafter the end\n\x1amore\n"
            status, out, _ = self.quib(["-", "-t", "ann@example.org"], server, stdin=stdin)
            self.assertEqual(status, 0, out)
            lines = out.split(b"\n")
            self.assertRegex(lines[0], rb"^Sending " + re.escape(self.tmpdir.encode()) +
                             rb"/qbx[^/]* to ann@example.org$")
            header, body = split_message(server.messages[0].content)
            self.assertIn(b"Subject: Contents of console input", header)
            self.assertEqual(body, b"one\r\n.two\r\nthree\r\n")
        self.assertNoTemporaryFiles()

    def test_no_temporary_file_stays_behind(self):
        cases = [
            ("sent", lambda: AiosmtpdServer(), 0),
            ("refused", lambda: AiosmtpdServer(refuse=["ann@example.org"]), -1),
            ("nobody listening", lambda: None, -1),
        ]
        for name, make_server, expected in cases:
            with self.subTest(name):
                server = make_server()
                if server:
                    with server:
                        status, _, _ = self.quib(["-", "-t", "ann@example.org"], server, stdin=b"x\n")
                else:
                    status, _, _ = self.quib(["-", "-t", "ann@example.org"], stdin=b"x\n")
                self.assertEqual(status, expected)
                self.assertNoTemporaryFiles()

    def test_missing_temporary_folder_is_status_13(self):
        missing = os.path.join(self.folder, "no such folder")
        status, out, _ = self.quib(["-", "-t", "ann@example.org"], stdin=b"x\n", env={"TMPDIR": missing})
        self.assertEqual(status, 13)
        self.assertEqual(out, NO_TEMPORARY_FILE)
        self.assertFalse(os.path.exists(missing))


class Refusals(RunDriverCase):
    def test_refused_recipient(self):
        for quiet in ([], ["-q"]):
            with self.subTest(quiet=quiet), AiosmtpdServer(refuse=["bob@example.org"]) as server:
                path = self.file(b"hello\n")
                status, out, _ = self.quib([path, "-t", "ann@example.org,bob@example.org"], server,
                                         flags=quiet)
                self.assertEqual(status, -1)
                self.assertEqual(server.messages, [])
                self.assertTrue(wait_until(lambda: server.quits == 1))
                expected = ("Sending %s to ann@example.org,bob@example.org\nLogin name is %s\n"
                            % (path, SENDER)).encode() + recipient_refused("bob@example.org")
                self.assertEqual(out, b"" if quiet else expected)

    def test_nobody_listening(self):
        path = self.file(b"hello\n")
        for quiet in ([], ["-q"]):
            with self.subTest(quiet=quiet):
                status, out, _ = self.quib([path, "-t", "ann@example.org"], flags=quiet)
                self.assertEqual(status, -1)
                self.assertEqual(out, b"" if quiet else (
                    "Sending %s to ann@example.org\nLogin name is %s\n"
                    % (path, SENDER)).encode() + CONNECTION_REFUSED)


class RunLog(RunDriverCase):
    LINE = rb" *\d+ ms [*<>] [ -~]*"

    def test_runs_at_once_append_whole_lines_to_one_log(self):
        log = os.path.join(self.folder, "quib.log")
        path = self.file(b"hello\n")
        with AiosmtpdServer() as server, ThreadPoolExecutor(2) as pool:
            runs = [pool.submit(self.quib, [path, "-t", "ann@example.org", "-log", log], server,
                                flags=["-q"]) for _ in range(2)]
            self.assertEqual([run.result()[:2] for run in runs], [(0, b"")] * 2)
            with open(log, "rb") as f:
                first = f.read()
            if not UNDER_WINE:
                self.assertEqual(os.stat(log).st_mode & 0o777, 0o600)
            self.assertEqual(self.quib([path, "-t", "bob@example.org", "-log", log], server,
                                       flags=["-q"])[0], 0)
        with open(log, "rb") as f:
            whole = f.read()
        self.assertTrue(whole.startswith(first), "the log was truncated")
        lines = whole.splitlines()
        self.assertEqual([line for line in lines if not re.fullmatch(self.LINE, line)], [])
        self.assertEqual(sum(b"> QUIT" in line for line in lines), 3)
        closing = [line for line in lines if line.endswith(b"* exit status 0: the server accepted "
                                                           b"the message")]
        self.assertEqual(len(closing), 3)


class FilesThatCannotBeMailed(RunDriverCase):
    def test_devices_and_pipes_are_status_4(self):
        fifo = os.path.join(self.folder, "fifo")
        os.mkfifo(fifo)
        for name in ("/dev/null", fifo):
            for quiet in ([], ["-q"]):
                with self.subTest(name=name, quiet=quiet):
                    status, out, _ = self.quib([name, "-t", "ann@example.org"], flags=quiet)
                    self.assertEqual(status, 4)
                    self.assertEqual(out, b"" if quiet else NOT_A_DISK_FILE)

    def test_file_larger_than_memory_is_status_5(self):
        try:
            with open("/proc/sys/vm/overcommit_memory") as f:
                overcommit = f.read().strip()
        except OSError:
            overcommit = ""
        if overcommit not in ("0", "2"):
            self.skipTest("memory overcommit would let the allocation succeed")
        path = os.path.join(self.folder, "huge")
        try:
            with open(path, "wb") as f:
                f.truncate(1 << 43)  # 8 TiB, sparse
        except OSError:
            self.skipTest("this file system takes no 8 TiB file")
        env = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":allocator_may_return_null=1"}
        for mime in ([], ["-mime"]):
            with self.subTest(mime=mime):
                status, out, _ = self.quib([path, "-t", "ann@example.org"], env=env, flags=mime)
                self.assertEqual(status, 5)
                self.assertEqual(out, ("error reading %s, aborting\n" % path).encode())


if __name__ == "__main__":
    unittest.main()
