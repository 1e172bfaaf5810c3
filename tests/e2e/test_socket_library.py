"""Finding and using the socket library: quib as a process, real servers."""
import hashlib
import logging
import os
import re
import shutil
import socket
import ssl
import struct
import subprocess
import tempfile
import threading
import types
import unittest
import warnings

from fault_server import FaultServer, reply
from messages import CONNECTION_REFUSED, NOT_LOADED, SERVER_ERROR
from quibtest import (BIN_DIR, EXE, QUIB, RUNNER, UNDER_WINE, AiosmtpdServer, Registry,
                      free_port, password_check, run_quib)

LIBRARY = "gensock.dll" if UNDER_WINE else "libgensock.so"
PLANTED = "gwinsock.dll" if UNDER_WINE else "libgwinsock.so"  # the name quib asks for first


class MailingCase(unittest.TestCase):
    """A body file and a registry folder of the test's own; mails with quib."""

    def setUp(self):
        self.registry = Registry()
        self.folder = tempfile.mkdtemp(prefix="quib-lib-")
        self.body = os.path.join(self.folder, "body.txt")
        with open(self.body, "wb") as f:
            f.write(b"first\n.dot\n\nlast\n")

    def tearDown(self):
        self.registry.cleanup()
        shutil.rmtree(self.folder, ignore_errors=True)

    def mail(self, server, quib=None, env=None, cwd=None, more=()):
        """Mails the body to server with the built quib, or with a copy of it."""
        args = [self.body, "-t", "ann@example.org", "-f", "me@example.org", "-server", server]
        args += list(more)
        return run_quib(args, registry=self.registry, env=dict(env or {}, LD_LIBRARY_PATH=""),
                        program=quib or QUIB, cwd=cwd)

    def copy_quib(self, with_library_in, tree="tree"):
        """A copy of quib in <tree>/bin, the library in <tree>/<with_library_in>."""
        bin_dir = os.path.join(self.folder, tree, "bin")
        os.makedirs(bin_dir)
        shutil.copy2(QUIB, bin_dir)
        if with_library_in:
            target = os.path.join(self.folder, tree, with_library_in)
            os.makedirs(target, exist_ok=True)
            shutil.copy2(os.path.join(BIN_DIR, LIBRARY), target)
        return os.path.join(bin_dir, EXE)


class SocketLibraryTest(MailingCase):
    def test_lf_text_arrives_with_every_line_intact(self):
        with AiosmtpdServer() as server:
            status, out, _ = self.mail(server.address)
        self.assertEqual(status, 0, out)
        self.assertEqual(len(server.messages), 1)
        content = server.messages[0].content
        self.assertTrue(content.endswith(b"\r\n\r\nfirst\r\n.dot\r\n\r\nlast\r\n"), content)
        self.assertNotIn(b"\n", content.replace(b"\r\n", b""))

    def test_missing_library_is_reported(self):
        # A library in the current folder (planted in a download folder) does not count.
        quib = self.copy_quib(with_library_in=None)
        downloads = os.path.join(self.folder, "downloads")
        os.mkdir(downloads)
        shutil.copy2(os.path.join(BIN_DIR, LIBRARY), os.path.join(downloads, PLANTED))
        with AiosmtpdServer() as server:
            status, out, _ = self.mail(server.address, quib, cwd=downloads)
        self.assertEqual(status, -1)
        self.assertTrue(out.endswith(NOT_LOADED), out)
        self.assertEqual(server.messages, [])

    @unittest.skipIf(UNDER_WINE, "an installed tree with lib/ is a POSIX layout")
    def test_installed_tree_finds_the_library_in_lib(self):
        # lib/quib is where the package puts it; lib/ where older installs did.
        for lib_dir in ("lib/quib", "lib"):
            with self.subTest(lib_dir=lib_dir):
                quib = self.copy_quib(with_library_in=lib_dir, tree=lib_dir.replace("/", "-"))
                with AiosmtpdServer() as server:
                    status, out, _ = self.mail(server.address, quib)
                self.assertEqual(status, 0, out)
                self.assertEqual(len(server.messages), 1)

    def test_nothing_listening_is_refused(self):
        status, out, _ = self.mail("127.0.0.1:%d" % free_port())
        self.assertEqual(status, -1)
        self.assertTrue(out.endswith(CONNECTION_REFUSED), out)

    def test_ipv6_loopback_with_port(self):
        try:
            probe = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
            probe.bind(("::1", 0))
            port = probe.getsockname()[1]
            probe.listen(1)
        except OSError:
            self.skipTest("::1 unavailable")
        with probe:
            accepted = []
            def serve():
                conn, _ = probe.accept()
                with conn:
                    conn.sendall(b"554 no service\r\n")
                    accepted.append(conn.recv(64))
            thread = threading.Thread(target=serve)
            thread.start()
            status, out, _ = self.mail("[::1]:%d" % port)
            thread.join(timeout=10)
        self.assertEqual(status, -1)
        self.assertTrue(out.endswith(SERVER_ERROR), out)
        self.assertEqual(accepted, [b"QUIT\r\n"])


