"""-oauth, -oauth-check, -oauth-login and -passcmd: quib as a process
against the token endpoint stand-in (tests/fakes/token_endpoint.py, over
HTTPS with a throwaway authority) and aiosmtpd whose XOAUTH2 takes only the
token that endpoint issued last."""
import base64
import os
import re
import shutil
import stat
import subprocess
import tempfile
import threading
import time
import unittest

from aiosmtpd.smtp import AuthResult

from quibtest import AiosmtpdServer, QUIB, RUNNER, UNDER_WINE, run_quib
from token_endpoint import Authority, TokenEndpoint

MS_PATH = "/contoso.example/oauth2/v2.0/"


class TokenCase(unittest.TestCase):
    tls = not UNDER_WINE  # Wine's WinHTTP trusts no private authority: plain HTTP on loopback

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quib-oauth-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.authority = Authority(self.dir)
        self.endpoint = TokenEndpoint(self.authority, tls=self.tls).__enter__()
        self.addCleanup(self.endpoint.__exit__)
        endpoint = self.endpoint
        self.logins = []

        async def auth_XOAUTH2(server, args):
            fields = base64.b64decode(args[1]).split(b"\x01")
            token = fields[1].decode().removeprefix("auth=Bearer ")
            self.logins.append(token)
            return AuthResult(success=token == endpoint.last_token, handled=False)
        self.smtp = AiosmtpdServer(auth_require_tls=False)
        self.smtp.handler.auth_XOAUTH2 = auth_XOAUTH2
        self.smtp.__enter__()
        self.addCleanup(self.smtp.__exit__)
        self.body = os.path.join(self.dir, "body.txt")
        with open(self.body, "w") as f:
            f.write("hello\n")
        self.file = os.path.join(self.dir, "oauth.conf")

    def write(self, text, mode=0o600):
        with open(self.file, "w") as f:
            f.write(text.replace("{ep}", self.endpoint.base))
        os.chmod(self.file, mode)

    def microsoft(self, *lines):
        self.write("# Microsoft 365, app registration\nprovider = microsoft\n\ntenant = contoso.example\n"
                   "token_url = {ep}" + MS_PATH + "token\ndevice_url = {ep}" + MS_PATH + "devicecode\n"
                   "client_id = 00000000-aaaa\n" + "".join(line + "\n" for line in lines))

    def env(self):
        return {"SSL_CERT_FILE": self.authority.ca_file} if self.tls else {}

    def send(self, *extra, env=None):
        return run_quib([self.body, "-t", "to@example.org", "-f", "me@example.org", "-server",
                         "127.0.0.1:%d" % self.smtp.controller.port, "-u", "me@example.org",
                         "-oauth", self.file] + list(extra), env=dict(self.env(), **(env or {})))

    def value(self, key):
        with open(self.file) as f:
            found = re.search(r"^%s = (.*)$" % key, f.read(), re.M)
        return found and found.group(1)


