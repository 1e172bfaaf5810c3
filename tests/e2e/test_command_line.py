"""The command line end to end: exact output and exit status of the built quib.

Every case runs with a registry folder of its own. Command lines that are
accepted go on to send; they name a server where nothing listens and are run
with -q, so only the status of a failed delivery (-1) and the silence are
asserted, nothing of the delivery itself.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from messages import (CANT_CREATE, IN_CLEAR, INSTALL_HINT, NO_KEY, NO_SENDER_VALUE,
                      NO_SERVER_VALUE, NOT_A_DISK_FILE, OVERLONG_TO, PENGUIN_CONFLICT, REFUSED_12, SENDER_LINE_BREAK,
                      SERVER_LINE_BREAK, USAGE, does_not_exist, log_not_opened, no_secret,
                      server_set_to)
from quibtest import QUIB, REG_BINARY, UNDER_WINE, AiosmtpdServer, Registry, run_quib

NOWHERE = "127.0.0.1:1"  # nothing listens there: an accepted run fails fast
STORED = {"SMTP server": NOWHERE, "Sender": "me@example.com"}
LONG = "x" * 256
LONGEST = "x" * 255
FILE = "{file}"        # replaced by an existing message file
MISSING = "{missing}"  # replaced by a name where no file is


def set_to(server, sender):
    return {"SMTP server": server.encode() + b"\0", "Sender": sender.encode() + b"\0"}


# (name, arguments, stored settings or None, status, exact stdout, settings after)
# "settings after" is None (not checked), "same" (as stored), or the values.
CASES = [
    # Usage text
    ("no arguments", [], STORED, 1, USAGE, "same"),
    ("no arguments, nothing stored: settings not even loaded", [], None, 1, USAGE, None),
    ("-h", ["-h"], STORED, 1, USAGE, "same"),
    ("-H", ["-H"], STORED, 1, USAGE, "same"),
    ("-h after the file", [FILE, "-h"], STORED, 1, USAGE, "same"),
    ("-H after the file", [FILE, "-H"], STORED, 1, USAGE, "same"),
    ("-h with nothing stored", ["-h"], None, 1, NO_KEY + USAGE, None),
    ("-h -q", ["-h", "-q"], None, 1, b"", None),
    ("two file names", [FILE, FILE], STORED, 1, USAGE, "same"),
    ("stray argument, nothing stored", [FILE, "stray"], None, 1, NO_KEY + USAGE, None),
    # Options compared exactly, in capitals
    ("-F as argument 1", ["-F", "me@x"], STORED, 2, does_not_exist("-F"), "same"),
    ("-MIME as argument 1", ["-MIME", "-t", "a@x"], STORED, 2, does_not_exist("-MIME"), "same"),
    ("-Q as argument 1 silences", ["-Q"], STORED, 2, b"", "same"),
    ("-F later is stray", [FILE, "-F", "me@x"], STORED, 1, USAGE, "same"),
    ("-I later is stray", [FILE, "-I", "me@x"], STORED, 1, USAGE, "same"),
    ("-MIME later is stray", [FILE, "-MIME"], STORED, 1, USAGE, "same"),
    ("-PENGUIN later is stray", [FILE, "-PENGUIN"], STORED, 1, USAGE, "same"),
    ("-Q later is stray and silent", [FILE, "-Q"], STORED, 1, b"", "same"),
    # -q and -mime
    ("-q silences the settings store", [FILE, "stray", "-q"], None, 1, b"", None),
    ("-q as a subject still silences", [FILE, "-s", "-q", "-h"], None, 1, b"", None),
    ("-q passes over -t", [FILE, "-q", "-t", "a@x"], STORED, 1, b"", "same"),
    ("-mime passes over -t", [FILE, "-mime", "-t", "a@x"], STORED, 1, USAGE, "same"),
    ("-h as a value prints nothing", [FILE, "-s", "-h", "-t", "a@x", "-q"], STORED, -1, b"",
     "same"),
    ("-q last ends the walk", [FILE, "-t", "a@x", "-q"], STORED, -1, b"", "same"),
    ("-penguin and -mime accepted", [FILE, "-penguin", "-mime", "x", "-t", "a@x", "-q"], STORED,
     -1, b"", "same"),
    ("console input accepted", ["-", "-t", "a@x", "-q"], STORED, -1, b"", "same"),
    # An option standing last has no value: a stray argument
    ("-t last", [FILE, "-t"], STORED, 1, USAGE, "same"),
    ("-server last", [FILE, "-server"], STORED, 1, USAGE, "same"),
    ("-f last", [FILE, "-f"], STORED, 1, USAGE, "same"),
    ("-i last", [FILE, "-t", "a@x", "-i"], STORED, 1, USAGE, "same"),
    ("-log last", [FILE, "-log"], STORED, 1, USAGE, "same"),
    ("-DEBUG later is stray", [FILE, "-DEBUG"], STORED, 1, USAGE, "same"),
    ("-log in a missing folder: status 12 before any traffic",
     [FILE, "-t", "a@x", "-log", MISSING + "/quib.log"], STORED, 12,
     log_not_opened(MISSING + "/quib.log"), "same"),
    # -install
    ("-install server only", ["-install", "mail.example"], None, 0,
     NO_KEY + server_set_to("mail.example"), set_to("mail.example", "")),
    ("-install server and sender", ["-install", "mail.example", "you@x"], STORED, 0,
     server_set_to("mail.example"), set_to("mail.example", "you@x")),
    ("-INSTALL", ["-INSTALL", "mail.example", "you@x"], STORED, 0,
     server_set_to("mail.example"), set_to("mail.example", "you@x")),
    ("-install with -q as the sender", ["-install", "mail.example", "-q"], STORED, 0, b"",
     set_to("mail.example", "-q")),
    ("-install with three values", ["-install", "mail.example", "you@x", "more"], STORED, 6,
     INSTALL_HINT, "same"),
    ("-install, two values and -q", ["-install", "mail.example", "you@x", "-q"], STORED, 6, b"",
     "same"),
    ("-install alone", ["-install"], STORED, 6, INSTALL_HINT, "same"),
    ("-install after the file, values beyond the end", [FILE, "-install", "mail.example"],
     STORED, 1, USAGE, "same"),
    ("-install last after the file", [FILE, "-install"], STORED, 1, USAGE, "same"),
    ("-install with the longest server", ["-install", LONGEST], None, 0,
     NO_KEY + server_set_to(LONGEST), set_to(LONGEST, "")),
    ("-install with a server too long", ["-install", LONG, "you@x"], STORED, 1,
     b"-install: the server name is longer than 255 characters\n", "same"),
    ("-install with a sender too long", ["-install", "mail.example", LONG], STORED, 1,
     b"-install: the sender address is longer than 255 characters\n", "same"),
    # The message file
    ("missing file before -h", [MISSING, "-h"], STORED, 2, does_not_exist("{missing}"), "same"),
    ("argument 1 an option", ["-t", "a@x", "-s", "subj"], STORED, 2, does_not_exist("-t"),
     "same"),
    ("empty argument 1", [""], STORED, 2, does_not_exist(""), "same"),
    ("a folder is not a message file", ["{folder}", "-t", "a@x"], STORED, 2,
     does_not_exist("{folder}"), "same"),
    # No server or no sender
    ("nothing stored", [FILE, "-t", "a@x"], None, 12, NO_KEY + REFUSED_12, None),
    ("-f empty", [FILE, "-t", "a@x", "-f", ""], STORED, 12, REFUSED_12, "same"),
    ("-i does not make a sender", [FILE, "-t", "a@x", "-server", NOWHERE, "-i", "me@x"], None,
     12, NO_KEY + REFUSED_12, None),
    ("12 comes before the file test", ["-t", "a@x"], None, 12, NO_KEY + REFUSED_12, None),
    ("12 before a missing file as a later value", ["-s", MISSING], None, 12, NO_KEY + REFUSED_12,
     None),
    ("-server and -f without stored settings", [FILE, "-t", "a@x", "-server", NOWHERE, "-f",
                                                "me@x", "-q"], None, -1, b"", None),
    ("-server overrides for one run", [FILE, "-t", "a@x", "-SERVER", NOWHERE, "-q"],
     {"SMTP server": "192.0.2.1", "Sender": "me@x"}, -1, b"", "same"),
    ("-server too long", [FILE, "-t", "a@x", "-server", LONG], STORED, 1,
     b"-server: the server name is longer than 255 characters\n", "same"),
    # A line break in the envelope sender
    ("CR LF in -f", [FILE, "-t", "a@x", "-f", "me@x\r\nRCPT TO:<z@x>"], STORED, 12, SENDER_LINE_BREAK,
     "same"),
    ("LF in the stored sender", [FILE, "-t", "a@x"], {"SMTP server": NOWHERE, "Sender": "me\nx"},
     12, SENDER_LINE_BREAK, "same"),
    ("-install refuses LF in the sender", ["-install", "mail.example", "me\nRCPT TO:<z@x>"],
     STORED, 12, SENDER_LINE_BREAK, "same"),
    ("-install refuses CR in the server", ["-install", "mail\r.example", "me@x"], STORED, 12,
     SERVER_LINE_BREAK, "same"),
    ("line break refused silently under -q", [FILE, "-t", "a@x", "-f", "a\rb", "-q"], STORED,
     12, b"", "same"),
    # The settings store's failures
    ("no Sender value", [FILE, "-h"], {"SMTP server": NOWHERE}, 1, NO_SENDER_VALUE + USAGE,
     "same"),
    ("no Sender value, -f supplies it", [FILE, "-t", "a@x", "-f", "me@x", "-q"],
     {"SMTP server": NOWHERE}, -1, b"", "same"),
    ("server of 256 characters", [FILE, "-h"], {"SMTP server": LONG, "Sender": "me@x"}, 1,
     NO_SERVER_VALUE + USAGE, "same"),
    ("sender of 256 characters", [FILE, "-h"], {"SMTP server": NOWHERE, "Sender": LONG}, 1,
     NO_SENDER_VALUE + USAGE, "same"),
    ("server of 255 characters", [FILE, "-h"], {"SMTP server": LONGEST, "Sender": "me@x"}, 1,
     USAGE, "same"),
    # -attach, -html, -charset
    ("all three accepted", [FILE, "-attach", FILE, "-html", "-charset", "utf-8", "-attach", FILE,
                            "-t", "a@x", "-q"], STORED, -1, b"", "same"),
    ("-attach last", [FILE, "-attach"], STORED, 1, USAGE, "same"),
    ("-HTML is stray", [FILE, "-HTML"], STORED, 1, USAGE, "same"),
    ("-attach of a missing file", [FILE, "-attach", FILE, "-attach", MISSING], STORED, 2,
     does_not_exist("{missing}"), "same"),
    ("-attach of a folder", [FILE, "-attach", "{folder}"], STORED, 4,
     b"{folder}: " + NOT_A_DISK_FILE, "same"),
    ("an address too long for a header line", [FILE, "-t", "a@x, " + "b" * 996 + "@x"], STORED,
     1, OVERLONG_TO, "same"),
    ("-charset not a name", [FILE, "-charset", "utf 8"], STORED, 1,
     b"-charset: 'utf 8' is not a character set name\n", "same"),
    ("-charset empty", [FILE, "-charset", "", "-q"], STORED, 1, b"", "same"),
    ("-charset with the quote that ends it in filename*", [FILE, "-charset", "utf'8"], STORED, 1,
     b"-charset: 'utf'8' is not a character set name\n", "same"),
    ("-penguin with -attach", [FILE, "-penguin", "-attach", FILE], STORED, 1, PENGUIN_CONFLICT,
     "same"),
    ("-penguin with -html", [FILE, "-html", "-t", "a@x", "-penguin"], STORED, 1, PENGUIN_CONFLICT,
     "same"),
    ("-penguin with -charset", [FILE, "-penguin", "-charset", "utf-8"], None, 1,
     NO_KEY + PENGUIN_CONFLICT, None),
    # Logging in: refused before connecting
    ("-u in plain text to a remote server", [FILE, "-t", "a@x", "-server", "mail.example", "-u",
                                             "ann", "-pass", "x"], STORED, 12, IN_CLEAR, "same"),
    ("-u finds no secret", [FILE, "-t", "a@x", "-u", "ann"], STORED, 12,
     no_secret("ann", "127.0.0.1", "{tried}"), "same"),
    ("-auth names no mechanism", [FILE, "-t", "a@x", "-u", "ann", "-auth", "cram-md5"], STORED, 1,
     b"-auth: unknown mechanism cram-md5 (plain, login, xoauth2 or oauthbearer)\n", "same"),
]


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quib-cli-")
        self.file = os.path.join(self.work, "body.txt")
        with open(self.file, "wb") as f:
            f.write(b"Hello.\r\n")
        self.names = {"{file}": self.file, "{missing}": os.path.join(self.work, "missing.txt"),
                      "{folder}": self.work,
                      "{tried}": "-pass, QUIB_PASSWORD, " + (
                          "the Credential Manager (quib:127.0.0.1)" if UNDER_WINE else
                          os.path.join(tempfile.gettempdir(), "quib-no-netrc"))}

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def fill(self, text):
        for placeholder, name in self.names.items():
            text = text.replace(placeholder, name)
        return text

    def run_case(self, args, stored):
        registry = Registry()
        self.addCleanup(registry.cleanup)
        for name, value in (stored or {}).items():
            registry.store(name, value)
        before = {name: registry.stored(name) for name in ("SMTP server", "Sender")}
        status, out, _ = run_quib([self.fill(a) for a in args], registry=registry)
        after = {name: registry.stored(name) for name in ("SMTP server", "Sender")}
        return status, out, before, after

    def test_cases(self):
        for name, args, stored, status, expected, settings_after in CASES:
            with self.subTest(name):
                got_status, out, before, after = self.run_case(args, stored)
                self.assertEqual(out, self.fill(expected.decode("latin-1")).encode("latin-1"))
                self.assertEqual(got_status, status)
                if settings_after == "same":
                    self.assertEqual(after, before)
                elif settings_after is not None:
                    self.assertEqual(after, settings_after)

    def test_every_command_line_status_is_reached(self):
        self.assertTrue({case[3] for case in CASES}.issuperset({0, 1, 2, 6, 12}))


@unittest.skipIf(UNDER_WINE, "FIFOs, symbolic links and owners as POSIX has them")
class LogTargetTest(unittest.TestCase):
    """-log writes only to a file of the user's own, or /dev/null, and never waits."""

    # (what is at the log's path, status, output); {log} is that path.
    CASES = [
        ("fifo", 12, log_not_opened("{log}", " (not a regular file)")),
        ("link", 12, log_not_opened("{log}", " (a symbolic link)")),
        ("theirs", 12, log_not_opened("{log}", " (the file belongs to another user)")),
        ("/dev/null", -1, b""),
    ]

    def test_cases(self):
        work = tempfile.mkdtemp(prefix="quib-cli-")
        self.addCleanup(shutil.rmtree, work, True)
        registry = Registry()
        self.addCleanup(registry.cleanup)
        for name, value in STORED.items():
            registry.store(name, value)
        target = os.path.join(work, "target")
        with open(target, "wb") as f:
            f.write(b"kept\n")
        os.mkfifo(os.path.join(work, "fifo"))
        os.symlink(target, os.path.join(work, "link"))
        shutil.copy(target, os.path.join(work, "theirs"))
        os.chown(os.path.join(work, "theirs"), 65534, 65534)  # the tests run as root
        body = os.path.join(work, "body.txt")
        with open(body, "wb") as f:
            f.write(b"Hello.\n")
        for what, status, out in self.CASES:
            with self.subTest(what):
                log = os.path.join(work, what)
                got = run_quib([body, "-t", "a@x", "-log", log] + (["-q"] if status < 0 else []),
                               registry=registry, timeout=20, cwd=work)
                self.assertEqual(got[:2], (status, out.replace(b"{log}", log.encode())))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"kept\n")


