"""Bad input from every side: values of 10,000 characters, unclosed comments
and quotes, line breaks in header values, odd registry files, odd message
files and temporary folders. Each ends with a clear message and its status,
and nothing is sent that should not be.

Where something is sent the server is aiosmtpd, or, for lines longer than
SMTP allows (which aiosmtpd rightly refuses), the scripted server of
fault_server.py, which takes any line and keeps every byte.
"""
import binascii
import ctypes
import email
import email.policy
import os
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from fault_server import DATA, GREETING, HELO, MAIL, QUIT, RCPT, TEXT, WHOLE_DIALOGUE, FaultServer
from messages import (CANT_RESOLVE, CANT_SET_SERVER, DATA_REFUSED, NO_KEY, NO_SERVER_VALUE,
                      NO_TEMPORARY_FILE, NOT_A_DISK_FILE, REFUSED_12, does_not_exist,
                      overlong_address, server_set_to)
from quibtest import QUIB, RUNNER, SHORT_TIMEOUTS, AiosmtpdServer, Registry, run_quib

SENDER = "me@example.org"
HUGE = 10000
# Entries other than a regular file, for the registry cases.
FOLDER, PIPE, LINK = object(), object(), object()


def huge_address(fill):
    return fill * (HUGE - len("@example.org")) + "@example.org"


