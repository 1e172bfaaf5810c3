"""Servers that misbehave: quib against a scripted server on loopback that
drops the connection at each step, answers garbage, answers with a 1 MiB
line, answers slowly, or never answers.

Each run mails console input ("-") with TMPDIR at a folder of the test's
own (under wine: Wine's temporary folder), so that a temporary file left
behind shows. The socket library's
timeouts are shortened (GENSOCK_TIMEOUT), and every run is bounded: a quib
that hangs fails the test instead of stalling it.
"""
import base64
import itertools
import os
import re
import subprocess
import unittest

from fault_server import (DATA, GREETING, HELO, MAIL, QUIT, RCPT, TEXT, WHOLE_DIALOGUE,
                          FaultServer, reply, until)
import messages
import quibtest
from quibtest import run_quib, temp_file_pattern, temp_files_left

SENDER = "x@y"
RECIPIENT = "a@b"
BODY = b"first line\n.a line with a leading dot\nlast line\n"
BIG_BODY = b"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-+*/.\n" * (1 << 17)  # 8.5 MiB
MIB_LINE = b"x" * (1 << 20)
LIMIT = "0.5"  # GENSOCK_TIMEOUT, seconds: every reply's limit here

# What quib prints, piece by piece, as text: the cases are regular expressions.
DROPPED, SERVER_ERROR, SENDER_REFUSED, DATA_REFUSED, NOT_ACCEPTED, CANT_CONNECT = (
    text.decode() for text in (messages.DROPPED, messages.SERVER_ERROR, messages.SENDER_REFUSED,
                               messages.DATA_REFUSED, messages.NOT_ACCEPTED, messages.CANT_CONNECT))
RECIPIENT_REFUSED = messages.recipient_refused(RECIPIENT).decode()
TIMED_OUT = re.escape(messages.TIMED_OUT.decode())
SEND_FAILED = re.escape(messages.SEND_FAILED.decode())

# Whether the server must have read QUIT and then seen the connection
# closed (QUITS); only seen it closed, the QUIT being lost in the message
# text (CLOSES); or nothing, since it hung up itself (HUNG_UP).
QUITS, CLOSES, HUNG_UP = True, False, None

