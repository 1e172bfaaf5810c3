"""Message-ID, -header, -embed, ESMTP when a feature needs it (-dsn,
international addresses, -8bit) and -rcpt-skip-refused: quib as a process
against aiosmtpd, smtp-sink and the scripted server, each message read back
by Python's email package and by reformime."""
import email
import email.policy
import os
import subprocess
import sys

from aiosmtpd.smtp import SMTP

import quibtest
from fault_server import DATA, GREETING, MAIL, QUIT, TEXT, FaultServer, reply
from quibtest import AiosmtpdServer, SmtpSink, run_quib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes"))
from keeping_smtp_server import KeepingHandler, _BoundController  # noqa: E402

SENDER = "me@example.org"


class DsnSmtp(SMTP):
    """aiosmtpd as it is, but taking RFC 3461's parameters (kept in
    session.dsn) instead of refusing them."""

    def _getparams(self, params):
        result = super()._getparams(params)
        if result is not None:
            for name in ("RET", "ENVID", "NOTIFY"):
                if name in result:
                    self.session.dsn = getattr(self.session, "dsn", []) + [
                        "%s=%s" % (name, result.pop(name))]
        return result


class ParameterHandler(KeepingHandler):
    """Announces DSN, 8BITMIME and SMTPUTF8, or none of them (plain), and
    keeps the parameters of MAIL and RCPT."""

    def __init__(self, plain):
        super().__init__()
        self.plain = plain
        self.mail_options, self.rcpt_options = [], []

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.plain:
            return [line for line in responses if line[4:] not in ("8BITMIME", "SMTPUTF8")]
        return responses[:-1] + ["250-DSN"] + responses[-1:]

    async def handle_MAIL(self, server, session, envelope, address, options):
        self.mail_options.append(options)
        envelope.mail_from = address
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        self.rcpt_options.append(options)
        return await super().handle_RCPT(server, session, envelope, address, options)


class ParameterServer(AiosmtpdServer):
    def __init__(self, plain=False, port=0):
        self.handler = ParameterHandler(plain)
        controller = _BoundController(self.handler, "127.0.0.1", port, enable_SMTPUTF8=True)
        controller.factory = lambda: DsnSmtp(self.handler, **controller.SMTP_kwargs)
        self.controller = controller


def read_back(test, content):
    """The message as Python's email package reads it, with no defects in
    any part, and as reformime lists its parts."""
    message = email.message_from_bytes(content, policy=email.policy.default)
    for part in message.walk():
        test.assertEqual(part.defects, [], part.get_content_type())
    listing = subprocess.run(["reformime", "-i"], input=content, capture_output=True, check=True)
    return message, listing.stdout.decode()