class BadInputCase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quib-bad-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.tmpdir = os.path.join(self.work, "tmp")
        os.mkdir(self.tmpdir)
        self.registry = Registry()
        self.addCleanup(self.registry.cleanup)
        self.registry.install("127.0.0.1:1", SENDER)
        self.body = self.file("body.txt", b"Hello.\r\n")

    def file(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def quib(self, args, server=None, stdin=b"", env=None, registry=None):
        full_env = {"TMPDIR": self.tmpdir}
        full_env.update(env or {})
        if server is not None:
            args = list(args) + ["-server", server.address]
        return run_quib(args, registry=registry or self.registry, stdin=stdin, env=full_env,
                        timeout=90)[:2]

    def header_of(self, content):
        return content.partition(b"\r\n\r\n")[0]


class LongValues(BadInputCase):
    """Values of 10,000 characters: sent whole, or refused cleanly."""

    def test_sent_whole_or_refused_before_any_traffic(self):
        # (option, value, status, what the server gets or what quib says)
        cases = [
            ("-s", "s" * HUGE, 0, b"\r\nSubject: =?utf-8?Q?sss"),
            ("-b", huge_address("b"), 0, b"RCPT To: <" + huge_address("b").encode() + b">\r\n"),
            ("-i", huge_address("i"), 1, overlong_address("From")),
            ("-f", huge_address("f"), 1, overlong_address("From")),
            ("-t", huge_address("t"), 1, overlong_address("To")),
            ("-c", huge_address("c"), 1, overlong_address("Cc")),
        ]
        for option, value, expected_status, expected in cases:
            script = GREETING + HELO + MAIL + RCPT * (1 + (option == "-b")) + DATA + TEXT + QUIT
            with self.subTest(option), FaultServer(script) as server:
                args = [self.body, "-t", "ann@example.org", option, value]
                status, out = self.quib(args, server)
                self.assertEqual(status, expected_status, out[-300:])
                self.assertIn(expected, server.received if status == 0 else out)
                if status != 0:
                    self.assertEqual(server.received, b"")
                if option == "-b":
                    self.assertNotIn(b"bbbbbbbbbb", self.header_of(server.received.split(
                        b"DATA\r\n", 1)[1]))

    def test_long_header_lines_are_folded_for_a_real_server(self):
        addresses = ["user%02d@example.org" % i for i in range(60)]
        words = " ".join("word%d" % i for i in range(200))
        # (option, value, further arguments)
        cases = [("-t", ", ".join(addresses), []), ("-c", ",".join(addresses), []),
                 ("-s", words, []), ("-s", words, ["-charset", "utf-8"]),
                 ("-s", "s" * HUGE, []), ("-s", "\u00e4" * 700, [])]
        for option, value, more in cases:
            with self.subTest(option=option, value=value[:30], more=more), \
                    AiosmtpdServer() as server:
                status, out = self.quib([self.body, "-t", "ann@example.org", option, value] + more,
                                        server)
                self.assertEqual(status, 0, out[-300:])
                (message,) = server.messages
                self.assertLessEqual(max(map(len, self.header_of(message.content).split(b"\r\n"))),
                                     998)
                parsed = email.message_from_bytes(message.content, policy=email.policy.default)
                field = {"-t": "To", "-c": "Cc", "-s": "Subject"}[option]
                self.assertEqual(parsed.defects, [])
                self.assertEqual(parsed[field].defects, ())
                if option == "-s":
                    self.assertEqual(str(parsed[field]), value)
                else:
                    self.assertEqual([a.addr_spec for a in parsed[field].addresses], addresses)

    def test_many_recipients(self):
        blind = ",".join("u%d@example.org" % i for i in range(600))
        self.assertGreater(len(blind), HUGE - 3000)
        with AiosmtpdServer() as server:
            status, out = self.quib([self.body, "-t", "ann@example.org", "-b", blind], server)
            self.assertEqual(status, 0, out[-300:])
            (message,) = server.messages
            self.assertEqual(message.rcpt_tos, ["ann@example.org"] + blind.split(","))

    def test_long_message_file_name(self):
        name = os.path.join(self.work, "n" * HUGE)
        status, out = self.quib([name, "-t", "a@x"])
        self.assertEqual((status, out), (2, does_not_exist(name)))

    def test_long_server_name(self):
        for length in (300, HUGE):
            with self.subTest(length):
                status, out = self.quib([self.body, "-t", "a@x", "-server", "s" * length])
                self.assertEqual(status, 1)
                self.assertEqual(out, b"-server: the server name is longer than 255 characters\n")

    def test_long_body_lines_go_quoted_printable(self):
        long_line = b"x" * 2250
        # (body, further arguments, the charset declared; None: sent as it is)
        cases = [(long_line + b"\n", [], "us-ascii"),
                 (("\u00e4" * 1000 + "\n").encode(), [], "utf-8"),
                 (b"\xe4" * 1000 + b"\n", [], "iso-8859-1"),
                 (long_line + b"\n", ["-charset", "windows-1252"], "windows-1252"),
                 ((b"y" * (1 << 20) + b"\n") * 2, [], "us-ascii"),
                 ((b"y" * 998 + b"\n") * 2, [], None)]
        for body, more, charset in cases:
            with self.subTest(body=body[:10], more=more), AiosmtpdServer() as server:
                path = self.file("report.txt", body)
                status, out = self.quib([path, "-t", "ann@example.org", "-debug"] + more, server)
                self.assertEqual(status, 0, out[-300:])
                (message,) = server.messages
                self.assertLessEqual(max(map(len, message.content.split(b"\r\n"))), 998)
                parsed = email.message_from_bytes(message.content, policy=email.policy.default)
                self.assertEqual(parsed.defects, [])
                self.assertEqual(parsed.get_content_charset(), charset)
                self.assertEqual(parsed.get_payload(decode=True), body.replace(b"\n", b"\r\n"))


class UnclosedCommentsAndQuotes(BadInputCase):
    """What RCPT gets from lists as typed: unclosed comments and quotes, names
    before addresses in angle brackets, commas inside quotes."""
    # (to, cc, bcc, envelope list as printed, recipients the server gets)
    CASES = [
        ("Ann Smith <box@example.test>", "", "", "AnnSmith<box@example.test>",
         ["box@example.test"]),
        ('"M\u00fcller, \u00c4nne" <box@example.test>', "", "Bob <bob@x.org>",
         '"M\u00fcller,\u00c4nne"<box@example.test>,Bob<bob@x.org>',
         ["box@example.test", "bob@x.org"]),
        ('"O\'Brien, Pat" <p@example.test>', "ann@x.org (Ann, A.)", "", '"O,ann@x.org',
         ["p@example.test", "ann@x.org"]),
        ("ann@x.org (Ann", "", "", "ann@x.org", ["ann@x.org"]),
        ("ann@x.org'", "", "", "ann@x.org", ["ann@x.org"]),
        ("ann@x.org, 'Bob bob@x.org", "", "", "ann@x.org,", ["ann@x.org"]),
        ("ann@x.org", "(", "'", "ann@x.org,,", ["ann@x.org"]),
        ("ann@x.org", "carol@x.org (C", "dan@x.org 'D", "ann@x.org,carol@x.org,dan@x.org",
         ["ann@x.org", "carol@x.org", "dan@x.org"]),
    ]

    def test_the_rest_of_the_list_is_dropped(self):
        for to, cc, bcc, listed, received in self.CASES:
            with self.subTest(to=to, cc=cc, bcc=bcc), AiosmtpdServer() as server:
                args = [self.body, "-t", to] + (["-c", cc] if cc else []) + (["-b", bcc] if bcc else [])
                status, out = self.quib(args, server)
                self.assertEqual(status, 0, out)
                self.assertIn((" to %s\n" % listed).encode(), out)
                (message,) = server.messages
                self.assertEqual(message.rcpt_tos, received)
                self.assertIn(b"\r\nTo: " + to.encode() + b"\r\n", message.content)
            # Byte for byte: the RCPT commands as a scripted server reads them.
            with FaultServer(GREETING + HELO + MAIL + RCPT * len(received) + DATA + TEXT
                             + QUIT) as server:
                self.assertEqual(self.quib(args, server)[0], 0)
                self.assertIn(b"".join(b"RCPT To: <%s>\r\n" % r.encode() for r in received),
                              server.received)

    def test_nobody_left(self):
        with AiosmtpdServer() as server:
            status, out = self.quib([self.body, "-t", "'Ann ann@x.org"], server)
            self.assertEqual(status, -1)
            self.assertTrue(out.endswith(b" to <unspecified>\nLogin name is %s\n"
                                         % SENDER.encode() + DATA_REFUSED), out)
            self.assertEqual(server.messages, [])


class LineBreaks(BadInputCase):
    INJECTED = "\r\nX-Injected: yes\nBcc: evil@example.org\rX-Too: 1"

    def fields_of(self, content):
        return email.message_from_bytes(content, policy=email.policy.compat32)

    def test_header_values_are_folded(self):
        named = self.file("name" + self.INJECTED.replace("\r", "") + ".txt", b"Hello.\r\n")
        cases = [("-s", ["-s", "Hi" + self.INJECTED]),
                 ("-i", ["-i", "boss@example.org" + self.INJECTED]),
                 ("file name", [])]
        for name, extra in cases:
            with self.subTest(name), AiosmtpdServer() as server:
                path = named if name == "file name" else self.body
                status, out = self.quib([path, "-t", "ann@example.org"] + extra, server)
                self.assertEqual(status, 0, out)
                (message,) = server.messages
                self.assertEqual(message.rcpt_tos, ["ann@example.org"])
                header = self.header_of(message.content)
                for line in header.split(b"\r\n"):
                    self.assertNotRegex(line, rb"^(X-Injected|Bcc|X-Too):")
                    self.assertNotIn(b"\r", line)
                    self.assertNotIn(b"\n", line)
                fields = self.fields_of(message.content)
                self.assertIsNone(fields["X-Injected"])
                self.assertIsNone(fields["Bcc"])

    def test_line_break_in_the_server_name(self):
        status, out = self.quib([self.body, "-t", "a@x", "-server", "127.0.0.1\r\nRSET"])
        self.assertEqual(status, -1)
        self.assertTrue(out.endswith(CANT_RESOLVE), out)


class OddRegistryFiles(BadInputCase):
    """Entries in the Linux build's settings folder that -install never writes."""

    SERVER = b"mail.example\0"

    # (what; the entry "SMTP%20server<suffix>" in place of the value's file
    #  and what it is: bytes, FOLDER, PIPE or LINK (to a file holding SERVER);
    #  what quib prints first; status). Status 2 ("-t does not exist") shows
    #  that both settings were usable.
    CASES = [
        ("the value's file", ".1", SERVER, b"", 2),
        ("another type's file", ".3", SERVER, NO_SERVER_VALUE, 12),
        ("no suffix", "", SERVER, NO_SERVER_VALUE, 12),
        ("a folder", ".1", FOLDER, NO_SERVER_VALUE, 12),
        ("a pipe", ".1", PIPE, NO_SERVER_VALUE, 12),
        ("a link to a good file", ".1", LINK, NO_SERVER_VALUE, 12),
    ]

    def put(self, registry, suffix, content):
        """Replaces the SMTP server value with the entry."""
        os.remove(registry.value_file("SMTP server"))
        path = os.path.join(registry.key_dir(), "SMTP%20server" + suffix)
        if content is FOLDER:
            os.mkdir(path)
        elif content is PIPE:
            os.mkfifo(path)
        elif content is LINK:
            os.symlink(self.file("good server", self.SERVER), path)
        else:
            with open(path, "wb") as f:
                f.write(content)

    def test_server_value(self):
        for name, suffix, content, first, status in self.CASES:
            with self.subTest(name):
                registry = Registry()
                self.addCleanup(registry.cleanup)
                registry.install("x", SENDER)
                self.put(registry, suffix, content)
                got, out = self.quib(["-t", "a@x"], registry=registry)
                self.assertEqual(got, status, out)
                self.assertEqual(out, first + (REFUSED_12 if status == 12 else does_not_exist("-t")))

    def test_install_leaves_other_entries_alone(self):
        self.put(self.registry, ".3", b"old\0")
        got = self.quib(["-install", "mail.example", "you@x"])
        self.assertEqual(got, (0, NO_SERVER_VALUE + server_set_to("mail.example")))
        self.assertEqual(self.registry.stored("SMTP server"), b"mail.example\0")
        self.assertEqual(sorted(os.listdir(self.registry.key_dir())),
                         ["SMTP%20server.1", "SMTP%20server.3", "Sender.1"])

    def test_key_is_a_plain_file(self):
        registry = Registry()
        self.addCleanup(registry.cleanup)
        os.makedirs(os.path.dirname(registry.key_dir()))
        with open(registry.key_dir(), "wb") as f:
            f.write(b"not a folder")
        status, out = self.quib(["-t", "a@x"], registry=registry)
        self.assertEqual((status, out), (12, NO_KEY + REFUSED_12))

    def test_value_that_cannot_be_replaced(self):
        # A folder in the way of the server's file: nothing is written, the
        # sender is kept.
        registry = Registry()
        self.addCleanup(registry.cleanup)
        registry.store("Sender", SENDER)
        os.makedirs(os.path.join(registry.value_file("SMTP server"), "in the way"))
        status, out = self.quib(["-install", "mail.example", "you@x"], registry=registry)
        self.assertEqual(out, NO_SERVER_VALUE + CANT_SET_SERVER + does_not_exist("-install"))
        self.assertEqual(status, 2)
        self.assertEqual(registry.stored("Sender"), SENDER.encode() + b"\0")
        self.assertEqual(sorted(os.listdir(registry.key_dir())), ["SMTP%20server.1", "Sender.1"])


class OddFilesAndFolders(BadInputCase):
    def test_link_to_an_endless_device(self):
        link = os.path.join(self.work, "zero")
        os.symlink("/dev/zero", link)
        status, out = self.quib([link, "-t", "a@x"])
        self.assertEqual((status, out), (4, NOT_A_DISK_FILE))

    def test_socket_is_no_message_file(self):
        path = os.path.join(self.work, "sock")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(path)
        status, out = self.quib([path, "-t", "a@x"])
        self.assertEqual((status, out), (2, does_not_exist(path)))

    def test_temporary_folder_unusable(self):
        plain = self.file("plain", b"x")
        for name, folder in [("a plain file", plain), ("below a plain file", plain + "/tmp"),
                             ("a name of 5,000 characters", "/" + "t" * 5000)]:
            with self.subTest(name):
                status, out = self.quib(["-", "-t", "a@x"], stdin=b"text\n", env={"TMPDIR": folder})
                self.assertEqual((status, out), (13, NO_TEMPORARY_FILE))

    def test_console_input_closed(self):
        with AiosmtpdServer() as server:
            registry_env = dict(os.environ, QUIB_REGISTRY=self.registry.path, TMPDIR=self.tmpdir,
                                GENSOCK_TIMEOUT="3")
            proc = subprocess.run(RUNNER + [QUIB, "-", "-t", "ann@example.org", "-server",
                                            server.address, "-q"],
                                  stdin=subprocess.DEVNULL, env=registry_env, timeout=90,
                                  preexec_fn=lambda: os.close(0))
            self.assertEqual(proc.returncode, 0)
            self.assertEqual(len(server.messages), 1)
            self.assertTrue(server.messages[0].content.endswith(b"\r\n\r\n"))
        self.assertEqual(os.listdir(self.tmpdir), [])

    def test_mime_worst_case_body(self):
        # Every byte encoded, soft breaks after every 24: the most the
        # encoding can grow.
        original = b"\xff" * (1 << 20) + b"\n" + bytes(range(256)) * 64
        path = self.file("binary.bin", original)
        with AiosmtpdServer() as server:
            status, out = self.quib([path, "-t", "ann@example.org", "-mime", "x"], server)
            self.assertEqual(status, 0, out)
            body = server.messages[0].content.partition(b"\r\n\r\n")[2]
        self.assertEqual(binascii.a2b_qp(body).replace(b"\r\n", b"\n").rstrip(b"\n"),
                         original.replace(b"\r", b"").rstrip(b"\n"))


class HostileEnvironment(BadInputCase):
    """Standard descriptors, signals, temporary folders and users that a
    careless caller or another user of the machine may bring."""

    def start(self, args, **popen):
        env = dict(os.environ, QUIB_REGISTRY=self.registry.path, TMPDIR=self.tmpdir,
                   **SHORT_TIMEOUTS)
        return subprocess.Popen(RUNNER + [QUIB] + args, env=env, **popen)

    def wait_for_temp_file(self):
        for _ in range(500):
            names = os.listdir(self.tmpdir)
            if names:
                return os.path.join(self.tmpdir, names[0])
            time.sleep(0.01)
        self.fail("no temporary file appeared")

    def test_console_input_that_fails_to_read(self):
        with AiosmtpdServer() as server:
            fd = os.open(self.work, os.O_RDONLY)  # a folder: reading it fails
            self.addCleanup(os.close, fd)
            proc = self.start(["-", "-t", "a@x", "-server", server.address], stdin=fd,
                              stdout=subprocess.PIPE)
            out = proc.communicate(timeout=60)[0]
        self.assertEqual(proc.returncode, 13)
        self.assertRegex(out, rb"\Aerror opening temporary file .*/qbx\w+\.tmp, aborting\n\Z")
        self.assertEqual((server.messages, os.listdir(self.tmpdir)), ([], []))

    def test_swapped_temporary_file_changes_nothing(self):
        os.chmod(self.tmpdir, 0o777)  # shared, without the sticky bit
        other = self.file("other", b"not what was typed\n")
        with AiosmtpdServer() as server:
            proc = self.start(["-", "-t", "a@x", "-server", server.address, "-q"],
                              stdin=subprocess.PIPE)
            proc.stdin.write(b"typed\n")
            proc.stdin.flush()
            name = self.wait_for_temp_file()
            os.unlink(name)
            os.symlink(other, name)
            proc.stdin.close()
            self.assertEqual(proc.wait(60), 0)
            self.assertTrue(server.messages[0].content.endswith(b"\r\n\r\ntyped\r\n"))

    def test_signal_during_capture_leaves_nothing(self):
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
                       signal.SIGUSR1, signal.SIGALRM, signal.SIGRTMIN + 1):
            with self.subTest(signal=number):
                proc = self.start(["-", "-t", "a@x", "-q"], stdin=subprocess.PIPE)
                proc.stdin.write(b"half a message")
                proc.stdin.flush()
                self.wait_for_temp_file()
                proc.send_signal(number)
                self.assertEqual(proc.wait(60), -number)
                proc.stdin.close()
                self.assertEqual(os.listdir(self.tmpdir), [])

    def test_file_size_limit_during_capture_fails_the_write(self):
        limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        proc = self.start(["-", "-t", "a@x", "-q"], stdin=subprocess.PIPE, preexec_fn=limit)
        proc.communicate(b"a line of the message\n" * 10000, timeout=60)
        self.assertEqual(proc.returncode, 13)
        self.assertEqual(os.listdir(self.tmpdir), [])

    def test_closed_standard_descriptors_and_a_dead_reader(self):
        def close_all():
            for fd in (0, 1, 2):
                os.close(fd)
        reader, writer = os.pipe()
        os.close(reader)  # whatever quib prints has nobody to read it
        self.addCleanup(os.close, writer)
        for name, popen in [("closed", {"preexec_fn": close_all}), ("dead reader", {"stdout": writer})]:
            with self.subTest(name), AiosmtpdServer() as server:
                proc = self.start([self.body, "-t", "a@x", "-server", server.address], **popen)
                self.assertEqual(proc.wait(60), 0)
                self.assertEqual(len(server.messages), 1)
                self.assertTrue(server.messages[0].content.endswith(b"\r\n\r\nHello.\r\n"))

    @unittest.skipUnless(os.geteuid() == 0 and not RUNNER, "needs root to act as another user")
    def test_settings_stored_under_umask_077_serve_every_user(self):
        registry = Registry()
        self.addCleanup(registry.cleanup)
        os.chmod(registry.path, 0o755)
        os.chmod(self.work, 0o755)
        with AiosmtpdServer() as server:
            subprocess.run([QUIB, "-install", server.address, SENDER],
                           env=dict(os.environ, QUIB_REGISTRY=registry.path), check=True,
                           stdout=subprocess.DEVNULL, preexec_fn=lambda: os.umask(0o077))
            for folder, _, files in os.walk(registry.path):
                if folder != registry.path:
                    self.assertEqual(os.stat(folder).st_mode & 0o777, 0o755, folder)
                for name in files:
                    self.assertEqual(os.stat(os.path.join(folder, name)).st_mode & 0o777, 0o644)
            nobody = subprocess.run([QUIB, self.body, "-t", "a@x", "-q"],
                                    env=dict(os.environ, QUIB_REGISTRY=registry.path),
                                    preexec_fn=lambda: (os.setgid(65534), os.setuid(65534)))
            self.assertEqual(nobody.returncode, 0)
            self.assertEqual(len(server.messages), 1)

    @unittest.skipUnless(os.geteuid() == 0 and not RUNNER, "needs root to name the host")
    def test_unsafe_host_name_becomes_the_address_literal(self):
        for host, helo in ((b"bad host\r\nRSET", "[127.0.0.1]"), (b"a-b.c_[IPv6:x]", "a-b.c_[IPv6:x]")):
            def rename_host(host=host):
                libc = ctypes.CDLL(None, use_errno=True)
                if libc.unshare(0x04000000) != 0:  # a host name of this process's own
                    os._exit(99)
                libc.sethostname(host, len(host))
            with self.subTest(host=host), AiosmtpdServer() as server:
                proc = self.start([self.body, "-t", "a@x", "-server", server.address],
                                  preexec_fn=rename_host, stdout=subprocess.DEVNULL)
                self.assertEqual(proc.wait(60), 0)
                self.assertEqual(server.messages[0].helo, helo)

if __name__ == "__main__":
    unittest.main()