# (name, server script, status, what quib prints after its progress lines
#  (a regular expression), QUITS or HUNG_UP, body)
CASES = [
    # The server hangs up at each step.
    ("closed before the greeting", [("close",)], -1,
     re.escape(DROPPED + SERVER_ERROR), HUNG_UP, BODY),
    # A reset can reach quib while it is still connecting.
    ("reset before the greeting", [("reset",)], -1,
     "(%s|%s)" % (re.escape(DROPPED + SERVER_ERROR) + "(%s)?" % SEND_FAILED,
                  re.escape(CANT_CONNECT)), HUNG_UP, BODY),
    ("closed after HELO", until("HELO") + [("close",)], -1,
     re.escape(DROPPED + SERVER_ERROR), HUNG_UP, BODY),
    ("closed after MAIL", until("MAIL") + [("close",)], -1,
     re.escape(DROPPED + SENDER_REFUSED), HUNG_UP, BODY),
    ("closed after RCPT", until("RCPT") + [("close",)], -1,
     re.escape(DROPPED + RECIPIENT_REFUSED), HUNG_UP, BODY),
    ("closed after DATA", until("DATA") + [("close",)], -1,
     re.escape(DROPPED + DATA_REFUSED), HUNG_UP, BODY),
    ("closed in the middle of the text", until("DATA") + [reply("354 go"), ("some", 65536),
                                                          ("close",)], -1,
     re.escape(DROPPED + NOT_ACCEPTED) + "(%s)?" % SEND_FAILED, HUNG_UP, BIG_BODY),
    ("closed before the final reply", until("TEXT") + [("close",)], -1,
     re.escape(DROPPED + NOT_ACCEPTED), HUNG_UP, BODY),
    # Garbage for an answer.
    ("greeting without a code", [reply("hello there")], -1,
     re.escape(SERVER_ERROR), QUITS, BODY),
    ("greeting of binary bytes, then hang-up", [("send", b"\x00\xff\x01\x80 junk"), ("close",)], -1,
     re.escape(DROPPED + SERVER_ERROR), HUNG_UP, BODY),
    ("greeting with a code too large to hold", [reply("2200000000000000000000220 hi")], -1,
     re.escape(SERVER_ERROR), QUITS, BODY),
    ("greeting with a negative code", [reply("-220 hi")], -1,
     re.escape(SERVER_ERROR), QUITS, BODY),
    ("MAIL answered with the greeting's code", GREETING + HELO + [("line",), reply("220 again")],
     -1, re.escape(SENDER_REFUSED), QUITS, BODY),
    ("DATA answered with 250", until("DATA") + [reply("250 no data for you")], -1,
     re.escape(DATA_REFUSED), QUITS, BODY),
    ("greeting line never ended", [("send", b"220 no line end\r")], -1,
     TIMED_OUT + re.escape(SERVER_ERROR), QUITS, BODY),
    # Replies of 1 MiB.
    ("greeting of 1 MiB", [("send", b"220 " + MIB_LINE + b"\r\n")] + WHOLE_DIALOGUE[1:], 0,
     "", QUITS, BODY),
    ("1 MiB line without a code", [("send", MIB_LINE + b"\r\n")], -1,
     re.escape(SERVER_ERROR), QUITS, BODY),
    ("HELO answered by 1 MiB continuation lines",
     GREETING + [("line",), ("send", (b"250-" + MIB_LINE + b"\r\n") * 2 + b"250 ok\r\n")]
     + MAIL + RCPT + DATA + TEXT + QUIT, 0, "", QUITS, BODY),
    # Slow and silent servers.
    ("greeting dripped within its limit", [("slow", b"220 ", 0.02), ("send", b"ok\r\n")]
     + WHOLE_DIALOGUE[1:], 0, "", QUITS, BODY),
    # Each byte in time, the whole reply not: one limit holds for all of it.
    ("greeting dripped past its limit", [("slow", b"220-" + b"x" * 100, 0.05)], -1,
     TIMED_OUT + re.escape(SERVER_ERROR), QUITS, BODY),
    ("end of data answered by a drip", until("TEXT") + [("slow", b"250-" + b"x" * 100, 0.05)], -1,
     TIMED_OUT + re.escape(NOT_ACCEPTED), QUITS, BODY),
    # Nothing is pipelined: a reply that came with the 354 answers nothing.
    ("DATA answered with 354 and 250 at once",
     until("DATA") + [("send", b"354 go\r\n250 early\r\n")], -1, re.escape(DATA_REFUSED),
     QUITS, BODY),
    ("replies ended by LF alone", [("send", b"220 ok\n"), ("line",), ("send", b"250 ok\n"),
                                   ("line",), ("send", b"250 ok\n"), ("line",), ("send", b"250 ok\n"),
                                   ("line",), ("send", b"354 go\n"), ("data",),
                                   ("send", b"250 kept\n")] + QUIT, 0, "", QUITS, BODY),
    ("no greeting ever", [], -1, TIMED_OUT + re.escape(SERVER_ERROR), QUITS, BODY),
    ("no answer to RCPT", until("RCPT"), -1,
     TIMED_OUT + re.escape(RECIPIENT_REFUSED), QUITS, BODY),
    ("no answer to the text", until("TEXT"), -1,
     TIMED_OUT + re.escape(NOT_ACCEPTED), QUITS, BODY),
    ("stops reading in the middle of the text", until("DATA") + [reply("354 go"), ("hold",)], -1,
     TIMED_OUT + re.escape(NOT_ACCEPTED) + "(%s)?" % SEND_FAILED, CLOSES, BIG_BODY),
]


# -debug against the scripted server, times, port and host name masked: the
# transcript of one delivery line by line, then how failures end it.
OPENING = (r"\* quib \d+\.\d+\.\d+, \w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4}: \S*quib\S* "
           r"\S+ -server 127\.0\.0\.1:PORT -f x@y -t a@b -s s -debug")
