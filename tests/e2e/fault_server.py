"""A scripted, misbehaving SMTP server for the fault tests.

It listens on a loopback port that it binds itself, takes one connection and plays a script:
a list of steps, each a tuple whose first item names what to do.

    ("send", data)          send the bytes
    ("slow", data, delay)   send them one byte at a time, delay seconds apart,
                            until the client sends something or goes away
    ("line",)               read one line (up to LF) and record it
    ("data",)               read the message text up to CR LF "." CR LF
    ("some", count)         read at least count bytes of the text
    ("close",)              close the connection (an orderly close; a reset
                            when bytes it has not read are waiting)
    ("reset",)              close it with a reset (SO_LINGER 0)
    ("hold",)               stop reading until release() (the test calls it
                            once quib has ended), then go on

When the script ends without closing, the server keeps reading, and
recording, until the client closes the connection (eof is then True) or
the drain time runs out. Everything received is kept in `received`, the
lines read in `lines`.
"""
import select
import socket
import struct
import threading
import time

# How long the server waits for the client, at most, at any point. Well
# above the socket library's shortened timeout, so that a client that hangs
# shows up as a test failure rather than as a server that gave up first.
PATIENCE = 30.0

MESSAGE_END = b"\r\n.\r\n"


def reply(text):
    return ("send", text.encode("latin-1") + b"\r\n")


# The server's side of a transaction that goes well, step by step; the
# fault tests cut it at some point and add a fault.
GREETING = [reply("220 fault.example ready")]
HELO = [("line",), reply("250 fault.example")]
MAIL = [("line",), reply("250 sender ok")]
RCPT = [("line",), reply("250 recipient ok")]
DATA = [("line",), reply("354 go ahead")]
TEXT = [("data",), reply("250 kept")]
QUIT = [("line",), reply("221 bye")]
WHOLE_DIALOGUE = GREETING + HELO + MAIL + RCPT + DATA + TEXT + QUIT


def until(stage):
    """The steps of a good transaction up to the point where the server has
    read the command of `stage` ("HELO", "MAIL", "RCPT", "DATA"; "TEXT": the
    whole message text) and would answer it."""
    order = [("HELO", HELO), ("MAIL", MAIL), ("RCPT", RCPT), ("DATA", DATA), ("TEXT", TEXT)]
    steps = list(GREETING)
    for name, part in order:
        if name == stage:
            return steps + part[:1]
        steps += part
    raise ValueError(stage)


class FaultServer:
    def __init__(self, script):
        self.script = list(script)
        self.port = None  # bound on entry
        self.received = b""
        self.lines = []
        self.eof = False
        self.error = None
        self._pending = b""
        self._released = threading.Event()
        self.accepted = threading.Event()  # set once the client has connected
        self._listener = None
        self._thread = None

    # ---- context ------------------------------------------------------------

    def __enter__(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(1)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.release()
        self._listener.close()
        self._thread.join(PATIENCE + 5)

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def release(self):
        self._released.set()

    def commands(self):
        """The command lines read, without their line ends."""
        return [line.rstrip(b"\r\n") for line in self.lines]

    # ---- the connection -----------------------------------------------------

    def _serve(self):
        self._listener.settimeout(PATIENCE)
        try:
            conn, _ = self._listener.accept()
        except OSError as error:
            self.error = "no connection: %s" % error
            return
        self.accepted.set()
        conn.settimeout(PATIENCE)
        try:
            for step in self.script:
                if not getattr(self, "_step_" + step[0])(conn, *step[1:]):
                    return
            self._drain(conn)
        except OSError as error:
            self.error = "%s" % error
        finally:
            conn.close()

    def _read(self, conn):
        try:
            data = conn.recv(65536)
        except ConnectionResetError:
            # quib closed without reading what came last (QUIT's reply is
            # never read): it closed all the same.
            data = b""
        if not data:
            self.eof = True
            return False
        self.received += data
        self._pending += data
        return True

    def _read_until(self, conn, marker):
        while marker not in self._pending:
            if not self._read(conn):
                return None
        at = self._pending.index(marker) + len(marker)
        taken, self._pending = self._pending[:at], self._pending[at:]
        return taken

    def _step_send(self, conn, data):
        conn.sendall(data)
        return True

    def _step_slow(self, conn, data, delay):
        for i in range(len(data)):
            conn.sendall(data[i:i + 1])
            if select.select([conn], [], [], delay)[0]:
                break  # the client gave up (QUIT, or closed): read what it sent
        return True

    def _step_line(self, conn):
        line = self._read_until(conn, b"\n")
        if line is None:
            return False
        self.lines.append(line)
        return True

    def _step_data(self, conn):
        return self._read_until(conn, MESSAGE_END) is not None

    def _step_some(self, conn, count):
        while len(self._pending) < count:
            if not self._read(conn):
                return False
        return True

    def _step_hold(self, conn):
        self._released.wait(PATIENCE)
        return True

    def _step_close(self, conn):
        return False  # _serve closes it

    def _step_reset(self, conn):
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        return False

    def _drain(self, conn):
        """Reads, recording lines, until the client closes or time runs out."""
        deadline = time.monotonic() + PATIENCE
        try:
            while time.monotonic() < deadline:
                line = self._read_until(conn, b"\n")
                if line is None:
                    break
                self.lines.append(line)
        except socket.timeout:
            pass
        if self._pending:
            self.lines.append(self._pending)
