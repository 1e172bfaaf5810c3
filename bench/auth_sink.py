#!/usr/bin/python3
"""An SMTP sink that requires STARTTLS and a login, for the login figures of
bench.py, and forgets every message. With USER and PASSWORD: aiosmtpd's own
AUTH PLAIN and LOGIN, letting in that user and password; without them:
XOAUTH2 with a token the bench's token endpoint issued ("at-...").

    auth_sink.py CERT KEY PORT [USER PASSWORD]
"""
import base64
import signal
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Forget:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK"


class ForgetAfterXoauth2(Forget):
    async def auth_XOAUTH2(self, server, args):
        fields = base64.b64decode(args[1]).split(b"\x01")
        return AuthResult(success=fields[1].startswith(b"auth=Bearer at-"), handled=False)


def password_check(user, password):
    def authenticator(server, session, envelope, mechanism, data):
        good = isinstance(data, LoginPassword) and (data.login, data.password) == (
            user.encode(), password.encode())
        return AuthResult(success=good, handled=False)
    return authenticator


def main():
    cert, key, port = sys.argv[1:4]
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    if len(sys.argv) > 4:
        handler, authenticator = Forget(), password_check(*sys.argv[4:6])
    else:
        handler, authenticator = ForgetAfterXoauth2(), None
    controller = Controller(handler, hostname="127.0.0.1", port=int(port), tls_context=context,
                            require_starttls=True, authenticator=authenticator, auth_required=True,
                            data_size_limit=None)
    controller.start()
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    controller.stop()


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    main()