# The library loaded, its folder masked as BIN.
LIBRARY = "BIN\\gensock.dll" if quibtest.UNDER_WINE else "BIN/libgensock.so"
REAL_BIN = os.path.realpath(quibtest.BIN_DIR)
DELIVERY = """* socket library gensock.dll loaded from %s
* connecting to 127.0.0.1:PORT (service smtp)
* 127.0.0.1 resolves to 127.0.0.1
* connecting to 127.0.0.1 port PORT: connected
* connected
< 220 fault.example ready
> HELO HOST
< 250 fault.example
> MAIL From:<x@y>
< 250 sender ok
> RCPT To: <a@b>
< 250 recipient ok
> DATA
< 354 go ahead
> [message text: 162 bytes, 9 lines, the longest 37 bytes, 1 dots doubled]
< 250 kept
> QUIT
* exit status 0: the server accepted the message
""" % LIBRARY
NO_REPLY = "gensock_getchar failed with 4013: " + messages.TIMED_OUT.decode()
FAILED = "> QUIT\n* failed at %s\n* exit status -1: the SMTP dialogue failed\n"
# (name, server script, the transcript's last lines)
TRANSCRIPTS = [
    ("refused recipient", until("RCPT")[:-1] + [("line",), reply("550 5.7.1 Relaying denied")],
     FAILED % "RCPT To: <a@b>: 550 5.7.1 Relaying denied"),
    ("no answer to MAIL", until("MAIL"),
     "> MAIL From:<x@y>\n* %s\n" % NO_REPLY + FAILED % ("MAIL From:<x@y>: " + NO_REPLY)),
    ("bytes shown printable, a backslash escaped, a long line cut",
     [("send", b"220-\x00\xff\tx\\x1B\r\n220 " + b"y" * 600 + b"\r\n"), ("line",),
      reply("554 no")],
     "< 220-\\x00\\xFF\\x09x\\x5Cx1B\n< 220 " + "y" * 508 + "[... 606 bytes in all]\n> HELO HOST\n"
     "< 554 no\n" + FAILED % "HELO HOST: 554 no"),
]


def masked(transcript, port):
    """The lines without their times, the port and the local host name."""
    lines = [re.sub(r"^ *\d+ ms ", "", line) for line in transcript.decode("ascii").splitlines()]
    lines = [line.replace(REAL_BIN, "BIN").replace("Z:" + REAL_BIN.replace("/", "\\"), "BIN")
             for line in lines]
    return "".join(re.sub(r"HELO [^\s:]+", "HELO HOST", line.replace(str(port), "PORT")) + "\n"
                   for line in lines)


# Logging in (-u ann, secret s3cret): (name, the EHLO reply's lines, the
# server's steps after it up to MAIL, further arguments, status, what quib
# prints, the commands after EHLO up to MAIL or QUIT). "b64:" commands are
# sent base64-encoded, {port} being the server's.
EHLO_AUTH = ["250-fault.example", "250-AUTH LOGIN PLAIN", "250 HELP"]
LOGGED_IN = [("line",), reply("235 2.7.0 ok")]
XOAUTH2 = "b64:user=ann\x01auth=Bearer s3cret\x01\x01"
OAUTHBEARER = "b64:n,a=ann,\x01host=127.0.0.1\x01port={port}\x01auth=Bearer s3cret\x01\x01"
TOKEN_ERROR = [("line",), reply("334 eyJzdGF0dXMiOiI0MDEifQ=="), ("line",),
               reply("535 5.7.8 token expired")]
