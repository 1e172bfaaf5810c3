#!/usr/bin/python3
"""An SMTP sink that requires STARTTLS and an XOAUTH2 login with a token
the bench's token endpoint issued ("at-..."), for the token figures of
bench.py; it forgets every message.

    xoauth2_sink.py CERT KEY PORT
"""
import base64
import signal
import ssl
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


class Forget:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK"

    async def auth_XOAUTH2(self, server, args):
        fields = base64.b64decode(args[1]).split(b"\x01")
        return AuthResult(success=fields[1].startswith(b"auth=Bearer at-"), handled=False)


def main():
    cert, key, port = sys.argv[1:4]
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    controller = Controller(Forget(), hostname="127.0.0.1", port=int(port), tls_context=context,
                            require_starttls=True, auth_required=True, data_size_limit=None)
    controller.start()
    signal.sigwait({signal.SIGTERM, signal.SIGINT})
    controller.stop()


if __name__ == "__main__":
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})
    main()
