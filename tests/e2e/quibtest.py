"""Shared harness of the end-to-end tests.

Runs the built quib as a process, each run with its own registry folder, and
starts real SMTP servers on free loopback ports: aiosmtpd (keeps every
message it accepts) and Postfix's smtp-sink.

QUIB_BIN_DIR names the folder of the built quib. QUIB_RUNNER, when set, is a
command put in front of it (for instance "wine" for quib.exe); QUIB_EXE then
names the program file (default: quib, or quib.exe under wine).
"""
import asyncio
import os
import shlex
import shutil
import socket
import subprocess
import tempfile
import threading
import time

BIN_DIR = os.environ.get("QUIB_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
RUNNER = shlex.split(os.environ.get("QUIB_RUNNER", ""))
UNDER_WINE = bool(RUNNER) and os.path.basename(RUNNER[0]).startswith("wine")
EXE = os.environ.get("QUIB_EXE", "quib.exe" if UNDER_WINE else "quib")
QUIB = os.path.join(BIN_DIR, EXE)

# Short socket-library timeouts so that no test waits minutes.
SHORT_TIMEOUTS = {"GENSOCK_TIMEOUT": "3"}


def status_of(returncode):
    """The exit status as the mailer returned it (-1 comes back as 255)."""
    return -1 if returncode in (255, -1, 4294967295) else returncode


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, host="127.0.0.1", timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("server on port %d never accepted" % port)


class Registry:
    """A registry folder of the test's own (QUIB_REGISTRY)."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="quib-reg-")

    def key_dir(self):
        return os.path.join(self.path, "HKEY_LOCAL_MACHINE", "SOFTWARE", "Wendfield", "Quib")

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


def run_quib(args, registry=None, stdin=b"", env=None, timeout=60, cwd=None):
    """Runs quib with args; returns (status, stdout bytes, stderr bytes)."""
    full_env = dict(os.environ)
    full_env.update(SHORT_TIMEOUTS)
    if registry is not None:
        full_env["QUIB_REGISTRY"] = registry.path if isinstance(registry, Registry) else registry
    if env:
        full_env.update(env)
    proc = subprocess.run(RUNNER + [QUIB] + list(args), input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=full_env, timeout=timeout, cwd=cwd)
    return status_of(proc.returncode), proc.stdout, proc.stderr


class Message:
    def __init__(self, mail_from, rcpt_tos, content, helo):
        self.mail_from = mail_from
        self.rcpt_tos = rcpt_tos
        self.content = content  # bytes as received, dot-stuffing undone
        self.helo = helo


class _Handler:
    def __init__(self, server):
        self.server = server

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.server.refuse:
            return "550 5.1.1 no such user"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.server.messages.append(Message(envelope.mail_from, list(envelope.rcpt_tos),
                                            envelope.original_content, session.host_name))
        return "250 OK: kept"


class AiosmtpdServer:
    """aiosmtpd on a free loopback port, keeping every message it accepts."""

    def __init__(self, refuse=()):
        self.refuse = set(refuse)
        self.messages = []
        self.port = free_port()
        self.controller = None

    def __enter__(self):
        from aiosmtpd.controller import Controller
        self.controller = Controller(_Handler(self), hostname="127.0.0.1", port=self.port,
                                     data_size_limit=None, decode_data=False)
        self.controller.start()
        wait_for_port(self.port)
        return self

    def __exit__(self, *exc):
        self.controller.stop()

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port


class SmtpSink:
    """Postfix's smtp-sink on a free loopback port; accepts and discards, or
    with dump=True writes each message to a file in a folder of its own."""

    def __init__(self, dump=False):
        self.port = free_port()
        self.dump_dir = tempfile.mkdtemp(prefix="quib-sink-") if dump else None
        self.proc = None

    def __enter__(self):
        exe = shutil.which("smtp-sink") or "/usr/sbin/smtp-sink"
        args = [exe, "-c"]
        if os.geteuid() == 0:
            args += ["-u", "nobody"]  # smtp-sink will not run as root
        if self.dump_dir:
            args += ["-d", os.path.join(self.dump_dir, "%M%S.")]
        args += ["127.0.0.1:%d" % self.port, "128"]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(self.port)
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        if self.dump_dir:
            shutil.rmtree(self.dump_dir, ignore_errors=True)

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port


# ---- Registry values as quib keeps them on POSIX ----------------------------
# A value of the settings key is the file "<escaped name>.value" in key_dir():
# bytes A-Z a-z 0-9 _ - stay, every other byte becomes %XX ("SMTP server" is
# "SMTP%20server.value"); the file holds the type in decimal and a LF, then
# the value's bytes exactly (a REG_SZ keeps its NUL).
REG_SZ = 1
REG_BINARY = 3


def registry_value_file(registry, name):
    escaped = "".join(c if (c.isascii() and c.isalnum()) or c in "_-" else "%%%02X" % ord(c)
                      for c in name)
    return os.path.join(registry.key_dir(), escaped + ".value")


def _registry_store(self, name, data, value_type=REG_SZ):
    """Stores a value; data is bytes, or text that gets its NUL added."""
    if isinstance(data, str):
        data = data.encode("latin-1") + b"\0"
    os.makedirs(self.key_dir(), exist_ok=True)
    with open(registry_value_file(self, name), "wb") as f:
        f.write(b"%d\n" % value_type + data)


def _registry_stored(self, name):
    """(type, bytes) of a stored value, or None when there is none."""
    try:
        with open(registry_value_file(self, name), "rb") as f:
            header, _, data = f.read().partition(b"\n")
    except FileNotFoundError:
        return None
    return int(header), data


def _registry_install(self, server, sender):
    """Stores both settings as -install does."""
    self.store("SMTP server", server)
    self.store("Sender", sender)


Registry.store = _registry_store
Registry.stored = _registry_stored
Registry.install = _registry_install