class Grants(TokenCase):
    def test_each_grant_sends_and_caches_its_token(self):
        rows = [  # name, file, rotated refresh token expected
            ("secret", lambda: self.microsoft("client_secret = s3cret-app"), False),
            ("certificate", lambda: self.microsoft("certificate = " + self.authority.app_pem), False),
            ("certificate, PKCS#1 key", lambda: self.microsoft("certificate = " + self.authority.app_pem_rsa), False),
            ("refresh", lambda: self.microsoft("refresh_token = rt-0"), True),
            ("service account", lambda: self.write("provider = google\nservice_account = %s\n"
                                                    % self.authority.service_account(self.endpoint.base + "/token")),
             False),
            ("google refresh", lambda: self.write("provider = google\ntoken_url = {ep}/token\nclient_id = g\n"
                                                  "client_secret = s3cret-app\nrefresh_token = rt-0\n"), False),
        ]
        for name, setup, rotated in rows:
            with self.subTest(name):
                setup()
                self.endpoint.requests, self.endpoint.refresh_token = 0, "rt-0"
                before = len(self.smtp.messages)
                status, out, err = self.send("-debug")
                self.assertEqual((status, self.endpoint.requests, len(self.smtp.messages)), (0, 1, before + 1),
                                 out + err)
                token = self.endpoint.last_token
                self.assertEqual(self.value("access_token"), token)
                self.assertNotIn(token.encode(), out + err)
                self.assertRegex(err, rb"token request to [^ ]+: grant_type=[a-z_:-]+, HTTP 200, expires in 3599 s")
                self.assertEqual(self.value("refresh_token"), "rt-1" if rotated else (
                    "rt-0" if "refresh" in name else None))
                self.assertEqual(self.send()[0], 0)  # the cached token: no second request
                self.assertEqual(self.endpoint.requests, 1)
        self.assertEqual(self.endpoint.subject, "me@example.org")  # domain-wide delegation

    def test_stand_in_answers_curl_as_documented(self):
        reply = subprocess.run(["curl", "-sS", "--cacert", self.authority.ca_file, "-d", "client_id=c",
                                "--data-urlencode", "scope=https://outlook.office365.com/.default",
                                "-d", "client_secret=s3cret-app", "-d", "grant_type=client_credentials",
                                self.endpoint.base + MS_PATH + "token"], capture_output=True, check=True)
        self.assertRegex(reply.stdout, rb'^\{"access_token": "at-1-[0-9a-f]+", "expires_in": 3599, '
                         rb'"token_type": "Bearer", "scope": "https://outlook.office365.com/.default"')

    def test_expiring_token_is_fetched_again_and_refused_cached_one_retried(self):
        self.microsoft("client_secret = s3cret-app", "access_token = old", "expires_at = %d" % (time.time() + 200))
        self.assertEqual(self.send()[0], 0)
        self.assertEqual((self.endpoint.requests, self.logins), (1, [self.endpoint.last_token]))
        self.endpoint.last_token = "revoked"  # the server no longer takes the cached token
        status, out, _ = self.send()
        self.assertEqual((status, self.endpoint.requests, len(self.smtp.messages)), (0, 2, 2), out)
        self.assertEqual(self.logins[-1], self.value("access_token"))
        self.endpoint.last_token = "revoked"
        self.endpoint.reply = (200, {"access_token": "never-taken", "expires_in": 3599})
        self.assertEqual(self.send()[0], -1)  # a fresh token refused ends the run as a refused login

    def test_check_prints_grant_endpoint_and_minutes(self):
        self.microsoft("refresh_token = rt-0")
        status, out, _ = run_quib(["-oauth-check", self.file], env=self.env())
        self.assertEqual(status, 0)
        self.assertEqual(out.decode(), "grant: refresh_token\nendpoint: %s%stoken\ntoken: new, 59 minutes left\n"
                         % (self.endpoint.base, MS_PATH))
        self.assertEqual(run_quib(["-oauth-check", self.file, "-q"])[0], 1)

    def test_ten_runs_at_once_ask_once_and_keep_the_file_whole(self):
        self.microsoft("refresh_token = rt-0")
        results = []
        threads = [threading.Thread(target=lambda: results.append(self.send()[0])) for _ in range(10)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual((results, self.endpoint.requests), ([0] * 10, 1))
        with open(self.file) as f:
            text = f.read()
        self.assertTrue(text.startswith("# Microsoft 365, app registration\nprovider = microsoft\n\ntenant"))
        self.assertEqual(self.value("refresh_token"), self.endpoint.refresh_token)
        self.assertEqual(stat.S_IMODE(os.stat(self.file).st_mode), 0o600)


class Failures(TokenCase):
    def test_failures_end_with_status_12_before_any_traffic(self):
        dead = "https://127.0.0.1:1/t"
        rows = [  # name, file lines, endpoint reply, env, expected message
            ("unreachable", ["client_secret = x", "token_url = " + dead], None, {}, "token request to " + dead),
            ("invalid_client", ["client_secret = wrong"], None, {}, "HTTP 401, invalid_client: AADSTS7000215"),
            ("invalid_grant", ["refresh_token = rt-old"], None, {},
             "invalid_grant: AADSTS70008: The refresh token has expired.; run quib -oauth-login %s again"),
            ("not JSON", ["client_secret = s3cret-app"], (200, b"<html>"), {}, "a reply that is not JSON"),
            ("no access_token", ["client_secret = s3cret-app"], (200, {"token_type": "Bearer"}), {},
             "a reply without an access_token"),
            ("unknown key", ["client_secert = hunter2"], None, {}, "%s line 8: not a known key"),
            ("clear text", ["client_secret = x", "token_url = http://example.org/t"], None, {},
             "the endpoints must be https://"),
        ]
        if self.tls:
            rows.append(("TLS refused", ["client_secret = s3cret-app"], None, {"SSL_CERT_FILE": os.devnull},
                         "token request to "))
        for name, lines, reply, env, message in rows:
            with self.subTest(name):
                self.microsoft(*lines)
                self.endpoint.reply = reply
                status, out, _ = self.send(env=env)
                self.assertEqual(status, 12, out)
                self.assertIn(message.replace("%s", self.file), out.decode())
                self.assertTrue(out.endswith(b"\naborting, nothing sent\n"), out)
                self.assertNotIn(b"hunter2", out)
        self.assertEqual((self.smtp.messages, self.logins), ([], []))

    def test_file_others_can_read_is_refused(self):
        self.microsoft("client_secret = s3cret-app")
        os.chmod(self.file, 0o644)
        status, out, _ = self.send()
        self.assertEqual((status, self.endpoint.requests), (12, 0))
        self.assertIn(b"can be read by others", out)

    def test_options_that_cannot_go_together_are_status_1(self):
        self.microsoft("client_secret = s3cret-app")
        for extra in (["-pass", "x"], ["-passcmd", "echo x"], ["-auth", "plain"]):
            with self.subTest(extra):
                self.assertEqual(self.send(*extra)[0], 1)
        self.assertEqual(run_quib([self.body, "-t", "a@b", "-f", "me@x", "-server", "127.0.0.1:1", "-u", "me",
                                   "-pass", "x", "-passcmd", "echo y"])[0], 1)
        self.assertEqual(run_quib(["-oauth-login", self.file, "extra"])[0], 1)
        self.assertEqual(self.endpoint.requests, 0)


class DeviceLogin(TokenCase):
    def test_device_flow_polls_and_stores_the_refresh_token(self):
        self.microsoft()
        self.endpoint.device_answers = ["authorization_pending", "slow_down"]
        status, out, _ = run_quib(["-oauth-login", self.file], env=self.env(), timeout=60)
        self.assertEqual((status, out.decode()), (0, "To sign in, open https://microsoft.com/devicelogin and enter "
                                                      "the code QB-7X2\nsigned in: the refresh token is stored in %s\n"
                                                      % self.file))
        self.assertEqual(self.value("refresh_token"), self.endpoint.refresh_token)
        self.endpoint.device_answers = ["expired_token"]
        status, out, _ = run_quib(["-oauth-login", self.file], env=self.env(), timeout=60)
        self.assertEqual(status, 12)
        self.assertIn(b"expired_token", out)


@unittest.skipIf(UNDER_WINE, "the shell commands are POSIX ones")
class PassCommand(unittest.TestCase):
    def test_command_results(self):
        rows = [  # command, status, message
            ("printf 'tok\\r\\nmore'", -1, b"Error"),  # the secret found: the run goes on to connect
            ("exit 3", 12, b"-passcmd: the command ended with status 3\n"),
            ("kill -9 $$", 12, b"-passcmd: the command was killed by signal 9\n"),
            ("echo", 12, b"-passcmd: the command printed an empty first line\n"),
            ("sleep 100; echo late", 12, b"-passcmd: the command ran longer than 60 s and was killed\n"),
        ]
        with tempfile.NamedTemporaryFile() as body:
            for command, status, message in rows:
                with self.subTest(command):
                    got, out, _ = run_quib([body.name, "-t", "a@b", "-f", "me@x", "-server", "127.0.0.1:1",
                                            "-u", "me", "-passcmd", command], timeout=120)
                    self.assertEqual(got, status, out)
                    self.assertIn(message, out)


if __name__ == "__main__":
    unittest.main()
