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
    elif "QUIB_REGISTRY" not in full_env:
        # Never the machine-wide settings: a folder that nothing fills.
        full_env["QUIB_REGISTRY"] = os.path.join(tempfile.gettempdir(), "quib-no-registry")
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

    def __init__(self, refuse=(), **options):
        """options go to aiosmtpd's Controller (ssl_context, tls_context, ...)."""
        self.refuse = set(refuse)
        self.options = options
        self.messages = []
        self.port = free_port()
        self.controller = None

    def __enter__(self):
        from aiosmtpd.controller import Controller
        self.controller = Controller(_Handler(self), hostname="127.0.0.1", port=self.port,
                                     data_size_limit=None, decode_data=False, **self.options)
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
# A value of the settings key is the file "<escaped name>.<type>" in key_dir():
# bytes A-Z a-z 0-9 _ - stay, every other byte becomes %XX, and the type is in
# decimal ("SMTP server" as a REG_SZ is "SMTP%20server.1"). The file holds
# exactly the value's bytes (a REG_SZ keeps its NUL). A suffix counts only as
# quib writes it (digits, no leading zero, within 32 bits); other files are
# ignored. A crash between writing one type and removing the file of another
# may leave two: quib reads the one modified last (at the same moment, the
# larger type).
REG_SZ = 1
REG_BINARY = 3


def _escaped_value_name(name):
    return "".join(c if (c.isascii() and c.isalnum()) or c in "_-" else "%%%02X" % ord(c)
                   for c in name)


def registry_value_file(registry, name, value_type=REG_SZ):
    return os.path.join(registry.key_dir(), "%s.%d" % (_escaped_value_name(name), value_type))


def _type_suffix(suffix):
    """The type a file-name suffix names, or None when it names none."""
    if not (suffix.isascii() and suffix.isdigit()) or len(suffix) > 10:
        return None
    if suffix.startswith("0") and suffix != "0":
        return None
    return int(suffix) if int(suffix) < 1 << 32 else None


def registry_value_files(registry, name):
    """{type: path} of every entry kept under the value's name."""
    prefix = _escaped_value_name(name) + "."
    try:
        entries = os.listdir(registry.key_dir())
    except (FileNotFoundError, NotADirectoryError):
        return {}
    found = {}
    for entry in entries:
        value_type = _type_suffix(entry[len(prefix):]) if entry.startswith(prefix) else None
        if value_type is not None:
            found[value_type] = os.path.join(registry.key_dir(), entry)
    return found


def _registry_store(self, name, data, value_type=REG_SZ):
    """Stores a value in place of any earlier one, whatever its type; data is
    bytes, or text that gets its NUL added."""
    if isinstance(data, str):
        data = data.encode("latin-1") + b"\0"
    os.makedirs(self.key_dir(), exist_ok=True)
    for path in registry_value_files(self, name).values():
        os.remove(path)
    with open(registry_value_file(self, name, value_type), "wb") as f:
        f.write(data)


def _registry_stored(self, name):
    """(type, bytes) of a stored value, from the file quib would read, or None
    when there is none."""
    files = registry_value_files(self, name)
    if not files:
        return None
    value_type = max(files, key=lambda t: (os.lstat(files[t]).st_mtime_ns, t))
    with open(files[value_type], "rb") as f:
        return value_type, f.read()


def _registry_install(self, server, sender):
    """Stores both settings as -install does."""
    self.store("SMTP server", server)
    self.store("Sender", sender)


Registry.store = _registry_store
Registry.stored = _registry_stored
Registry.install = _registry_install


# ---- The Windows build under Wine --------------------------------------------
# quib.exe keeps its settings in Wine's own registry, which QUIB_REGISTRY does
# not redirect. Under wine, therefore, a new Registry() deletes the settings
# key HKLM\SOFTWARE\Wendfield\Quib, and store()/stored() go through .reg files
# that wine's regedit imports and exports (Z: is the Unix root in a new
# prefix). The registry holds REG_SZ data as UTF-16; stored() reports a text
# value as its text plus one NUL, the export telling no more.
import re  # noqa: E402 (this part was added later)

WINE_SETTINGS_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Wendfield\Quib"
_WINE_TEXT_TYPES = (REG_SZ, 2, 7)  # REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ
_REG_FILE_HEAD = "\ufeffWindows Registry Editor Version 5.00\r\n\r\n"


def _wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def _wine(args):
    return subprocess.run(RUNNER + list(args), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=120).returncode


