"""The aiosmtpd server of the tests and the demo: keeps every message it
accepts, refuses the recipients it is told to, and counts QUIT commands.

As a module: KeepingSmtpServer, a context manager listening on loopback on a
port that the server binds itself (port 0: no other process can take it in
between); messages, quits, port and address are there while it runs.

As a program: keeping_smtp_server.py HOST PORT FOLDER [PORT_FILE]
Listens on HOST:PORT (PORT 0: a free port, written to PORT_FILE), writes
message N as FOLDER/N.eml (the data as received, dot-stuffing undone) and
FOLDER/N.env (HELO name, envelope sender, recipients; one a line), prints
"ready" once it accepts connections (and nothing after: its reader may be
gone), and runs until SIGTERM or SIGINT.
"""
import os
import signal
import socket
import sys

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


class Message:
    def __init__(self, mail_from, rcpt_tos, content, helo):
        self.mail_from = mail_from
        self.rcpt_tos = rcpt_tos
        self.content = content  # bytes as received, dot-stuffing undone
        self.helo = helo


class KeepingHandler:
    def __init__(self, refuse=(), folder=None):
        self.refuse = set(refuse)
        self.folder = folder
        self.messages = []
        self.quits = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.refuse:
            return "550 5.1.1 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        message = Message(envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content,
                          session.host_name)
        self.messages.append(message)
        if self.folder:
            self._write(len(self.messages), message)
        return "250 OK: kept"

    async def handle_QUIT(self, server, session, envelope):
        self.quits += 1
        return "221 Bye"

    def _write(self, number, message):
        base = os.path.join(self.folder, str(number))
        with open(base + ".env", "w") as f:
            f.write("\n".join([message.helo or "", message.mail_from] + message.rcpt_tos) + "\n")
        with open(base + ".tmp", "wb") as f:
            f.write(message.content)
        os.rename(base + ".tmp", base + ".eml")  # a reader never sees half a message


def password_check(user, password):
    """An authenticator for aiosmtpd's own AUTH PLAIN and AUTH LOGIN that
    lets in this one user with this one password."""
    def authenticator(server, session, envelope, mechanism, data):
        good = isinstance(data, LoginPassword) and (data.login, data.password) == (
            user.encode(), password.encode())
        return AuthResult(success=good, handled=False)
    return authenticator


class _BoundController(Controller):
    """aiosmtpd's Controller serving a socket bound here, so that port 0
    works: Controller itself would bind 0 and then look for the server there."""

    def __init__(self, handler, host, port, **options):
        """options go to Controller (ssl_context, tls_context, require_starttls, ...)."""
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.socket(family, socket.SOCK_STREAM)
        self._listener.bind((host, port))
        super().__init__(handler, hostname=host, port=self._listener.getsockname()[1],
                         data_size_limit=None, decode_data=False, **options)

    def _create_server(self):
        return self.loop.create_server(self._factory_invoker, sock=self._listener,
                                       ssl=self.ssl_context)

    def start(self):
        try:
            super().start()  # returns once the server accepts connections
        except BaseException:
            self._listener.close()
            raise


class KeepingSmtpServer:
    """aiosmtpd on a loopback port of its own, keeping every message it accepts."""

    def __init__(self, refuse=(), host="127.0.0.1", port=0, folder=None, **options):
        self.handler = KeepingHandler(refuse, folder)
        self.controller = _BoundController(self.handler, host, port, **options)

    def __enter__(self):
        self.controller.start()
        return self

    def __exit__(self, *exc):
        self.controller.stop()

    @property
    def messages(self):
        return self.handler.messages

    @property
    def quits(self):
        return self.handler.quits

    @property
    def port(self):
        return self.controller.port

    @property
    def address(self):
        host = self.controller.hostname
        return ("[%s]:%d" if ":" in host else "%s:%d") % (host, self.port)


def main():
    host, port, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    port_file = sys.argv[4] if len(sys.argv) > 4 else None
    stop = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, stop)  # the server's threads too
    os.makedirs(folder, exist_ok=True)
    with KeepingSmtpServer(host=host, port=port, folder=folder) as server:
        if port_file:
            with open(port_file + ".part", "w") as f:
                f.write("%d\n" % server.port)
            os.replace(port_file + ".part", port_file)  # never half a port
        print("ready", flush=True)
        signal.sigwait(stop)


if __name__ == "__main__":
    main()
