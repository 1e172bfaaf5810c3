"""The command line end to end: exact output and exit status of the built quib.

Every case runs with a registry folder of its own. Command lines that are
accepted go on to send; they name a server where nothing listens and are run
with -q, so only the status of a failed delivery (-1) and the silence are
asserted, nothing of the delivery itself.
"""
import os
import shutil
import tempfile
import unittest

from quibtest import REG_BINARY, UNDER_WINE, Registry, run_quib

USAGE = b"".join(line + b"\n" for line in [
    b"Quib v1.5: WinNT console utility to mail a file via SMTP",
    b"",
    b"syntax:",
    b"Quib <filename> -t <recipient> [optional switches (see below)]",
    b"Quib -install <server addr> <sender's addr> [-q]",
    b"Quib -h [-q]",
    b"",
    b"-install <server addr> <sender's addr>: set's default SMTP server and sender",
    b"",
    b"<filename>    : file with the message body ('-' for console input, end with ^Z)",
    b"-t <recipient>: recipient list (comma separated)",
    b"-s <subj>     : subject line",
    b"-f <sender>   : overrides the default sender address (must be known to server)",
    b"-i <addr>     : a 'From:' address, not necessarily known to the SMTP server.",
    b"-c <recipient>: carbon copy recipient list (comma separated)",
    b"-b <recipient>: blind carbon copy recipient list (comma separated)",
    b"-h            : displays this help.",
    b"-mime         : MIME Quoted-Printable Content-Transfer-Encoding.",
    b"-q            : supresses *all* output.",
    b"-server <addr>: overrides the default SMTP server to be used.",
    b"",
    b"Note that if the '-i' option is used, <sender> is included in 'Reply-to:'",
    b"and 'Sender:' fields in the header of the message.",
])
NO_KEY = b"Failed to open registry key for Quib\n"
NO_SERVER_VALUE = b"Failed to read SMTP server value from the registry\n"
NO_SENDER_VALUE = b"Failed to read senders user name from the registry\n"
CANT_CREATE = b"Error in creating quib key in the registry\n"
INSTALL_HINT = (b"to set the SMTP server's address and the user name at that address do:\n"
                b"quib -install server username")
REFUSED_12 = INSTALL_HINT + b"\n" + (b"or use '-server <server name>' and '-f <user name>'\n"
                                     b"aborting, nothing sent\n")
LINE_BREAK = b"the sender address holds a line break (CR or LF): aborting, nothing sent\n"

NOWHERE = "127.0.0.1:1"  # nothing listens there: an accepted run fails fast
STORED = {"SMTP server": NOWHERE, "Sender": "me@example.com"}
LONG = "x" * 256
LONGEST = "x" * 255
FILE = "{file}"        # replaced by an existing message file
MISSING = "{missing}"  # replaced by a name where no file is


def set_to(server, sender):
    return {"SMTP server": (1, server.encode() + b"\0"), "Sender": (1, sender.encode() + b"\0")}


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
    ("-F as argument 1", ["-F", "me@x"], STORED, 2, b"-F does not exist\n", "same"),
    ("-MIME as argument 1", ["-MIME", "-t", "a@x"], STORED, 2, b"-MIME does not exist\n", "same"),
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
    # -install
    ("-install server only", ["-install", "mail.example"], None, 0,
     NO_KEY + b"\nSMTP server set to mail.example\n", set_to("mail.example", "")),
    ("-install server and sender", ["-install", "mail.example", "you@x"], STORED, 0,
     b"\nSMTP server set to mail.example\n", set_to("mail.example", "you@x")),
    ("-INSTALL", ["-INSTALL", "mail.example", "you@x"], STORED, 0,
     b"\nSMTP server set to mail.example\n", set_to("mail.example", "you@x")),
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
     NO_KEY + b"\nSMTP server set to " + LONGEST.encode() + b"\n", set_to(LONGEST, "")),
    ("-install with a server too long", ["-install", LONG, "you@x"], STORED, 1,
     b"-install: the server name is longer than 255 characters\n", "same"),
    ("-install with a sender too long", ["-install", "mail.example", LONG], STORED, 1,
     b"-install: the sender address is longer than 255 characters\n", "same"),
    # The message file
    ("missing file before -h", [MISSING, "-h"], STORED, 2, b"{missing} does not exist\n", "same"),
    ("argument 1 an option", ["-t", "a@x", "-s", "subj"], STORED, 2, b"-t does not exist\n",
     "same"),
    ("empty argument 1", [""], STORED, 2, b" does not exist\n", "same"),
    ("a folder is not a message file", ["{folder}", "-t", "a@x"], STORED, 2,
     b"{folder} does not exist\n", "same"),
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
    ("CR LF in -f", [FILE, "-t", "a@x", "-f", "me@x\r\nRCPT TO:<z@x>"], STORED, 12, LINE_BREAK,
     "same"),
    ("LF in the stored sender", [FILE, "-t", "a@x"], {"SMTP server": NOWHERE, "Sender": "me\nx"},
     12, LINE_BREAK, "same"),
    ("-install refuses LF in the sender", ["-install", "mail.example", "me\nRCPT TO:<z@x>"],
     STORED, 12, LINE_BREAK, "same"),
    ("-install refuses CR in the server", ["-install", "mail\r.example", "me@x"], STORED, 12,
     b"the server name holds a line break (CR or LF): aborting, nothing sent\n", "same"),
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
]


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="quib-cli-")
        self.file = os.path.join(self.work, "body.txt")
        with open(self.file, "wb") as f:
            f.write(b"Hello.\r\n")
        self.names = {"{file}": self.file, "{missing}": os.path.join(self.work, "missing.txt"),
                      "{folder}": self.work}

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
        self.assertEqual(out, NO_KEY + CANT_CREATE + b"-install does not exist\n")
        self.assertEqual(status, 2)

    def test_install_server_only_ends_without_a_sender(self):
        status, out, _ = run_quib(["-install", "mail.example"], registry=self.registry)
        self.assertEqual(out, NO_KEY + CANT_CREATE + REFUSED_12)
        self.assertEqual(status, 12)

    def test_quiet(self):
        status, out, _ = run_quib(["-install", "mail.example", "-q"], registry=self.registry)
        self.assertEqual((status, out), (2, b""))


class StoredValueTest(unittest.TestCase):
    """How values that -install would not write are read."""

    def run_with(self, server_bytes, server_type=1):
        registry = Registry()
        self.addCleanup(registry.cleanup)
        registry.store("SMTP server", server_bytes, server_type)
        registry.store("Sender", b"me@x\0")
        # The file test fails after the settings checks: status 2 shows both were usable.
        return run_quib(["-t", "a@x"], registry=registry)[:2]

    def test_value_without_nul_is_read_whole(self):
        self.assertEqual(self.run_with(b"mail.example"), (2, b"-t does not exist\n"))

    def test_binary_value_is_read_up_to_its_nul(self):
        self.assertEqual(self.run_with(b"mail\0junk", REG_BINARY), (2, b"-t does not exist\n"))

    def test_empty_value_counts_as_no_server(self):
        self.assertEqual(self.run_with(b"\0"), (12, REFUSED_12))

    def test_256_bytes_without_nul_fail(self):
        self.assertEqual(self.run_with(b"x" * 256), (12, NO_SERVER_VALUE + REFUSED_12))


if __name__ == "__main__":
    unittest.main()