@unittest.skipIf(UNDER_WINE, "Wine's registry does not follow QUIB_REGISTRY")
class RegistryFailureTest(unittest.TestCase):
    """A registry folder that cannot be made: its root lies below a plain file."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quib-cli-")
        plain = os.path.join(self.work, "plain")
        with open(plain, "wb") as f:
            f.write(b"x")
        self.registry = os.path.join(plain, "registry")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def test_install_server_and_sender_goes_on_to_the_file_test(self):
        status, out, _ = run_quib(["-install", "mail.example", "you@x"], registry=self.registry)
        self.assertEqual(out, NO_KEY + CANT_CREATE + does_not_exist("-install"))
        self.assertEqual(status, 2)

    def test_failed_install_never_mails_a_file_named_like_it(self):
        with open(os.path.join(self.work, "-install"), "wb") as f:
            f.write(b"not a message\n")
        with AiosmtpdServer() as server:
            status, out, _ = run_quib(["-install", server.address, "you@x"],
                                      registry=self.registry, cwd=self.work)
        self.assertEqual((status, out), (2, NO_KEY + CANT_CREATE + does_not_exist("-install")))
        self.assertEqual(server.messages, [])

    def test_install_server_only_ends_without_a_sender(self):
        status, out, _ = run_quib(["-install", "mail.example"], registry=self.registry)
        self.assertEqual(out, NO_KEY + CANT_CREATE + REFUSED_12)
        self.assertEqual(status, 12)

    def test_quiet(self):
        status, out, _ = run_quib(["-install", "mail.example", "-q"], registry=self.registry)
        self.assertEqual((status, out), (2, b""))


# Inside network and mount namespaces of its own: 10.99.0.1, an address
# beyond loopback, on the namespace's loopback interface; a hosts file that
# names it localhost and 127.0.0.09, and a resolver file that names no
# server; a listener there that answers as a server offering AUTH PLAIN and
# keeps what it receives. Runs quib against each server name given and
# prints, for each, quib's status and output and the bytes received.
IN_NAMESPACE = """
import json, os, socket, subprocess, sys, tempfile, threading
run = lambda a: subprocess.run(a, check=True, capture_output=True)
run(["ip", "link", "set", "lo", "up"])
run(["ip", "addr", "add", "10.99.0.1/32", "dev", "lo"])
folder = tempfile.mkdtemp()
for name, text in [("hosts", "10.99.0.1 localhost\\n10.99.0.1 127.0.0.09\\n"), ("resolv.conf", "")]:
    with open(os.path.join(folder, name), "w") as f:
        f.write(text)
    run(["mount", "--bind", os.path.join(folder, name), "/etc/" + name])
