#!/usr/bin/python3
"""An SMTP sink that requires STARTTLS and a login, for the login figure of
bench.py: aiosmtpd with its own AUTH PLAIN and LOGIN, letting in the one
user and password named, and forgetting every message.

    auth_sink.py CERT KEY PORT USER PASSWORD
"""
import signal
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Forget:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK"


def main():
    cert, key, port, user, password = sys.argv[1:6]
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)

    def authenticator(server, session, envelope, mechanism, data):
        good = isinstance(data, LoginPassword) and (data.login, data.password) == (
            user.encode(), password.encode())
        return AuthResult(success=good, handled=False)

    controller = Controller(Forget(), hostname="127.0.0.1", port=int(port), tls_context=context,
                            require_starttls=True, authenticator=authenticator, auth_required=True,
                            data_size_limit=None)
    controller.start()
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    controller.stop()


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    main()