# ---- smtps:// and starttls:// -----------------------------------------------
GOOD_NAMES = "DNS:localhost,IP:127.0.0.1"
# Server certificates: issuing authority, subjectAltName, validity.
CERTIFICATES = {
    "good": ("test-ca", GOOD_NAMES, ["-days", "30"]),
    "wrong_name": ("test-ca", "DNS:mail.example.org", ["-days", "30"]),
    "expired": ("test-ca", GOOD_NAMES, ["-startdate", "20200101000000Z",
                                        "-enddate", "20200201000000Z"]),
    "untrusted": ("unknown-ca", GOOD_NAMES, ["-days", "30"]),
    "cn_only": ("test-ca", None, ["-days", "30"]),  # CN=localhost, no subjectAltName
}
CA_CONFIG = """[ca]
default_ca = issuing
[issuing]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
"""
EC_KEY = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
EHLO_WITH_STARTTLS = [reply("220 plain"), ("line",), reply("250-hi\r\n250 STARTTLS"), ("line",)]

# (case, server, certificate, server name, exit code; None: delivered)
TLS_CASES = [
    ("smtps, an IP literal", "smtps", "good", "smtps://127.0.0.1:%d", None),
    ("starttls, a host name", "starttls", "good", "STARTTLS://localhost:%d", None),
    ("no STARTTLS offered", "plain", None, "starttls://127.0.0.1:%d", 4018),
    ("unknown authority", "smtps", "untrusted", "smtps://127.0.0.1:%d", 4021),
    ("name not in the certificate", "starttls", "wrong_name", "starttls://localhost:%d", 4022),
    ("expired certificate", "smtps", "expired", "smtps://localhost:%d", 4023),
    ("a name only in the subject's CN", "starttls", "cn_only", "starttls://localhost:%d", 4022),
    ("a server of TLS 1.1 at most", "tls1.1", "good", "smtps://localhost:%d", 4020),
    ("TLS 1.2, renegotiation before the reply to MAIL", "renegotiating", "good",
     "smtps://localhost:%d", None),
]
# Scripted servers: what quib must never do in plain text. (case, form, script, code)
TLS_FAULTS = [
    ("STARTTLS refused", "starttls://", EHLO_WITH_STARTTLS + [reply("454 not now")], 4019),
    ("bytes after the 220", "starttls://", EHLO_WITH_STARTTLS + [reply("220 go\r\n250 early")],
     4019),
    ("a plain server for smtps", "smtps://", [reply("220 plain")], 4020),
]


def openssl(folder, *args):
    subprocess.run(["openssl"] + list(args), cwd=folder, check=True, capture_output=True)


def make_certificates(folder):
    """Two authorities and the server certificates; returns the trusted CA's file."""
    with open(os.path.join(folder, "ca.cnf"), "w") as f:
        f.write(CA_CONFIG)
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w") as f:
        f.write("1000\n")
    for ca in ("test-ca", "unknown-ca"):
        openssl(folder, "req", "-x509", *EC_KEY, "-keyout", ca + ".key", "-out", ca + ".pem",
                "-subj", "/CN=" + ca, "-days", "30")
    for name, (ca, names, validity) in CERTIFICATES.items():
        with open(os.path.join(folder, name + ".ext"), "w") as f:
            f.write("[server]\n" + ("subjectAltName = %s\n" % names if names else
                                    "basicConstraints = CA:FALSE\n"))
        openssl(folder, "req", "-new", *EC_KEY, "-keyout", name + ".key", "-out", name + ".csr",
                "-subj", "/CN=" + (name if names else "localhost"))
        openssl(folder, "ca", "-batch", "-notext", "-config", "ca.cnf", "-cert", ca + ".pem",
                "-keyfile", ca + ".key", "-in", name + ".csr", "-out", name + ".pem",
                "-extfile", name + ".ext", "-extensions", "server", *validity)
    return os.path.join(folder, "test-ca.pem")