def wine_registry_reset():
    """Deletes the settings key from Wine's registry, if it is there."""
    _wine_forget_export()
    _wine(["reg", "delete", WINE_SETTINGS_KEY.replace("HKEY_LOCAL_MACHINE", "HKLM"), "/f"])


def _wine_reg_file(text):
    handle, path = tempfile.mkstemp(prefix="quib-wine-", suffix=".reg")
    os.close(handle)
    with open(path, "wb") as f:
        f.write(text.encode("utf-16-le"))
    return path


def _wine_registry_store(self, name, data, value_type=REG_SZ):
    if isinstance(data, str):
        data = data.encode("latin-1") + b"\0"
    if value_type in _WINE_TEXT_TYPES:
        data = data.decode("latin-1").encode("utf-16-le")
    line = '"%s"=hex(%x):%s\r\n' % (name, value_type, ",".join("%02x" % b for b in data))
    path = _wine_reg_file(_REG_FILE_HEAD + "[%s]\r\n%s\r\n" % (WINE_SETTINGS_KEY, line))
    try:
        if _wine(["regedit", "/S", _wine_path(path)]) != 0:
            raise RuntimeError("wine regedit could not import " + path)
    finally:
        os.remove(path)
        _wine_forget_export()


def _wine_exported_values():
    """{name: (type, bytes)} of the settings key, exported by wine's regedit."""
    path = _wine_reg_file("")
    try:
        _wine(["regedit", "/E", _wine_path(path), WINE_SETTINGS_KEY])
        with open(path, "rb") as f:
            text = f.read().decode("utf-16", errors="replace")
    finally:
        os.remove(path)
    text = text.replace("\\\r\n", "").replace("\r\n", "\n")
    values = {}
    for name, data in re.findall(r'^"((?:[^"\\]|\\.)*)"=(.*)$', text, re.M):
        values[_reg_unescape(name)] = _reg_data(data)
    return values


def _reg_unescape(text):
    escapes = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "0": "\0"}
    return re.sub(r"\\(.)", lambda m: escapes.get(m.group(1), m.group(1)), text)


def _reg_data(data):
    if data.startswith('"'):
        return REG_SZ, _reg_unescape(data[1:-1]).encode("latin-1", errors="replace") + b"\0"
    kind, _, hex_bytes = data.partition(":")
    raw = bytes(int(h, 16) for h in hex_bytes.replace(" ", "").split(",") if h)
    value_type = REG_BINARY if kind == "hex" else int(kind[4:-1], 16)
    if value_type in _WINE_TEXT_TYPES:
        raw = raw.decode("utf-16-le").encode("latin-1", errors="replace")
    return value_type, raw


# The last export, kept until quib runs or the tests change the key: each
# export is a wine start.
_wine_export_cache = None


def _wine_forget_export():
    global _wine_export_cache
    _wine_export_cache = None


def _wine_registry_stored(self, name):
    global _wine_export_cache
    if _wine_export_cache is None:
        _wine_export_cache = _wine_exported_values()
    return _wine_export_cache.get(name)


if UNDER_WINE:
    _plain_registry_init = Registry.__init__

    def _wine_registry_init(self):
        _plain_registry_init(self)
        wine_registry_reset()

    Registry.__init__ = _wine_registry_init
    Registry.store = _wine_registry_store
    Registry.stored = _wine_registry_stored


def host_path(name):
    """The path on this machine of a file name that quib printed: under wine a
    Windows name ("C:\\users\\...\\qbx1.tmp") is found through the prefix's
    drive links."""
    if not UNDER_WINE or len(name) < 2 or name[1] != ":":
        return name
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    return os.path.join(prefix, "dosdevices", name[0].lower() + ":") + name[2:].replace("\\", "/")


if UNDER_WINE:
    _plain_run_quib = run_quib

    def run_quib(args, registry=None, stdin=b"", env=None, timeout=60, cwd=None):
        """As above; but wine finds its server through TMPDIR, and another
        TMPDIR would start a second server with a registry of its own, so a
        test's TMPDIR never reaches wine (quib.exe takes Wine's TEMP anyway)."""
        env = {name: value for name, value in (env or {}).items() if name != "TMPDIR"}
        _wine_forget_export()
        return _plain_run_quib(args, registry, stdin, env, timeout, cwd)


def wine_temp_dir():
    """Wine's TEMP folder on this machine (GetTempPathA's answer under wine)."""
    import getpass
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
import unittest  # noqa: E402 (this part was added later)


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
