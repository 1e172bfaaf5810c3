"""Shared harness of the end-to-end tests.

Runs the built quib as a process, each run with its own settings, and starts
real SMTP servers on loopback: aiosmtpd (tests/fakes/keeping_smtp_server.py,
keeps every message it accepts) and Postfix's smtp-sink.

QUIB_BIN_DIR names the folder of the built quib. QUIB_RUNNER, when set, is a
command put in front of it (for instance "wine" for quib.exe); QUIB_EXE then
names the program file (default: quib, or quib.exe under wine).
"""
import getpass
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fakes"))
from keeping_smtp_server import KeepingSmtpServer, password_check  # noqa: E402 (found through the path above)

BIN_DIR = os.environ.get("QUIB_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))
RUNNER = shlex.split(os.environ.get("QUIB_RUNNER", ""))
UNDER_WINE = bool(RUNNER) and os.path.basename(RUNNER[0]).startswith("wine")
EXE = os.environ.get("QUIB_EXE", "quib.exe" if UNDER_WINE else "quib")
QUIB = os.path.join(BIN_DIR, EXE)

# Short socket-library timeouts so that no test waits minutes.
SHORT_TIMEOUTS = {"GENSOCK_TIMEOUT": "3"}

# aiosmtpd on a loopback port of its own: messages, quits, address.
AiosmtpdServer = KeepingSmtpServer


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


def run_quib(args, registry=None, stdin=b"", env=None, timeout=60, cwd=None, program=QUIB):
    """Runs quib (or another copy of it, program) with args; returns (status,
    stdout bytes, stderr bytes)."""
    full_env = dict(os.environ)
    full_env.update(SHORT_TIMEOUTS)
    if registry is not None:
        full_env["QUIB_REGISTRY"] = registry if isinstance(registry, str) else registry.path
    elif "QUIB_REGISTRY" not in full_env:
        # Never the machine-wide settings: a folder that nothing fills.
        full_env["QUIB_REGISTRY"] = os.path.join(tempfile.gettempdir(), "quib-no-registry")
    # Never the user's own login secrets either.
    full_env.pop("QUIB_PASSWORD", None)
    full_env["NETRC"] = os.path.join(tempfile.gettempdir(), "quib-no-netrc")
    # Nor the user's queue.
    full_env.setdefault("QUIB_QUEUE_DIR", os.path.join(tempfile.gettempdir(), "quib-no-queue"))
    full_env.update(Registry.for_a_run(env or {}))
    proc = subprocess.run(RUNNER + [program] + list(args), input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=full_env, timeout=timeout, cwd=cwd)
    return status_of(proc.returncode), proc.stdout, proc.stderr


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


# ---- Settings --------------------------------------------------------------


class _Settings:
    """A registry folder of the test's own (QUIB_REGISTRY)."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="quib-reg-")

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def install(self, server, sender):
        """Stores both settings as -install does."""
        self.store("SMTP server", server)
        self.store("Sender", sender)

    @staticmethod
    def _bytes(data):
        """Text gets its NUL, as quib stores it; bytes are stored as they are."""
        return data.encode("latin-1") + b"\0" if isinstance(data, str) else data

    @classmethod
    def for_a_run(cls, env):
        """The environment a run of quib gets from a test's env."""
        return env


class FolderRegistry(_Settings):
    """The Linux build's settings: a value is the file "<escaped name>.1" in
    key_dir(), holding the text and its NUL; in the name the bytes A-Z a-z 0-9
    _ - stay and every other byte becomes %XX ("SMTP server" is
    "SMTP%20server.1")."""

    def key_dir(self):
        return os.path.join(self.path, "HKEY_LOCAL_MACHINE", "SOFTWARE", "Wendfield", "Quib")

    def value_file(self, name):
        escaped = "".join(c if (c.isascii() and c.isalnum()) or c in "_-" else "%%%02X" % ord(c)
                          for c in name)
        return os.path.join(self.key_dir(), escaped + ".1")

    def store(self, name, data):
        os.makedirs(self.key_dir(), exist_ok=True)
        with open(self.value_file(name), "wb") as f:
            f.write(self._bytes(data))

    def stored(self, name):
        """The bytes of the value's file, or None when there is none."""
        try:
            with open(self.value_file(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None


# The Windows build keeps its settings in Wine's own registry, which
# QUIB_REGISTRY does not redirect: a new WineRegistry deletes the settings
# key, and store()/stored() go through .reg files that wine's regedit
# imports and exports (Z: is the Unix root in a new prefix). The registry
# holds text as UTF-16; stored() gives a text value as its text and one NUL,
# the export telling no more.
WINE_SETTINGS_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Wendfield\Quib"
REG_SZ, REG_BINARY = 1, 3
_WINE_TEXT_TYPES = (REG_SZ, 2, 7)  # REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ
_REG_FILE_HEAD = "\ufeffWindows Registry Editor Version 5.00\r\n\r\n"


class WineRegistry(_Settings):
    # Each wine start costs most of a second, so changes to the key are
    # gathered and imported in one go before quib runs or the key is read,
    # and the last export is kept until then. Class-wide: Wine has one
    # registry.
    _exported = None
    _clear_first = False  # the key is to be deleted before the lines are imported
    _lines = []

    def __init__(self):
        super().__init__()
        WineRegistry._exported = None
        WineRegistry._clear_first = True
        WineRegistry._lines = []

    def store(self, name, data, value_type=REG_SZ):
        """Stores the value with any type Windows knows (REG_SZ by default)."""
        data = self._bytes(data)
        if value_type in _WINE_TEXT_TYPES:
            data = data.decode("latin-1").encode("utf-16-le")
        WineRegistry._lines.append(
            '"%s"=hex(%x):%s\r\n' % (name, value_type, ",".join("%02x" % b for b in data)))
        WineRegistry._exported = None

    def stored(self, name):
        WineRegistry._apply()
        if WineRegistry._exported is None:
            WineRegistry._exported = self._export()
        return WineRegistry._exported.get(name)

    @classmethod
    def for_a_run(cls, env):
        """Wine finds its server through TMPDIR, and another TMPDIR would start
        a second server with a registry of its own, so a test's TMPDIR never
        reaches wine (quib.exe takes Wine's TEMP anyway). The run may change
        the key: the last export is forgotten."""
        cls._apply()
        cls._exported = None
        return {name: value for name, value in env.items() if name != "TMPDIR"}

    @classmethod
    def _apply(cls):
        """Imports what was gathered, the key's deletion first, in one start."""
        if not cls._clear_first and not cls._lines:
            return
        text = _REG_FILE_HEAD
        if cls._clear_first:
            text += "[-%s]\r\n\r\n" % WINE_SETTINGS_KEY
        if cls._lines:
            text += "[%s]\r\n%s\r\n" % (WINE_SETTINGS_KEY, "".join(cls._lines))
        cls._clear_first, cls._lines = False, []
        path = cls._reg_file(text)
        try:
            if cls._wine(["regedit", "/S", cls._wine_path(path)]) != 0:
                raise RuntimeError("wine regedit could not import " + path)
        finally:
            os.remove(path)

    @staticmethod
    def _wine(args):
        return subprocess.run(RUNNER + list(args), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=120).returncode

    @staticmethod
    def _wine_path(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    @staticmethod
    def _reg_file(text):
        handle, path = tempfile.mkstemp(prefix="quib-wine-", suffix=".reg")
        os.close(handle)
        with open(path, "wb") as f:
            f.write(text.encode("utf-16-le"))
        return path

    def _export(self):
        """{name: bytes} of the settings key, exported by wine's regedit."""
        path = self._reg_file("")
        try:
            self._wine(["regedit", "/E", self._wine_path(path), WINE_SETTINGS_KEY])
            with open(path, "rb") as f:
                text = f.read().decode("utf-16", errors="replace")
        finally:
            os.remove(path)
        text = text.replace("\\\r\n", "").replace("\r\n", "\n")
        return {_reg_unescape(name): _reg_data(data)
                for name, data in re.findall(r'^"((?:[^"\\]|\\.)*)"=(.*)$', text, re.M)}


def _reg_unescape(text):
    escapes = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "0": "\0"}
    return re.sub(r"\\(.)", lambda m: escapes.get(m.group(1), m.group(1)), text)


def _reg_data(data):
    if data.startswith('"'):
        return _reg_unescape(data[1:-1]).encode("latin-1", errors="replace") + b"\0"
    kind, _, hex_bytes = data.partition(":")
    raw = bytes(int(h, 16) for h in hex_bytes.replace(" ", "").split(",") if h)
    value_type = REG_BINARY if kind == "hex" else int(kind[4:-1], 16)
    if value_type in _WINE_TEXT_TYPES:
        raw = raw.decode("utf-16-le").encode("latin-1", errors="replace")
    return raw


Registry = WineRegistry if UNDER_WINE else FolderRegistry


# ---- Temporary files under both builds ----------------------------------------


def host_path(name):
    """The path on this machine of a file name that quib printed: under wine a
    Windows name ("C:\\users\\...\\qbx1.tmp") is found through the prefix's
    drive links."""
    if not UNDER_WINE or len(name) < 2 or name[1] != ":":
        return name
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    return os.path.join(prefix, "dosdevices", name[0].lower() + ":") + name[2:].replace("\\", "/")


def wine_temp_dir():
    """Wine's TEMP folder on this machine (GetTempPathA's answer under wine)."""
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    return os.path.join(prefix, "drive_c", "users", getpass.getuser(), "Temp")


def temp_file_pattern(tmpdir):
    """A regular expression for the temporary file's name as quib prints it:
    in tmpdir (the test's TMPDIR) on POSIX, in Wine's TEMP folder under wine."""
    if UNDER_WINE:
        return r"[A-Za-z]:\\\S*\\qbx\S*"
    return re.escape(tmpdir) + r"/qbx\S*"


def temp_files_left(tmpdir):
    """Temporary files of quib's left behind: every file in tmpdir on POSIX,
    the qbx files in Wine's TEMP folder under wine."""
    if UNDER_WINE:
        return sorted(name for name in os.listdir(wine_temp_dir()) if name.startswith("qbx"))
    return sorted(os.listdir(tmpdir))


# ---- One registry for a whole test class, a folder for each test ------------


class StoredSettingsCase(unittest.TestCase):
    """Test cases whose runs share one registry, made once for the class,
    with a server nobody listens on and the class's SENDER stored: every run
    names its own server. Each test gets a folder of its own, self.work,
    removed after it, and an empty self.tmpdir in it to hand quib as TMPDIR."""

    SENDER = "me@example.org"
    WORK_PREFIX = "quib-work-"

    @classmethod
    def setUpClass(cls):
        cls.registry = Registry()
        cls.registry.install("127.0.0.1:1", cls.SENDER)

    @classmethod
    def tearDownClass(cls):
        cls.registry.cleanup()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix=self.WORK_PREFIX)
        self.addCleanup(shutil.rmtree, self.work, True)
        self.tmpdir = os.path.join(self.work, "tmp")
        os.mkdir(self.tmpdir)