def trust_under_wine(folder, ca_file):
    """Adds the authority to the Root store of the Wine prefix the tests run in
    (the registry value crypt32 reads: the certificate after a property header)."""
    with open(ca_file) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    blob = struct.pack("<III", 32, 1, len(der)) + der  # CERT_CERT_PROP_ID, 1, size
    reg = os.path.join(folder, "root.reg")
    with open(reg, "w") as f:
        f.write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Microsoft"
                "\\SystemCertificates\\Root\\Certificates\\%s]\r\n\"Blob\"=hex:%s\r\n"
                % (hashlib.sha1(der).hexdigest().upper(), ",".join("%02x" % b for b in blob)))
    subprocess.run(RUNNER + ["regedit", "/S", reg], check=True, capture_output=True)


# openssl s_server's protocol options for the kinds of server it plays.
OPENSSL_SERVERS = {"renegotiating": ["-tls1_2"],
                   "tls1.1": ["-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"]}


class OpensslServer:
    """openssl s_server with the protocol options given, its replies typed on
    its standard input; before the reply to MAIL it asks for a renegotiation
    (key R). Keeps the message text as aiosmtpd would (dots unstuffed)."""
    REPLIES = [(b"HELO", b"250 hello"), (b"MAIL", b"R"), (b"SSL_do_handshake", b"250 sender ok"),
               (b"RCPT", b"250 recipient ok"), (b"DATA", b"354 go ahead"), (b".\r\n", b"250 kept"),
               (b"QUIT", b"221 bye")]

    def __init__(self, base, protocol):
        self.proc = subprocess.Popen(
            ["openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", base + ".pem", "-key",
             base + ".key", "-crlf"] + protocol, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL)
        for line in iter(self.proc.stdout.readline, b""):  # b"" if it failed to start
            if line.startswith(b"ACCEPT"):
                break
        self.port = int(line.rsplit(b":", 1)[1])
        self.messages, self.text = [], None
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def type(self, text):
        self.proc.stdin.write(text + b"\n")
        self.proc.stdin.flush()

    def serve(self):
        replies = list(self.REPLIES)
        for line in iter(self.proc.stdout.readline, b""):
            if b"CIPHER is" in line:
                self.type(b"220 renegotiating.example")
            elif self.text is not None and line != b".\r\n":
                self.text += line[1:] if line.startswith(b".") else line
                continue
            if replies and line.startswith(replies[0][0]):
                if line == b".\r\n":
                    self.messages.append(types.SimpleNamespace(content=self.text))
                self.text = b"" if replies[0][0] == b"DATA" else None
                self.type(replies.pop(0)[1])
                if not replies:
                    return

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()
        self.thread.join(timeout=10)
        self.proc.stdin.close()
        self.proc.stdout.close()