class ModernMail(quibtest.StoredSettingsCase):
    SENDER = SENDER
    WORK_PREFIX = "quib-modern-"

    def quib(self, server, *args):
        status, out, _ = run_quib(list(args) + ["-server", server.address, "-f", SENDER],
                                  registry=self.registry)
        return status, out.decode("utf-8", "replace")

    def file(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_report_with_pictures_attachment_and_own_lines(self):
        html = self.file("r.html", b'<p><img src="cid:chart.png"><img src="cid:logo.gif"></p>\n')
        pictures = {"chart.png": bytes(range(256)) * 3, "logo.gif": b"GIF89a\x01\x00"}
        paths = [self.file(name, data) for name, data in pictures.items()]
        csv = self.file("q3.csv", b"a,b\n1,2\n")
        note = " ".join(["Gr\u00fc\u00dfe aus K\u00f6ln"] * 6)
        with AiosmtpdServer() as server:
            status, out = self.quib(server, html, "-t", "ann@example.org", "-html", "-embed",
                                    paths[0], "-embed", paths[1], "-attach", csv, "-header",
                                    "Reply-To: desk@example.org", "-header", "X-Note: " + note)
            self.assertEqual(status, 0, out)
            (kept,) = server.messages
        message, listing = read_back(self, kept.content)
        header = kept.content.split(b"\r\n\r\n")[0].split(b"\r\n")
        self.assertTrue(all(len(line) <= 78 for line in header), header)
        names = [line.split(b":")[0] for line in header if not line.startswith(b" ")]
        self.assertEqual(names[-4:], [b"Message-ID", b"Reply-To", b"X-Note", b"X-Mailer"])
        self.assertEqual(str(message["X-Note"]), note)
        self.assertEqual(str(message["Reply-To"]), "desk@example.org")
        self.assertRegex(message["Message-ID"], r"^<\d+\.[0-9a-f]{16}@[^@>]+\.[^@>]+>$")
        self.assertEqual([p.get_content_type() for p in message.walk()],
                         ["multipart/mixed", "multipart/related", "text/html", "image/png",
                          "image/gif", "text/csv"])
        related = message.get_payload()[0]
        self.assertEqual(related.get_param("type"), "text/html")
        shown = related.get_payload()[0].get_content()
        for picture in related.get_payload()[1:]:
            cid = picture["Content-ID"].strip("<>")
            self.assertIn("cid:" + cid, shown)
            self.assertEqual(picture.get_content_disposition(), "inline")
            self.assertEqual(picture.get_payload(decode=True), pictures[cid])
        (attached,) = message.iter_attachments()
        self.assertEqual(attached.get_payload(decode=True), b"a,b\n1,2\n")
        self.assertEqual(listing.count("content-type: image/"), 2, listing)
        self.assertIn("content-type: multipart/related", listing)

    def test_message_id_only_beyond_the_classic_options(self):
        body = self.file("b.txt", b"hello\n")
        rows = [([], None), (["-msgid"], r"<\d+\.[0-9a-f]{16}@"), (["-charset", "utf-8"], "<"),
                (["-header", "Message-ID: <ticket-42@desk.example.org>"],
                 "<ticket-42@desk.example.org>"), (["-debug", "-log", os.devnull], None)]
        for more, expected in rows:
            with self.subTest(more=more), AiosmtpdServer() as server:
                status, out = self.quib(server, body, "-t", "ann@example.org", *more)
                self.assertEqual(status, 0, out)
                message, _ = read_back(self, server.messages[0].content)
                if expected is None:
                    self.assertIsNone(message["Message-ID"])
                else:
                    self.assertRegex(message["Message-ID"], expected)

    def test_dsn_and_international_addresses_with_aiosmtpd(self):
        body = self.file("b.txt", b"hello\n")
        with ParameterServer() as server:
            status, out = self.quib(server, body, "-t", "j\u00f6rg@ex\u00e4mple.de,bob@example.org",
                                    "-dsn", "failure,delay", "-charset", "utf-8")
            self.assertEqual(status, 0, out)
            (kept,) = server.messages
            message, _ = read_back(self, kept.content)
            envid = message["Message-ID"][1:].split("@")[0].upper()
            self.assertEqual(server.handler.mail_options, [["SMTPUTF8", "RET=HDRS",
                                                            "ENVID=" + envid]])
            self.assertEqual(server.handler.rcpt_options, [["NOTIFY=FAILURE,DELAY"]] * 2)
            self.assertEqual(kept.rcpt_tos, ["j\u00f6rg@ex\u00e4mple.de", "bob@example.org"])

    def test_a_queued_entry_keeps_its_dialogue_options(self):
        body = self.file("b.txt", b"hello\n")
        port = quibtest.free_port()
        env = {"QUIB_QUEUE_DIR": os.path.join(self.work, "queue")}
        status, out, _ = run_quib([body, "-t", "ann@example.org,bob@example.org", "-server",
                                   "127.0.0.1:%d" % port, "-f", SENDER, "-queue", "-dsn",
                                   "failure", "-rcpt-skip-refused"], registry=self.registry,
                                  env=env)
        self.assertEqual(status, 14, out)
        with ParameterServer(port=port) as server:
            server.handler.refuse = ["bob@example.org"]
            status, out, _ = run_quib(["-flush"], registry=self.registry, env=env)
            self.assertEqual(status, 0, out)
            self.assertRegex(out, rb"^sent \S+ to ann@example.org and 1 more: refused "
                                  rb"bob@example.org\n$")
            (kept,) = server.messages
            message, _ = read_back(self, kept.content)
            self.assertRegex(message["Message-ID"], r"^<\d+\.[0-9a-f]{16}@[^@>]+\.[^@>]+>$")
            envid = message["Message-ID"][1:].split("@")[0].upper()
            self.assertEqual(server.handler.mail_options, [["RET=HDRS", "ENVID=" + envid]])
            self.assertEqual(server.handler.rcpt_options, [["NOTIFY=FAILURE"]] * 2)

    def test_servers_without_the_extensions(self):
        body = self.file("b.txt", b"caf\xc3\xa9 ol\xc3\xa9\n")
        rows = [(["-dsn", "never"], 0, "The mail server does not offer DSN"),
                (["-t", "j\u00f6rg@example.de"], -1, "does not offer SMTPUTF8"),
                (["-8bit"], 0, "does not offer 8BITMIME: the body goes quoted-printable")]
        for more, status, printed in rows:
            with self.subTest(more=more), ParameterServer(plain=True) as server:
                got, out = self.quib(server, body, "-t", "ann@example.org", *more)
                self.assertEqual(got, status, out)
                self.assertIn(printed, out)
        with SmtpSink(dump=False) as sink:
            got, out = run_quib([body, "-t", "j\u00f6rg@example.de", "-server", sink.address, "-f",
                                 SENDER], registry=self.registry)[:2]
            self.assertEqual(got, -1)
            self.assertIn(b"SMTPUTF8", out)

    def test_eight_bit_body_goes_as_it_stands_where_offered(self):
        body = self.file("b.txt", b"caf\xc3\xa9\n" + b"x" * 999 + b"\n")
        short = self.file("s.txt", b"caf\xc3\xa9\n")
        for path, encoding in ((short, "8bit"), (body, "quoted-printable")):
            with self.subTest(encoding), ParameterServer() as server:
                status, out = self.quib(server, path, "-t", "ann@example.org", "-8bit")
                self.assertEqual(status, 0, out)
                message, _ = read_back(self, server.messages[0].content)
                self.assertEqual(message["Content-Transfer-Encoding"], encoding)
                self.assertEqual(message.get_content_charset(), "utf-8")
                self.assertEqual(server.handler.mail_options[0][:1],
                                 ["BODY=8BITMIME"] if encoding == "8bit" else [])
                with open(path, "rb") as f:
                    self.assertEqual(message.get_content().encode(), f.read().replace(b"\n", b"\r\n"))

    def test_refused_header_lines(self):
        body = self.file("b.txt", b"hello\n")
        rows = [("X-A: one\rtwo", "line break"), ("X-A: one\ntwo", "line break"),
                ("Subject: mine", "quib writes Subject itself"),
                ("Content-Type: text/x", "quib writes Content-Type itself"),
                ("Bad Name: x", "field name"), ("NoColon", "no field name"),
                ("Message-ID: <not valid>", "Message-ID")]
        for header, why in rows:
            with self.subTest(header), AiosmtpdServer() as server:
                status, out = self.quib(server, body, "-t", "ann@example.org", "-header", header)
                self.assertEqual(status, 1, out)
                self.assertIn(why, out)
                self.assertTrue(out.endswith(": aborting, nothing sent\n"), out)
                self.assertEqual(server.messages, [])


def ehlo_reply(*lines):
    return [("line",), reply("\r\n".join(lines))]


SKIP_RCPT = [("line",), reply("250 recipient ok")]
REFUSE_RCPT = [("line",), reply("550 5.1.1 no such user")]


class ScriptedDialogue(quibtest.StoredSettingsCase):
    SENDER = SENDER
    WORK_PREFIX = "quib-modern-fault-"

    def run_script(self, script, *args):
        with FaultServer(script) as server:
            status, out, _ = run_quib(["-", "-server", server.address, "-f", SENDER] + list(args),
                                      registry=self.registry, stdin=b"hi\n",
                                      env={"TMPDIR": self.tmpdir})
            server.release()
        return status, out.decode(), server.commands()

    def test_rcpt_skip_refused(self):
        some = GREETING + [("line",), reply("250 fault.example")] + MAIL + REFUSE_RCPT + \
            SKIP_RCPT + REFUSE_RCPT + DATA + TEXT + QUIT
        status, out, commands = self.run_script(some, "-t", "a@x,b@x,c@x", "-rcpt-skip-refused")
        self.assertEqual(status, 15, out)
        self.assertTrue(out.endswith("a@x: refused by the mail server with 550\n"
                                     "c@x: refused by the mail server with 550\n"), out)
        self.assertEqual(commands[1:], [b"MAIL From:<me@example.org>", b"RCPT To: <a@x>",
                                        b"RCPT To: <b@x>", b"RCPT To: <c@x>", b"DATA",
                                        b"QUIT"])
        self.assertRegex(commands[0].decode(), r"^HELO ")
        none = GREETING + [("line",), reply("250 fault.example")] + MAIL + REFUSE_RCPT * 2 + QUIT
        status, out, commands = self.run_script(none, "-t", "a@x,b@x", "-rcpt-skip-refused")
        self.assertEqual(status, -1, out)
        self.assertTrue(out.endswith("b@x: refused by the mail server with 550\n"
                                     "The mail server accepted none of the recipients\n"), out)
        self.assertEqual(commands[-1], b"QUIT")

    def test_extensions_named_after_a_long_ehlo_reply(self):
        filler = ["250-X-FILLER-%04d %s" % (i, "x" * 60) for i in range(100)]
        script = GREETING + ehlo_reply("250-fault.example", *filler, "250-8BITMIME",
                                       "250 DSN") + MAIL + SKIP_RCPT + DATA + TEXT + QUIT
        status, out, commands = self.run_script(script, "-t", "a@x", "-dsn", "never", "-8bit")
        self.assertEqual(status, 0, out)
        self.assertRegex(commands[1].decode(), r"^MAIL From:<me@example.org> RET=HDRS ENVID=")
        self.assertEqual(commands[2], b"RCPT To: <a@x> NOTIFY=NEVER")

    def test_ehlo_refused_falls_back_to_helo_once(self):
        script = GREETING + ehlo_reply("502 5.5.1 no") + [("line",), reply("250 ok")] + MAIL + \
            SKIP_RCPT + DATA + TEXT + QUIT
        status, out, commands = self.run_script(script, "-t", "a@x", "-dsn", "success")
        self.assertEqual(status, 0, out)
        self.assertEqual([c.split(b" ")[0] for c in commands[:3]], [b"EHLO", b"HELO", b"MAIL"])
        self.assertEqual(commands[2], b"MAIL From:<me@example.org>")
        self.assertEqual(commands[3], b"RCPT To: <a@x>")
        refused = GREETING + ehlo_reply("502 5.5.1 no") + QUIT
        status, out, commands = self.run_script(refused, "-t", "j\u00f6rg@x")
        self.assertEqual(status, -1, out)
        self.assertEqual([c.split(b" ")[0] for c in commands], [b"EHLO", b"QUIT"])