LOGIN_CASES = [
    ("PLAIN, the first usual one offered", EHLO_AUTH, LOGGED_IN, [], 0, "",
     ["AUTH PLAIN AGFubgBzM2NyZXQ="]),
    ("LOGIN in the AUTH= form", ["250-fault.example", "250 auth=login"],
     [("line",), reply("334 VXNlcm5hbWU6"), ("line",), reply("334 UGFzc3dvcmQ6")] + LOGGED_IN,
     [], 0, "", ["AUTH LOGIN", "YW5u", "czNjcmV0"]),
    ("XOAUTH2", ["250-fault.example", "250 AUTH XOAUTH2"], LOGGED_IN, ["-auth", "XOAuth2"], 0, "",
     ["AUTH XOAUTH2 " + XOAUTH2]),
    ("OAUTHBEARER", ["250-fault.example", "250 AUTH OAUTHBEARER"], LOGGED_IN,
     ["-auth", "oauthbearer"], 0, "", ["AUTH OAUTHBEARER " + OAUTHBEARER]),
    ("XOAUTH2 refused", ["250-fault.example", "250 AUTH XOAUTH2"], TOKEN_ERROR,
     ["-auth", "xoauth2"], -1, "Login failed at AUTH XOAUTH2: 535 5.7.8 token expired\n",
     ["AUTH XOAUTH2 " + XOAUTH2, ""]),
    ("OAUTHBEARER refused", ["250-fault.example", "250 AUTH OAUTHBEARER"], TOKEN_ERROR,
     ["-auth", "oauthbearer"], -1, "Login failed at AUTH OAUTHBEARER: 535 5.7.8 token expired\n",
     ["AUTH OAUTHBEARER " + OAUTHBEARER, "AQ=="]),
    ("no AUTH offered", ["250-fault.example", "250 HELP"], [], [], -1,
     "Login failed at EHLO: the server offers no AUTH\n", []),
    ("the mechanism asked for not offered", EHLO_AUTH, [], ["-auth", "xoauth2"], -1,
     "Login failed at EHLO: the server offers no AUTH XOAUTH2 (it offers LOGIN PLAIN)\n", []),
    ("a multi-line 535", EHLO_AUTH,
     [("line",), reply("535-5.7.139 Authentication unsuccessful,\r\n535 5.7.139 basic "
                       "authentication is disabled")], [], -1,
     "Login failed at AUTH PLAIN: 535 5.7.139 Authentication unsuccessful, 5.7.139 basic "
     "authentication is disabled\n", ["AUTH PLAIN AGFubgBzM2NyZXQ="]),
    ("EHLO refused", ["502 5.5.1 no EHLO here"], [], [], -1,
     "Login failed at EHLO: 502 5.5.1 no EHLO here\n", []),
    ("a challenge not in base64", EHLO_AUTH, [("line",), reply("334 what?")], ["-auth", "login"],
     -1, "Login failed at AUTH LOGIN: a challenge not in base64\n", ["AUTH LOGIN"]),
    ("a 535 echoing the password and the AUTH PLAIN line", EHLO_AUTH,
     [("line",), reply("535 AUTH PLAIN AGFubgBzM2NyZXQ= (s3cret, czNjcmV0, xMzY3Jldx) is wrong")],
     [], -1, "Login failed at AUTH PLAIN: 535 AUTH PLAIN [credentials hidden] ([credentials "
     "hidden], [credentials hidden], x[credentials hidden]x) is wrong\n",
     ["AUTH PLAIN AGFubgBzM2NyZXQ="]),
    ("a 334 echoing the response after it", ["250-fault.example", "250 AUTH XOAUTH2"],
     [("line",), reply("334 " + base64.b64encode(XOAUTH2[4:].encode()).decode()), ("line",),
      reply("535 5.7.8 no")], ["-auth", "xoauth2"], -1,
     "Login failed at AUTH XOAUTH2: 535 5.7.8 no\n", ["AUTH XOAUTH2 " + XOAUTH2, ""]),
    ("no answer to AUTH", EHLO_AUTH, [("line",)], [], -1,
     messages.TIMED_OUT.decode() + "Login failed at AUTH PLAIN: no reply\n",
     ["AUTH PLAIN AGFubgBzM2NyZXQ="]),
]


def wire_command(text, port):
    if not text.startswith("b64:") and " b64:" not in text:
        return text.encode()
    head, _, plain = text.rpartition("b64:")
    return head.encode() + base64.b64encode(plain.format(port=port).encode("latin-1"))


def holds_secret(command):
    """True when the command's last word is base64 for something holding the secret."""
    try:
        return b"s3cret" in base64.b64decode(command.split(b" ")[-1], validate=True)
    except ValueError:
        return False