class TlsTest(MailingCase):
    @classmethod
    def setUpClass(cls):
        cls.certificates = tempfile.mkdtemp(prefix="quib-tls-")
        # Only the test authority is trusted, not the machine's.
        cls.trusted = {"SSL_CERT_FILE": make_certificates(cls.certificates),
                       "SSL_CERT_DIR": cls.certificates}
        logging.getLogger("mail.log").setLevel(logging.CRITICAL)  # refused handshakes are expected
        warnings.filterwarnings("ignore", "Requiring AUTH while not requiring TLS")  # smtps is TLS
        if UNDER_WINE:
            trust_under_wine(cls.certificates, cls.trusted["SSL_CERT_FILE"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certificates, ignore_errors=True)

    def server(self, kind, certificate, **options):
        if kind == "plain":
            return AiosmtpdServer()
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        base = os.path.join(self.certificates, certificate)
        if kind in OPENSSL_SERVERS:
            return OpensslServer(base, OPENSSL_SERVERS[kind])
        context.load_cert_chain(base + ".pem", base + ".key")
        if kind == "smtps":
            # aiosmtpd sees no TLS of its own here, so it must be told that AUTH may go.
            return AiosmtpdServer(ssl_context=context, auth_require_tls=False, **options)
        return AiosmtpdServer(tls_context=context, require_starttls=True, **options)

    def test_login_inside_both_tls_forms(self):
        """aiosmtpd's own AUTH PLAIN, with a login required: a good password
        delivers, a wrong one ends before MAIL."""
        login = dict(authenticator=password_check("ann", "s3cret"), auth_required=True)
        for kind in ("smtps", "starttls"):
            for password in ("s3cret", "wrong"):
                with self.subTest(kind, password=password), \
                        self.server(kind, "good", **login) as server:
                    status, out, _ = self.mail("%s://localhost:%d" % (kind, server.port),
                                               env=self.trusted, more=["-u", "ann", "-pass",
                                                                       password])
                    if password == "wrong":
                        self.assertEqual(status, -1)
                        self.assertTrue(out.endswith(b"Login failed at AUTH PLAIN: 535 5.7.8 "
                                                     b"Authentication credentials invalid\n"), out)
                    self.assertEqual((status, len(server.messages)),
                                     (-1, 0) if password == "wrong" else (0, 1), out)

    def test_tls_forms_deliver_or_fail_before_any_message_byte(self):
        for case, kind, certificate, name, code in TLS_CASES:
            if UNDER_WINE and code is None and "127.0.0.1" in name:
                continue  # Wine's SSL policy matches no IP address (README.md)
            if UNDER_WINE and kind == "renegotiating":
                continue  # Wine's SChannel cannot begin a client's new handshake (README.md)
            with self.subTest(case), self.server(kind, certificate) as server:
                status, out, _ = self.mail(name % server.port, env=self.trusted)
                if code is None:
                    self.assertEqual(status, 0, out)
                    self.assertEqual(len(server.messages), 1)
                    self.assertTrue(server.messages[0].content.endswith(
                        b"\r\n\r\nfirst\r\n.dot\r\n\r\nlast\r\n"))
                else:
                    self.assertEqual(status, -1)
                    self.assertTrue(out.endswith(b"error %d in function 'gensock_connect'" % code),
                                    out)
                    self.assertEqual(server.messages, [])

    def test_debug_shows_the_exchange_the_agreement_and_the_certificate(self):
        # OpenSSL names its version "TLSv1.3" and its cipher; SChannel "TLS 1.2" and an ALG_ID.
        agreed = r"\* TLS 1\.[23], cipher 0x" if UNDER_WINE else r"\* TLSv1\.[23], cipher [A-Z]"
        for certificate, verdict in (("good", r"ok"), ("expired", r"(?!ok).+")):
            with self.subTest(certificate), self.server("starttls", certificate) as server:
                status, _, err = self.mail("starttls://localhost:%d" % server.port,
                                           env=self.trusted, more=["-debug"])
                lines = [line.split(" ms ", 1)[1] for line in err.decode("ascii").splitlines()]
                self.assertEqual(status, 0 if certificate == "good" else -1)
                for expected in (r"\* socket library gensock\.dll loaded from .*[/\\]"
                                 + re.escape(LIBRARY),
                                 r"> STARTTLS", r"< 220 .*", r"\* TLS handshake with localhost",
                                 r"\* certificate subject: CN=%s" % certificate,
                                 r"\* certificate issuer: CN=test-ca",
                                 r"\* certificate names: DNS:localhost, IP.*",
                                 r"\* certificate verification: " + verdict):
                    self.assertTrue(any(re.fullmatch(expected, line) for line in lines), expected)
                if certificate == "good":
                    self.assertTrue(any(re.match(agreed, line) for line in lines), lines)
                    # The greeting read before STARTTLS, handed on by the library.
                    self.assertTrue(any(re.fullmatch(r"\* replayed by the socket library: 220 .*",
                                                     line) for line in lines), lines)
                else:
                    self.assertRegex(lines[-2], r"failed at connecting to starttls://localhost:\d+:"
                                                r" gensock_connect failed with 4023")

    def test_nothing_travels_in_plain_text_when_tls_is_asked_for(self):
        for case, scheme, script, code in TLS_FAULTS:
            with self.subTest(case), FaultServer(script) as server:
                status, out, _ = self.mail(scheme + server.address, env=self.trusted)
            self.assertEqual(status, -1)
            self.assertTrue(out.endswith(b"error %d in function 'gensock_connect'" % code), out)
            for word in (b"HELO", b"MAIL", b"first"):
                self.assertNotIn(word, server.received)
            if scheme == "smtps://":
                self.assertTrue(server.received.startswith(b"\x16\x03"), server.received)


if __name__ == "__main__":
    unittest.main()