def serve(listener, received):
    conn, _ = listener.accept()
    with conn:
        conn.sendall(b"220 hi\\r\\n")
        while True:
            data = conn.recv(4096)
            if not data:
                return
            received.append(data)
            if data.startswith(b"EHLO"):
                conn.sendall(b"250-hi\\r\\n250 AUTH PLAIN\\r\\n")
            elif data.startswith(b"AUTH"):
                conn.sendall(b"235 ok\\r\\n")
results = []
for server in sys.argv[3:]:
    received = []
    listener = socket.create_server(("10.99.0.1", 0))
    thread = threading.Thread(target=serve, args=(listener, received), daemon=True)
    thread.start()
    done = subprocess.run([sys.argv[1], sys.argv[2], "-t", "a@x", "-f", "me@x", "-server",
                           server.format(port=listener.getsockname()[1]), "-u", "ann", "-pass",
                           "s3cret", "-q"], capture_output=True, timeout=60)
    thread.join(1)
    listener.close()
    results.append([done.returncode, b"".join(received).decode("latin-1")])
print(json.dumps(results))
"""


@unittest.skipIf(UNDER_WINE, "network namespaces are Linux's")
class InClearTest(unittest.TestCase):
    """A password in clear text goes only where the connection really leads to this machine."""

    # (server as typed, status, what the server received)
    CASES = [
        ("10.99.0.1:{port}", 12, ""),  # refused before connecting
        ("localhost:{port}", 12, "QUIT\r\n"),
        ("127.0.0.09:{port}", 12, "QUIT\r\n"),
    ]

    def test_login_beyond_loopback_is_refused_before_any_credential(self):
        work = tempfile.mkdtemp(prefix="quib-cli-")
        self.addCleanup(shutil.rmtree, work, True)
        body = os.path.join(work, "body.txt")
        with open(body, "wb") as f:
            f.write(b"Hello.\n")
        env = dict(os.environ, QUIB_REGISTRY=work, NETRC=os.path.join(work, "none"))
        run = subprocess.run(["unshare", "-n", "-m", sys.executable, "-c", IN_NAMESPACE, QUIB, body]
                             + [server for server, _, _ in self.CASES],
                             capture_output=True, env=env, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr.decode())
        got = [(server, status, received) for (server, _, _), (status, received)
               in zip(self.CASES, json.loads(run.stdout))]
        self.assertEqual(got, self.CASES)


class StoredValueTest(unittest.TestCase):
    """How server values that -install would not write are read, by both builds."""

    # (what, the value's bytes, status, output). Status 2 ("-t does not
    # exist") shows that both settings were usable.
    CASES = [
        ("no NUL: read whole", b"mail.example", 2, does_not_exist("-t")),
        ("255 characters without a NUL", b"m" * 255, 2, does_not_exist("-t")),
        ("read up to the first NUL", b"mail\0junk", 2, does_not_exist("-t")),
        ("an empty text is no server", b"\0", 12, REFUSED_12),
        ("no bytes at all is no server", b"", 12, REFUSED_12),
        ("256 bytes without a NUL", b"x" * 256, 12, NO_SERVER_VALUE + REFUSED_12),
        ("a short text in more than 256 bytes", b"mail\0" + b"m" * 300, 12,
         NO_SERVER_VALUE + REFUSED_12),
    ]

    def run_with(self, server_bytes, **value_type):
        registry = Registry()
        self.addCleanup(registry.cleanup)
        registry.store("SMTP server", server_bytes, **value_type)
        registry.store("Sender", b"me@x\0")
        return run_quib(["-t", "a@x"], registry=registry)[:2]

    def test_cases(self):
        for what, value, status, out in self.CASES:
            with self.subTest(what):
                self.assertEqual(self.run_with(value), (status, out))

    @unittest.skipUnless(UNDER_WINE, "only Windows' registry keeps other types")
    def test_binary_value_is_read_up_to_its_nul(self):
        self.assertEqual(self.run_with(b"mail\0junk", value_type=REG_BINARY),
                         (2, does_not_exist("-t")))


if __name__ == "__main__":
    unittest.main()