class FaultTest(quibtest.StoredSettingsCase):
    SENDER = SENDER
    WORK_PREFIX = "quib-faults-"

    def run_against(self, server, body, more=(), env=None):
        status, out, err = run_quib(["-", "-server", server.address, "-f", SENDER, "-t", RECIPIENT]
                                    + list(more), registry=self.registry, stdin=body,
                                    env=dict(env or {}, TMPDIR=self.tmpdir, GENSOCK_TIMEOUT=LIMIT),
                                    timeout=90)
        server.release()
        return status, out.decode("latin-1"), err

    def check_case(self, script, status, printed, quits, body):
        with FaultServer(script) as server:
            got_status, out, err = self.run_against(server, body)
        progress = r"Sending %s to %s\nLogin name is %s\n" % (
            temp_file_pattern(self.tmpdir), re.escape(RECIPIENT), re.escape(SENDER))
        self.assertRegex(out, r"\A" + progress + printed + r"\Z")
        self.assertEqual(got_status, status, out)
        self.assertEqual(temp_files_left(self.tmpdir), [], "temporary file left behind")
        self.assertIsNone(server.error)
        commands = server.commands()
        self.assertLessEqual(commands.count(b"QUIT"), 1)
        if quits:
            self.assertEqual(commands[-1], b"QUIT", commands[-3:])
        if quits is not HUNG_UP:
            self.assertTrue(server.eof, "quib did not close the connection")
        if status == 0:
            self.assertIn(body.replace(b"\n.", b"\n..").replace(b"\n", b"\r\n") + b".\r\n",
                          server.received)

    def test_cases(self):
        for name, script, status, printed, quits, body in CASES:
            with self.subTest(name):
                self.check_case(script, status, printed, quits, body)

    def test_login_cases(self):
        after_login = MAIL + RCPT + DATA + TEXT + QUIT
        for name, ehlo, steps, more, status, printed, commands in LOGIN_CASES:
            with self.subTest(name):
                script = GREETING + [("line",), reply("\r\n".join(ehlo))] + steps
                log = os.path.join(self.work, name + ".log")
                with FaultServer(script + (after_login if status == 0 else [])) as server:
                    got, out, err = self.run_against(server, BODY, ["-u", "ann", "-pass", "s3cret"]
                                                     + more + ["-debug", "-log", log])
                self.assertEqual((got, out.split("Login name is x@y\n", 1)[1]), (status, printed))
                sent = server.commands()
                self.assertTrue(sent[0].startswith(b"EHLO "), sent)
                expected = [wire_command(c, server.port) for c in commands]
                # No secret in any output, in clear or as it was sent; a token's error decoded.
                with open(log, "rb") as f:
                    written = f.read()
                self.assertIn(b" -pass [credentials hidden] ", written)
                secrets = [b"s3cret"] + [c.split(b" ")[-1] for c in expected if holds_secret(c)]
                for output, secret in itertools.product((out.encode("latin-1"), err, written),
                                                        secrets):
                    self.assertNotIn(secret, output)
                tail = [b"MAIL From:<x@y>", b"RCPT To: <a@b>", b"DATA"] if status == 0 else []
                self.assertEqual(sent[1:], expected + tail + [b"QUIT"])

    @unittest.skipIf(quibtest.UNDER_WINE, "Windows has no netrc file")
    def test_secret_sources(self):
        """QUIB_PASSWORD, then the netrc file: used at 0600, refused at 0644."""
        netrc = os.path.join(self.work, "netrc")
        with open(netrc, "w") as f:
            f.write("machine 127.0.0.1 login ann password fromnetrc\n")
        plain = [("line",), reply("\r\n".join(EHLO_AUTH))] + LOGGED_IN
        for mode, env, response in [(0o600, {"QUIB_PASSWORD": "s3cret"}, b"AGFubgBzM2NyZXQ="),
                                    (0o600, {}, b"AGFubgBmcm9tbmV0cmM=")]:
            os.chmod(netrc, mode)
            with FaultServer(GREETING + plain + MAIL + RCPT + DATA + TEXT + QUIT) as server:
                status, out, _ = self.run_against(server, BODY, ["-u", "ann"],
                                                  dict(env, NETRC=netrc))
            self.assertEqual(status, 0, out)
            self.assertEqual(server.commands()[1], b"AUTH PLAIN " + response)
        os.chmod(netrc, 0o644)
        status, out, _ = run_quib(["-", "-server", "127.0.0.1:1", "-t", RECIPIENT, "-u", "ann"],
                                  registry=self.registry, env={"NETRC": netrc})
        self.assertEqual((status, out), (12, messages.netrc_open(netrc)))

    @unittest.skipUnless(quibtest.UNDER_WINE, "the Credential Manager is Windows'")
    def test_secret_from_the_credential_manager(self):
        def store(*user_and_secret):
            self.assertEqual(subprocess.run(quibtest.RUNNER + [os.path.join(
                quibtest.BIN_DIR, "store_credential.exe"), "quib:127.0.0.1", *user_and_secret],
                capture_output=True).returncode, 0)
        self.addCleanup(store)
        store("someone", "s3cret")  # another user's credential is not ann's
        status, out, _ = run_quib(["-", "-server", "127.0.0.1:1", "-t", RECIPIENT, "-u", "ann"],
                                  registry=self.registry)
        self.assertEqual((status, out), (12, messages.no_secret(
            "ann", "127.0.0.1", "-pass, QUIB_PASSWORD, the Credential Manager (quib:127.0.0.1)")))
        store("ann", "s3cret")
        plain = [("line",), reply("\r\n".join(EHLO_AUTH))] + LOGGED_IN
        with FaultServer(GREETING + plain + MAIL + RCPT + DATA + TEXT + QUIT) as server:
            status, out, _ = self.run_against(server, BODY, ["-u", "ann"])
        self.assertEqual(status, 0, out)
        self.assertEqual(server.commands()[1], b"AUTH PLAIN AGFubgBzM2NyZXQ=")

    @unittest.skipIf(quibtest.UNDER_WINE, "the command line of a process in /proc is Linux's")
    def test_secret_leaves_the_command_line_at_once(self):
        with FaultServer([("hold",)]) as server:
            quib = subprocess.Popen([quibtest.QUIB, "-", "-server", server.address, "-t", RECIPIENT,
                                     "-f", SENDER, "-u", "ann", "-pass", "s3cret"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    env=dict(os.environ, GENSOCK_TIMEOUT="30",
                                             QUIB_REGISTRY=self.registry.path, TMPDIR=self.tmpdir))
            try:
                self.assertTrue(server.accepted.wait(30))
                with open("/proc/%d/cmdline" % quib.pid, "rb") as f:
                    arguments = f.read().split(b"\0")
            finally:
                quib.kill()
                quib.wait()
        self.assertIn(b"-pass", arguments)
        self.assertNotIn(b"s3cret", b"".join(arguments))

    def test_dialogue_before_a_drop(self):
        """What the server read before it hung up in the middle of the text."""
        script = until("DATA") + [reply("354 go"), ("some", 65536), ("close",)]
        with FaultServer(script) as server:
            status, _, _ = self.run_against(server, BIG_BODY)
        self.assertEqual(status, -1)
        self.assertEqual([c.split(b" ")[0] for c in server.commands()],
                         [b"HELO", b"MAIL", b"RCPT", b"DATA"])
        self.assertIn(b"\r\n\r\n" + BIG_BODY[:1000].replace(b"\n", b"\r\n"), server.received)

    def debug_run(self, script, *flags):
        body = os.path.join(self.work, "body.txt")
        with open(body, "wb") as f:
            f.write(BODY)
        with FaultServer(script) as server:
            status, out, err = run_quib([body, "-server", server.address, "-f", SENDER, "-t",
                                         RECIPIENT, "-s", "s"] + list(flags),
                                        registry=self.registry,
                                        env={"GENSOCK_TIMEOUT": LIMIT}, timeout=90)
            server.release()
        return status, out, masked(err, server.port)

    def test_transcript_of_a_delivery_leaves_stdout_as_it_was(self):
        status, out, transcript = self.debug_run(WHOLE_DIALOGUE, "-debug")
        self.assertEqual(status, 0)
        opening, rest = transcript.split("\n", 1)
        self.assertRegex(opening, r"\A" + OPENING + r"\Z")
        self.assertEqual(rest, DELIVERY)
        self.assertEqual(out, self.debug_run(WHOLE_DIALOGUE)[1])

    def test_transcript_names_the_failed_step_last_and_q_silences_stdout_only(self):
        for name, script, tail in TRANSCRIPTS:
            with self.subTest(name):
                status, out, transcript = self.debug_run(script, "-debug", "-q")
                self.assertEqual((status, out), (-1, b""))
                self.assertTrue(transcript.endswith(tail), transcript)

    def test_quiet_fault_prints_nothing(self):
        with FaultServer(until("MAIL") + [("close",)]) as server:
            status, out, _ = run_quib(["-", "-server", server.address, "-f", SENDER, "-t",
                                       RECIPIENT, "-q"], registry=self.registry, stdin=BODY,
                                      env={"TMPDIR": self.tmpdir}, timeout=90)
        self.assertEqual((status, out), (-1, b""))
        self.assertEqual(temp_files_left(self.tmpdir), [])


if __name__ == "__main__":
    unittest.main()
