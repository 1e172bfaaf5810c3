#!/usr/bin/python3
"""Measures quib side by side with msmtp, curl and a raw SMTP push.

Started by bench/run.sh, which builds the programs and installs the tools;
see bench/README.md for what is measured and how. Writes a Markdown report
to standard output and to <work>/report.md, and the raw figures to
<work>/results.json.
"""
import argparse
import binascii
import datetime
import hashlib
import json
import os
import platform
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1 << 20
SENDER = "bench@example.org"
RCPT = "rcpt@example.org"
SEED = 20240521
HEADER = (
    "From: bench@example.org\n"
    "To: rcpt@example.org\n"
    "Subject: bench\n"
    "Date: Tue, 21 May 2024 10:00:00 +0000\n"
    "Message-ID: <bench@example.org>\n"
    "\n"
).encode()


# ---- Inputs ---------------------------------------------------------------


def make_text(size, seed):
    """size bytes of LF-ended lines of words; about one line in twenty starts
    with "."; always the same bytes for the same size and seed."""
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choices(letters, k=rng.randint(1, 10))) for _ in range(4096)]
    counts = range(1, 15)
    lines = []
    total = 0
    while total < size:
        batch = []
        for count in rng.choices(counts, k=4096):
            line = " ".join(rng.choices(words, k=count))
            if rng.random() < 0.05:
                line = "." + line
            batch.append(line)
        chunk = "\n".join(batch) + "\n"
        lines.append(chunk)
        total += len(chunk)
    data = "".join(lines).encode()[:size]
    cut = data.rfind(b"\n") + 1
    rest = size - cut
    if rest:  # one last line of letters brings the text to size exactly
        data = data[:cut] + b"x" * (rest - 1) + b"\n"
    return data


def make_binary(size, seed):
    return random.Random(seed).randbytes(size)


def crlf_form(message):
    """The message as RFC 5322 has it: every line ended by CR LF."""
    return message.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def wire_form(message):
    """The DATA-phase bytes of a message: CR LF line ends, leading dots
    doubled, the end marker."""
    data = crlf_form(message).replace(b"\r\n.", b"\r\n..")
    if data.startswith(b"."):
        data = b"." + data
    if not data.endswith(b"\r\n"):
        data += b"\r\n"
    return data + b".\r\n"


def qp_decoded_form(data):
    """What the quoted-printable DATA bytes after the header decode to: dots
    undoubled, the end marker dropped, soft breaks joined."""
    lines = data[:-3].split(b"\r\n")
    return binascii.a2b_qp(b"\r\n".join(l[1:] if l.startswith(b"..") else l for l in lines))


class Inputs:
    """The files of one kind and size: the body quib mails (LF line ends) and
    the same with a minimal header (still LF) for msmtp and curl. Cached in
    the work folder: same name, same bytes. Every tool gets LF line ends and
    must make them CR LF itself."""

    def __init__(self, work, kind, size):
        stem = os.path.join(work, "%s-%d-v3" % (kind, size))
        self.kind = kind
        self.size = size
        self.stem = stem
        self.body = stem + ".body"
        self.message = stem + ".lf.msg"
        # quib's own DATA bytes and its commands up to DATA, recorded by the
        # delivery check of this run (see Deliveries.quib_wire).
        self.quib_wire = stem + ".quib-wire"
        self.quib_dialogue = stem + ".quib-dialogue"
        if all(os.path.exists(p) for p in (self.body, self.message)):
            return
        data = make_text(size, SEED) if kind == "text" else make_binary(size, SEED)
        with open(self.body, "wb") as f:
            f.write(data)
        with open(self.message, "wb") as f:
            f.write(HEADER + data)

    def read_body(self):
        with open(self.body, "rb") as f:
            return f.read()


# ---- Running and timing -------------------------------------------------------


class Failure(Exception):
    pass


LAUNCHER = None  # bench_rawsmtp, set by main
SINK_PID = None  # the sink the timed runs go to, set by main


def proc_fields(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()


def sink_cpu():
    """CPU seconds the sink has used so far (10 ms steps), or 0."""
    try:
        fields = proc_fields(SINK_PID)
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, TypeError, IndexError, ValueError):
        return 0.0


def sink_bytes_read():
    """Bytes the sink has read so far, commands and message alike (rchar of
    /proc/<pid>/io), or None when the system does not tell."""
    try:
        with open("/proc/%d/io" % SINK_PID) as f:
            for line in f:
                if line.startswith("rchar:"):
                    return int(line.split()[1])
    except (OSError, TypeError, ValueError):
        pass
    return None


def load_now():
    return os.getloadavg()[0]


def run_once(cmd, stdin_path=None, env=None, err_path=os.devnull):
    """Runs cmd to its end through the small launcher; returns (wall seconds,
    peak RSS in KiB, CPU seconds): the figures of GNU time's %e, %M, %U+%S."""
    stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
    with open(err_path, "wb") as err:
        proc = subprocess.run([LAUNCHER, "measure"] + cmd, stdin=stdin, stdout=subprocess.PIPE,
                              stderr=err, env=env)
    if stdin_path:
        stdin.close()
    fields = proc.stdout.split()
    if proc.returncode != 0 or len(fields) != 4:
        raise Failure("launcher failed on %s" % " ".join(cmd[:2]))
    wall, rss, status, cpu = float(fields[0]), int(fields[1]), int(fields[2]), float(fields[3])
    if status != 0:
        with open(err_path, "rb") as f:
            tail = f.read()[-400:].decode(errors="replace") if err_path != os.devnull else ""
        raise Failure("%s exited %d %s" % (os.path.basename(cmd[0]), status, tail.strip()))
    return wall, rss, cpu


class Run:
    """One command of the benchmark: how to start it (argv and standard
    input, without the server's port, which the sink in use fills in), and
    the bytes the sink must read from it, once its delivery was checked."""

    def __init__(self, argv_for_port, stdin_path=None, env=None):
        self.argv_for_port = argv_for_port
        self.stdin_path = stdin_path
        self.env = env
        self.expected_bytes = None  # set by the delivery check

    def timed(self, port, err_path):
        """Runs once to the timing sink; a run whose byte count at the sink
        differs from the checked one did not deliver, and fails."""
        if self.expected_bytes is None:
            raise Failure("delivery never checked")
        before = sink_bytes_read()
        figures = run_once(self.argv_for_port(port), self.stdin_path, self.env, err_path)
        # A client may end before the sink has read its last bytes (the QUIT
        # that quib sends without waiting): they are waited for, untimed, so
        # that they count for this run and not for the next.
        after, settled = sink_bytes_read(), time.monotonic() + 2
        while after is not None and after - before < self.expected_bytes and time.monotonic() < settled:
            time.sleep(0.002)
            after = sink_bytes_read()
        if before is not None and after is not None and after - before != self.expected_bytes:
            raise Failure("the sink read %d bytes, %d expected" % (after - before, self.expected_bytes))
        return figures


class Series:
    """Wall times, peak memory, CPU and the machine's load of repeated runs
    of one command."""

    def __init__(self, name, run=None, runner=None):
        self.name = name
        self.run = run
        self.runner = runner  # how one run goes, when not run.timed to the timing sink
        self.walls = []
        self.rss = []
        self.cpus = []
        self.sink_cpus = []
        self.loads = []
        self.error = None

    def add(self, runner):
        """One run by runner() -> (wall, rss, cpu); a failure ends the series."""
        if self.error:
            return
        sink_before = sink_cpu()
        load = load_now()
        try:
            wall, rss, cpu = runner()
        except Failure as e:
            self.error = str(e)
            return
        self.walls.append(wall)
        self.rss.append(rss)
        self.cpus.append(cpu)
        self.sink_cpus.append(sink_cpu() - sink_before)
        self.loads.append(load)

    @property
    def ok(self):
        return not self.error and bool(self.walls)

    @property
    def wall(self):
        return statistics.median(self.walls) if self.ok else float("nan")

    @property
    def sink_cpu(self):
        return statistics.median(self.sink_cpus) if self.ok else float("nan")

    @property
    def cpu(self):
        return statistics.median(self.cpus) if self.ok else float("nan")

    @property
    def peak_mib(self):
        return max(self.rss) / 1024 if self.ok else float("nan")

    @property
    def load(self):
        return statistics.median(self.loads) if self.loads else float("nan")

    def as_dict(self):
        return {"name": self.name, "walls": self.walls, "rss_kib": self.rss, "cpu": self.cpus,
                "sink_cpu": self.sink_cpus, "load": self.loads, "error": self.error,
                "expected_bytes": self.run.expected_bytes if self.run else None}


def interleave(series, reps, tools):
    """Runs every series once per round, the order turned by one each round,
    so that drift of the machine falls on all alike."""
    for rep in range(reps):
        turn = rep % len(series)
        for one in series[turn:] + series[:turn]:
            one.add(one.runner or (lambda: one.run.timed(tools.port, tools.err)))


# ---- The tools ------------------------------------------------------------------


class Tools:
    def __init__(self, args, port, work):
        self.port = port
        self.quib_exe = os.path.join(args.bin, "quib")
        self.raw = os.path.join(args.bin, "bench_rawsmtp")
        self.err = os.path.join(work, "last-stderr.txt")
        self.registry = tempfile.mkdtemp(prefix="quib-bench-reg-")
        self.env = dict(os.environ, QUIB_REGISTRY=self.registry)

    def quib(self, body, mime=False, bcc=None, attach=None, debug=False):
        def argv(port):
            cmd = [self.quib_exe, body, "-server", "127.0.0.1:%d" % port, "-f", SENDER, "-t", RCPT]
            if bcc:
                cmd += ["-b", bcc]
            if attach:
                cmd += ["-attach", attach]
            if debug:
                cmd += ["-debug"]  # the transcript goes to the run's error file
            # "-mime" and "-q" pass over the argument after them: they go last.
            return cmd + (["-mime", "-q"] if mime else ["-q"])
        return Run(argv, env=self.env)

    def msmtp(self, message):
        return Run(lambda port: ["msmtp", "-C", "/dev/null", "--host=127.0.0.1", "--port=%d" % port,
                                 "--from=" + SENDER, "--auth=off", "--tls=off", RCPT], stdin_path=message)

    def curl(self, message):
        # --crlf: curl gets the same LF file as the others and makes the
        # line ends CR LF itself.
        return Run(lambda port: ["curl", "-sS", "--crlf", "smtp://127.0.0.1:%d" % port, "--mail-from", SENDER,
                                 "--mail-rcpt", RCPT, "-T", message])

    def curl_attach(self, path):
        """curl building a multipart message with the file as a base64 part."""
        return Run(lambda port: ["curl", "-sS", "smtp://127.0.0.1:%d" % port, "--mail-from", SENDER,
                                 "--mail-rcpt", RCPT, "-H", "Subject: bench", "-F",
                                 "=@%s;encoder=base64" % path])

    def push(self, wire, dialogue):
        """The raw push: quib's commands, then its DATA bytes read whole into
        memory and written in one loop."""
        return Run(lambda port: [self.raw, "push", "127.0.0.1", str(port), wire])

    def sendfile(self, wire, dialogue):
        """The physical limit: quib's own dialogue, then quib's DATA bytes
        from the page cache by sendfile."""
        return Run(lambda port: [self.raw, "sendfile", "127.0.0.1", str(port), dialogue, wire])

    def rcpt_round_trip_us(self, count):
        out = subprocess.run([self.raw, "rcpt", "127.0.0.1", str(self.port), str(count)],
                             check=True, capture_output=True, text=True).stdout.split()
        return float(out[0]), float(out[1])

    def qp_length(self, body):
        out = subprocess.run([self.raw, "qplen", body], check=True, capture_output=True, text=True)
        return int(out.stdout)

    def cleanup(self):
        shutil.rmtree(self.registry, ignore_errors=True)


# ---- Delivery checks -------------------------------------------------------------


class Deliveries:
    """Runs each command once to a recording sink (bench/recording_sink.py)
    and checks the bytes it delivered; the count of bytes the sink read is
    then what every timed run of that command must deliver."""

    def __init__(self, tools, work):
        self.tools = tools
        self.folder = tempfile.mkdtemp(prefix="quib-bench-rec-")
        self.port = free_port()
        self.count = 0
        self.proc = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "recording_sink.py"),
                                      self.folder, str(self.port)], stdout=subprocess.PIPE)
        if self.proc.stdout.readline().strip() != b"ready":
            raise SystemExit("the recording sink did not start")

    def record(self, run):
        """Runs once to the recording sink; (whole inbound bytes, DATA bytes)."""
        self.count += 1
        run_once(run.argv_for_port(self.port), run.stdin_path, run.env, self.tools.err)
        # The sink writes its files once the client has gone: wait for them.
        paths = [os.path.join(self.folder, "%d%s" % (self.count, e)) for e in (".in", ".data")]
        deadline = time.monotonic() + 60
        while not all(os.path.exists(p) for p in paths) and time.monotonic() < deadline:
            time.sleep(0.01)
        contents = []
        for path in paths:
            with open(path, "rb") as f:
                contents.append(f.read())
            os.remove(path)
        return contents

    def check(self, run, name, expected_data):
        """expected_data(data) -> None when the DATA bytes are right, or what
        is wrong. Sets run.expected_bytes; raises Failure on a wrong delivery."""
        try:
            received, data = self.record(run)
        except Failure as e:
            raise Failure("%s: %s" % (name, e))
        problem = expected_data(data)
        if problem:
            raise Failure("%s delivered wrong bytes: %s" % (name, problem))
        run.expected_bytes = len(received)
        return received, data

    def quib_wire(self, run, inputs, mime=False, keep=True):
        """Checks quib's delivery of inputs.body and keeps (with keep) its
        DATA bytes and its commands up to DATA for the raw push and the
        sendfile reference."""
        body = inputs.read_body()

        def expected(data):
            cut = data.find(b"\r\n\r\n")
            if cut < 0:
                return "no header block"
            rest = data[cut + 4:]
            if mime:
                want = body.replace(b"\r", b"").replace(b"\n", b"\r\n")
                if not want.endswith(b"\r\n"):
                    want += b"\r\n"
                got = qp_decoded_form(rest)
            else:
                want = wire_form(b"\n" + body)[2:]  # the body begins a line
                got = rest
            return None if got == want else "the body differs (%d bytes, %d expected)" % (len(got), len(want))

        received, data = self.check(run, "quib" + (" -mime" if mime else ""), expected)
        if not keep:
            return None, None
        return self.keep_wire(inputs, received, data, ".mime" if mime else "")

    @staticmethod
    def keep_wire(inputs, received, data, suffix):
        """Keeps quib's DATA bytes and its commands up to DATA."""
        dialogue = received[:received.index(data)]
        with open(inputs.quib_wire + suffix, "wb") as f:
            f.write(data)
        with open(inputs.quib_dialogue + suffix, "wb") as f:
            f.write(dialogue)
        return inputs.quib_wire + suffix, inputs.quib_dialogue + suffix

    def same_as_file(self, run, name, path):
        with open(path, "rb") as f:
            want = f.read()
        self.check(run, name, lambda data: None if data == want else "differs from %s" % os.path.basename(path))

    def message(self, run, name, inputs):
        """msmtp and curl: the LF message file with CR LF line ends."""
        with open(inputs.message, "rb") as f:
            want = wire_form(f.read())
        self.check(run, name, lambda data: None if data == want else "%d bytes, %d expected" % (len(data), len(want)))

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        shutil.rmtree(self.folder, ignore_errors=True)


# ---- The sink ----------------------------------------------------------------------


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(argv, port):
    """Starts a sink and waits until it accepts on port."""
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return proc
        except OSError:
            time.sleep(0.05)
    proc.terminate()
    raise SystemExit("%s never accepted on port %d" % (os.path.basename(argv[0]), port))


def start_sink(port):
    args = [shutil.which("smtp-sink") or "/usr/sbin/smtp-sink"]
    if os.geteuid() == 0:  # smtp-sink refuses to run as root without -u
        args += ["-u", "nobody"]
    return start_server(args + ["127.0.0.1:%d" % port, "128"], port)


# ---- Report --------------------------------------------------------------------------


class Section:
    """What one section measured: its runs, tables, notes and targets, and
    its raw figures."""

    def __init__(self, title):
        self.title = title
        self.series = []
        self.series_rows = []  # the table of every raced series, first
        self.tables = []
        self.notes = []
        self.targets = []
        self.data = None  # raw figures beyond the series'

    def race(self, tools, series, reps, size=None, listed=True):
        """The series interleaved; listed, in the section's first table."""
        interleave(list(series), reps, tools)
        self.series += series
        if listed:
            self.series_rows += [series_row(s, size) for s in series]

    def table(self, header, rows):
        self.tables.append((header, rows))

    def target(self, what, value, limit, detail, load, at_least=False):
        """value must be at most limit (at least, with at_least)."""
        if value != value or limit != limit:  # NaN: something failed
            verdict = "NO DATA"
        else:
            met = value >= limit if at_least else value <= limit
            verdict = "MET" if met else "MISSED"
        load_text = "" if load != load else " (load %.2f)" % load
        self.targets.append("- **%s** %s: %s%s" % (verdict, what, detail, load_text))

    def versus(self, what, a, b, limit, more=""):
        """a's median wall time at most limit times b's."""
        r = ratio(a, b)
        self.target(what, r, limit, "%s %s, %s %s: %.2fx (target <= %.2f%s)" % (
            a.name, fmt_s(a.wall), b.name, fmt_s(b.wall), r, limit, more), a.load)


class Report:
    """The sections' details in order, and their targets, which are printed
    first."""

    def __init__(self):
        self.lines = []
        self.verdicts = []
        self.data = {}
        self.failures = []

    def out(self, text=""):
        self.lines.append(text)

    def table(self, header, rows):
        self.out("| " + " | ".join(header) + " |")
        self.out("|" + "---|" * len(header))
        for row in rows:
            self.out("| " + " | ".join(row) + " |")
        self.out()

    def add(self, name, section):
        self.out("## " + section.title)
        self.out()
        tables = ([(SERIES_HEADER, section.series_rows)] if section.series_rows else []) + section.tables
        for header, rows in tables:
            self.table(header, rows)
        if section.notes:
            self.lines += section.notes + [""]
        self.lines += section.targets + [""]
        self.verdicts += section.targets
        self.failures += ["%s: %s" % (s.name, s.error) for s in section.series if s.error]
        self.data[name] = {"series": [s.as_dict() for s in section.series], "more": section.data}


def fmt_s(seconds):
    if seconds != seconds:
        return "failed"
    return "%.3f s" % seconds if seconds >= 0.1 else "%.2f ms" % (seconds * 1000)


def ratio(a, b):
    return a.wall / b.wall if a.ok and b.ok else float("nan")


def series_row(series, size=None):
    if not series.ok:
        return [series.name, "failed: " + (series.error or "no run"), "", "", "", "", ""]
    row = [series.name, fmt_s(series.wall), "%.1f MiB" % series.peak_mib, fmt_s(series.cpu),
           fmt_s(series.sink_cpu), "%.2f" % series.load]
    row.append("%.0f MiB/s" % (size / MIB / series.wall) if size else "")
    return row


SERIES_HEADER = ["tool", "median wall", "peak RSS", "median CPU (user+sys)", "sink CPU", "load", "throughput"]


def machine_block():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])

    def version(cmd):
        try:
            return subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0]
        except (OSError, IndexError):
            return "missing"

    def setting(path):
        try:
            with open(path) as f:
                return f.read().strip()
        except OSError:
            return "unknown"

    lines = [
        "- Date: %s" % datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %z"),
        "- Machine: %d cores (nproc), %s, %.1f GiB memory; %s %s" % (
            os.cpu_count(), cpu, mem_kib / 1024 / 1024, platform.system(), platform.release()),
        "- Load average at start: %s" % " ".join("%.2f" % v for v in os.getloadavg()),
        "- Transparent huge pages: enabled %s; defrag %s" % (
            setting("/sys/kernel/mm/transparent_hugepage/enabled"),
            setting("/sys/kernel/mm/transparent_hugepage/defrag")),
        "- Tools: %s; %s; %s" % (version(["msmtp", "--version"]), version(["curl", "--version"]).split(" (")[0],
                                 "smtp-sink from " + version(["dpkg-query", "-W", "postfix"]).replace("\t", " ")),
    ]
    return lines


# ---- The measurements -------------------------------------------------------------------
# Each section measures, computes and says what it found in a Section; main
# walks SECTIONS and reports each the same way.


def contenders(b, inputs, limit_name):
    """quib and the tools that do its work on the same input, each delivery
    checked once at the recording sink: (quib's wire file, quib, the
    sendfile client, the raw push, curl, msmtp)."""
    tools, checks = b.tools, b.checks
    quib = Series("quib", tools.quib(inputs.body))
    wire, dialogue = checks.quib_wire(quib.run, inputs)
    limit = Series(limit_name, tools.sendfile(wire, dialogue))
    push = Series("raw push", tools.push(wire, dialogue))
    msmtp = Series("msmtp", tools.msmtp(inputs.message))
    curl = Series("curl --crlf", tools.curl(inputs.message))
    checks.same_as_file(limit.run, "sendfile", wire)
    checks.same_as_file(push.run, "raw push", wire)
    checks.message(msmtp.run, "msmtp", inputs)
    checks.message(curl.run, "curl", inputs)
    return wire, quib, limit, push, curl, msmtp


def bench_large_plain(b):
    inputs, mib = b.text, b.text.size // MIB
    s = Section("1. Large plain body (%d MiB of text), %d runs each, interleaved" % (mib, b.reps))
    wire, quib, limit, push, curl, msmtp = contenders(b, inputs, "sendfile (limit)")
    debug = Series("quib -debug", b.tools.quib(inputs.body, debug=True))
    debug.run.expected_bytes = quib.run.expected_bytes  # a transcript changes no byte on the wire
    s.race(b.tools, (quib, debug, curl, limit, push, msmtp), b.reps, inputs.size)
    s.notes.append("Wire bytes of quib's message: %d (checked at the recording sink; every timed run's count "
                   "at the sink checked too)." % os.path.getsize(wire))
    s.versus("%d MiB plain vs curl --crlf" % mib, quib, curl, 1.0)
    s.versus("%d MiB plain vs the physical limit (sendfile of quib's wire bytes)" % mib, quib, limit, 1.1)
    s.versus("%d MiB plain with -debug vs without (the text summarised, never formatted)" % mib, debug,
             quib, 1.05)
    return s


def bench_large_tls(b):
    """quib through smtps:// against curl --ssl-reqd --crlf, to one TLS sink.
    Delivery is the tools' exit status here: the TLS sink answers 250 only
    after the end marker."""
    inputs, tools = b.text, b.tools
    s = Section("1t. TLS: %d MiB through smtps://, %d runs each, interleaved" % (inputs.size // MIB, b.reps))

    def race(cert, port):
        env = dict(tools.env, SSL_CERT_FILE=cert)
        quib_cmd = [tools.quib_exe, inputs.body, "-server", "smtps://127.0.0.1:%d" % port, "-f", SENDER,
                    "-t", RCPT, "-q"]
        curl_cmd = ["curl", "-sS", "--crlf", "--ssl-reqd", "--cacert", cert, "smtps://127.0.0.1:%d" % port,
                    "--mail-from", SENDER, "--mail-rcpt", RCPT, "-T", inputs.message]
        quib = Series("quib smtps://", runner=lambda: run_once(quib_cmd, env=env, err_path=tools.err))
        curl = Series("curl --crlf --ssl-reqd", runner=lambda: run_once(curl_cmd, err_path=tools.err))
        s.race(tools, (quib, curl), b.reps, inputs.size)
        s.versus("%d MiB smtps vs curl" % (inputs.size // MIB), quib, curl, 1.0)

    with_tls_sink(["tls_sink.py"], race)
    return s


def with_tls_sink(sink_argv, race):
    """Starts a sink of bench/ (its script and arguments; the certificate,
    key and port go after the script) with a fresh certificate for
    127.0.0.1, and calls race(certificate, port) while it runs; the sink CPU
    column is that sink's meanwhile."""
    folder = tempfile.mkdtemp(prefix="quib-bench-tls-")
    cert, key = os.path.join(folder, "sink.pem"), os.path.join(folder, "sink.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", key, "-out", cert, "-subj", "/CN=127.0.0.1", "-days", "2",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    port = free_port()
    sink = start_server([sys.executable, os.path.join(os.path.dirname(__file__), sink_argv[0]),
                         cert, key, str(port)] + sink_argv[1:], port)
    global SINK_PID
    plain_sink, SINK_PID = SINK_PID, sink.pid
    try:
        race(cert, port)
    finally:
        SINK_PID = plain_sink
        sink.terminate()
        sink.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


def bench_large_mime(b):
    s = Section("2. Large encoded body (-mime), %d runs each, interleaved" % b.reps)
    s.data = []
    for inputs in (b.binary, b.text):
        label = "%d MiB %s" % (inputs.size // MIB, "random bytes" if inputs.kind == "binary" else "text")
        quib = Series("quib -mime, %s" % label, b.tools.quib(inputs.body, mime=True))
        wire, dialogue = b.checks.quib_wire(quib.run, inputs, mime=True)
        push = Series("raw push of the encoded message, %s" % label, b.tools.push(wire, dialogue))
        limit = Series("sendfile of the encoded message, %s" % label, b.tools.sendfile(wire, dialogue))
        b.checks.same_as_file(push.run, "raw push", wire)
        b.checks.same_as_file(limit.run, "sendfile", wire)
        s.race(b.tools, (quib, push, limit), b.reps, inputs.size)
        encoded = b.tools.qp_length(inputs.body)
        s.data.append({"label": label, "encoded_bytes": encoded})
        s.notes.append("%s: exact encoded body %d bytes (%.1f MiB, %.2f x the body, counted by bench_rawsmtp); "
                       "wire bytes %d." % (label, encoded, encoded / MIB, encoded / inputs.size,
                                           os.path.getsize(wire)))
        bound = encoded / MIB + 16
        s.target("peak memory -mime, %s" % label, quib.peak_mib, bound,
                 "%.1f MiB (target <= encoded %.1f + 16 = %.1f MiB)" % (quib.peak_mib, encoded / MIB, bound),
                 quib.load)
        s.versus("-mime time vs the raw push of the encoded bytes, %s" % label, quib, push, 1.2,
                 "; sendfile %s" % fmt_s(limit.wall))
    return s


def bench_encoder(b):
    s = Section("2b. Encoder throughput (Google Benchmark, one core, CPU time)")
    exe = os.path.join(b.args.bin, "qp_encode_bench")
    env = dict(os.environ, QP_BENCH_TEXT=b.text.body, QP_BENCH_BINARY=b.binary.body)
    load = load_now()
    proc = subprocess.run([exe, "--benchmark_format=json", "--benchmark_min_time=%s" % b.gb_min_time,
                           "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
                          env=env, capture_output=True, text=True)
    what = "encoder throughput on text (qp_encoded_length + qp_encode_buffer)"
    if proc.returncode != 0:
        s.notes.append("qp_encode_bench failed: " + proc.stderr[-400:])
        s.target(what, float("nan"), 400, "no figure", load, at_least=True)
        return s
    s.data = json.loads(proc.stdout)["benchmarks"]
    medians = [r for r in s.data if r.get("aggregate_name") == "median"]
    s.table(["case (median of 3)", "throughput", "CPU time per pass"],
            [[r["run_name"].replace("binary:0", "text").replace("binary:1", "binary"),
              "%.0f MB/s" % (r["bytes_per_second"] / 1e6), "%.1f ms" % r["cpu_time"]] for r in medians])
    step = [r["bytes_per_second"] / 1e6 for r in medians if r["run_name"] == "BM_EncodeStep/binary:0"]
    mbs = step[0] if step else float("nan")
    s.target(what, mbs, 400, "%.0f MB/s (target >= 400 MB/s)" % mbs, load, at_least=True)
    return s


def attachment_of(data):
    """The base64 part in DATA-phase bytes, decoded (the part after the first
    "Content-Transfer-Encoding: base64" line to the next delimiter), or
    None. Works on a 1 GiB file where the email package would take minutes."""
    at = data.lower().find(b"content-transfer-encoding: base64\r\n")
    start = data.find(b"\r\n\r\n", at) + 4 if at >= 0 else -1
    end = data.find(b"\r\n--", start)
    if start < 4 or end < 0:
        return None
    return binascii.a2b_base64(data[start:end].replace(b"\r\n", b""))


def make_large_binary(path, size, seed):
    """size random bytes written 64 MiB at a time (never whole in memory)."""
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    rng = random.Random(seed)
    with open(path + ".tmp", "wb") as f:
        for left in range(size, 0, -64 * MIB):
            f.write(rng.randbytes(min(left, 64 * MIB)))
    os.rename(path + ".tmp", path)


def plot_attachment(rows, path):
    """Median time and peak memory against the attachment's size for quib,
    curl -F and the sendfile limit, as a PNG at path."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    for name, marker in (("quib -attach", "o"), ("curl -F", "s"), ("sendfile (limit)", "^")):
        points = [(r["mib"], r[name]) for r in rows if name in r]
        sizes = [p[0] for p in points]
        left.plot(sizes, [p[1][0] for p in points], marker=marker, label=name)
        right.plot(sizes, [p[1][1] for p in points], marker=marker, label=name)
    for axes, label in ((left, "median wall time (s)"), (right, "peak RSS (MiB)")):
        axes.set_xscale("log", base=2)
        axes.set_yscale("log")
        axes.set_xlabel("attachment (MiB)")
        axes.set_ylabel(label)
        axes.grid(True, which="both", alpha=0.3)
        axes.legend()
    fig.suptitle("A random attachment on an empty body, to smtp-sink on loopback")
    fig.tight_layout()
    fig.savefig(path, dpi=90)


def bench_attachment(b):
    """Large attachments, streamed: quib against curl -F with a base64 part
    and against the sendfile client of quib's own wire bytes, at 64 MiB and
    at 1 GiB (made here, never kept in memory); then the base64 encoder alone."""
    tools, checks = b.tools, b.checks
    big = os.path.join(b.args.work, "binary-1g.body")
    make_large_binary(big, b.attach_big, SEED + 1)
    s = Section("5. Attachments of %d MiB and %d MiB (random bytes), interleaved" % (
        b.binary.size // MIB, b.attach_big // MIB))
    body = os.path.join(b.args.work, "empty.body")
    open(body, "wb").close()
    rows, plot_rows = [], []
    for path, size, reps in ((b.binary.body, b.binary.size, b.reps), (big, b.attach_big, b.big_reps)):
        mib = size // MIB
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).digest()

        def delivered(data):
            got = attachment_of(data)
            return None if got is not None and hashlib.sha256(got).digest() == digest else \
                "the attachment does not decode to the file"

        quib = Series("quib -attach", tools.quib(body, attach=path))
        received, data = checks.check(quib.run, "quib -attach %d MiB" % mib, delivered)
        wire_bytes = len(data)
        inputs = argparse.Namespace(quib_wire=path + ".quib-wire", quib_dialogue=path + ".quib-dialogue")
        wire, dialogue = checks.keep_wire(inputs, received, data, ".attach")
        del received, data
        curl = Series("curl -F", tools.curl_attach(path))
        checks.check(curl.run, "curl -F %d MiB" % mib, delivered)
        limit = Series("sendfile (limit)", tools.sendfile(wire, dialogue))
        checks.same_as_file(limit.run, "sendfile %d MiB" % mib, wire)
        interleave([quib, curl, limit], reps, tools)
        s.series += [quib, curl, limit]
        for one in (quib, curl, limit):
            rows.append(["%d MiB" % mib] + series_row(one, size))
        plot_rows.append({"mib": mib, **{one.name: (one.wall, one.peak_mib) for one in (quib, curl, limit)
                                         if one.ok}})
        s.notes.append("%d MiB, %d runs each: wire bytes of quib's message %d (%.2f x the file); each "
                       "delivery's attachment decoded and compared with the file." % (
                           mib, reps, wire_bytes, wire_bytes / size))
        s.versus("%d MiB attachment vs curl -F base64" % mib, quib, curl, 0.5)
        s.versus("%d MiB attachment vs the physical limit (sendfile of quib's wire bytes)" % mib, quib,
                 limit, 1.05)
        s.target("peak memory -attach %d MiB" % mib, quib.peak_mib, 16,
                 "%.1f MiB, curl -F %.1f MiB (target <= the empty body + 16 MiB)" % (
                     quib.peak_mib, curl.peak_mib), quib.load)
        os.remove(wire)
    s.table(["size"] + SERIES_HEADER, rows)
    plot = os.path.join(b.args.work, "attachments.png")
    try:
        plot_attachment(plot_rows, plot)
        s.notes.append("Plot: %s" % plot)
    except ImportError as e:
        s.notes.append("No plot: %s" % e)

    load = load_now()
    proc = subprocess.run([os.path.join(b.args.bin, "base64_encode_bench"), "--benchmark_format=json",
                           "--benchmark_min_time=%s" % b.gb_min_time, "--benchmark_repetitions=3",
                           "--benchmark_report_aggregates_only=true"],
                          env=dict(os.environ, BASE64_BENCH_INPUT=b.binary.body), capture_output=True, text=True)
    medians = [r for r in json.loads(proc.stdout)["benchmarks"] if r.get("aggregate_name") == "median"] \
        if proc.returncode == 0 else []
    gbs = medians[0]["bytes_per_second"] / 1e9 if medians else float("nan")
    if not medians:
        s.notes.append("base64_encode_bench failed: " + proc.stderr[-400:])
    s.target("base64 encoder alone (Google Benchmark, one core, 256 KiB blocks)", gbs, 1.5,
             "%.2f GB/s (target >= 1.5 GB/s)" % gbs, load, at_least=True)
    s.data = {"sizes": plot_rows, "base64": medians}
    return s


def bench_small(b):
    s = Section("3. Small message (1 KiB), %d runs each, interleaved" % b.small_runs)
    _, quib, limit, push, curl, msmtp = contenders(b, b.small, "minimal client (sendfile)")
    s.race(b.tools, (quib, limit, push, curl, msmtp), b.small_runs)
    s.versus("1 KiB round trip vs a minimal client", quib, limit, 1.15, "; raw push %s, curl %s, msmtp %s" % (
        fmt_s(push.wall), fmt_s(curl.wall), fmt_s(msmtp.wall)))
    return s


def bench_small_login(b):
    """quib -u (AUTH PLAIN) through starttls:// against curl --ssl-reqd -u,
    to one aiosmtpd that requires the login: a tool that did not log in
    gets no 250 for MAIL and fails, so the exit status is the delivery
    check here."""
    tools = b.tools
    s = Section("3l. Login: 1 KiB through starttls:// with AUTH PLAIN, %d runs each, interleaved" % b.login_runs)

    def race(cert, port):
        env = dict(tools.env, SSL_CERT_FILE=cert, QUIB_PASSWORD="bench-secret")
        quib_cmd = [tools.quib_exe, b.small.body, "-server", "starttls://127.0.0.1:%d" % port, "-f", SENDER,
                    "-t", RCPT, "-u", "bench", "-auth", "plain", "-q"]
        curl_cmd = ["curl", "-sS", "--crlf", "--ssl-reqd", "--cacert", cert, "smtp://127.0.0.1:%d" % port,
                    "-u", "bench:bench-secret", "--login-options", "AUTH=PLAIN", "--mail-from", SENDER,
                    "--mail-rcpt", RCPT, "-T", b.small.message]
        quib = Series("quib starttls:// -u", runner=lambda: run_once(quib_cmd, env=env, err_path=tools.err))
        curl = Series("curl --ssl-reqd -u", runner=lambda: run_once(curl_cmd, err_path=tools.err))
        s.race(tools, (quib, curl), b.login_runs)
        s.versus("1 KiB starttls:// with AUTH PLAIN vs curl", quib, curl, 1.0)

    with_tls_sink(["auth_sink.py", "bench", "bench-secret"], race)
    return s


class EhloServer:
    """A server on loopback that greets, answers EHLO with `ehlo_bytes` of
    5-byte continuation lines ("250-" LF) before "250 AUTH PLAIN", and
    refuses the login with 535: what a hostile server costs a login."""

    def __init__(self, ehlo_bytes):
        self.reply = b"250-\n" * (ehlo_bytes // 5) + b"250 AUTH PLAIN\r\n"
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            conn, _ = self.listener.accept()
            with conn:
                try:
                    conn.sendall(b"220 flood\r\n")
                    conn.recv(1024)  # EHLO
                    conn.sendall(self.reply)
                    conn.recv(1024)  # AUTH, unless quib gave up on the reply
                    conn.sendall(b"535 no\r\n")
                    conn.recv(1024)
                except OSError:
                    pass


def bench_ehlo_flood(b):
    """Peak memory of a login whose EHLO reply runs to the 16 MiB that a
    reply may hold, against one with a short EHLO reply."""
    s = Section("3e. Memory of an endless EHLO reply during a login, %d runs each" % b.reps)
    rows = []
    peaks = {}
    for name, ehlo_bytes in (("3-line EHLO reply", 10), ("16 MiB of 5-byte EHLO lines", 17 * MIB)):
        server = EhloServer(ehlo_bytes)
        cmd = [b.tools.quib_exe, b.small.body, "-server", "127.0.0.1:%d" % server.port, "-f", SENDER,
               "-t", RCPT, "-u", "bench", "-pass", "bench-secret", "-q"]
        runs = []
        for _ in range(b.reps):
            out = subprocess.run([LAUNCHER, "measure"] + cmd, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, env=b.tools.env).stdout.split()
            if len(out) != 4 or int(out[2]) != 255:  # the login is refused: status -1
                raise Failure("quib against the EHLO server: %s" % out)
            runs.append((float(out[0]), int(out[1]) / 1024))
        peaks[name] = statistics.median(r[1] for r in runs)
        rows.append([name, fmt_s(statistics.median(r[0] for r in runs)), "%.1f MiB" % peaks[name]])
    s.table(["server", "median wall", "median peak RSS"], rows)
    extra = peaks["16 MiB of 5-byte EHLO lines"] - peaks["3-line EHLO reply"]
    s.target("peak memory added by an endless EHLO reply", extra, 4,
             "%.1f MiB over the short reply's run (target <= 4 MiB)" % extra, load_now())
    s.data = {"peak_mib": peaks}
    return s


def bench_oauth(b):
    """-oauth against the tests' token endpoint (HTTPS, a throwaway
    authority) and an XOAUTH2 sink behind STARTTLS: a cached token against
    -pass with the same token, and a fetched one against curl fetching it
    from the same endpoint and sending with --oauth2-bearer."""
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "fakes"))
    from token_endpoint import Authority, TokenEndpoint
    tools = b.tools
    s = Section("3o. OAuth: 1 KiB through starttls:// with XOAUTH2, %d runs each, interleaved" % b.login_runs)
    folder = tempfile.mkdtemp(prefix="quib-bench-oauth-")
    authority = Authority(folder)
    endpoint = TokenEndpoint(authority).__enter__()
    url = endpoint.base + "/contoso.example/oauth2/v2.0/token"
    setup = ("provider = microsoft\ntenant = contoso.example\ntoken_url = %s\nclient_id = c\n"
             "client_secret = s3cret-app\n" % url)
    cached_file, fresh_file = os.path.join(folder, "cached.oauth"), os.path.join(folder, "fresh.oauth")

    def write(path, text):
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o600)

    def race(cert, port):
        env = dict(tools.env, SSL_CERT_FILE=authority.ca_file)
        send = [b.small.body, "-server", "starttls://127.0.0.1:%d" % port, "-f", SENDER, "-t", RCPT, "-u", "bench"]
        bundle = os.path.join(folder, "both.pem")  # the sink's certificate and the endpoint's authority
        with open(bundle, "w") as out:
            for part in (cert, authority.ca_file):
                out.write(open(part).read())
        env["SSL_CERT_FILE"] = bundle
        write(cached_file, setup)
        subprocess.run([tools.quib_exe, "-oauth-check", cached_file], env=env, check=True, capture_output=True)
        token = re.search(r"access_token = (\S+)", open(cached_file).read()).group(1)
        cached = Series("quib -oauth (cached)", runner=lambda: run_once(
            [tools.quib_exe] + send + ["-oauth", cached_file, "-q"], env=env, err_path=tools.err))
        pass_ = Series("quib -pass token", runner=lambda: run_once(
            [tools.quib_exe] + send + ["-auth", "xoauth2", "-pass", token, "-q"], env=env, err_path=tools.err))

        def fresh_run():
            write(fresh_file, setup)
            return run_once([tools.quib_exe] + send + ["-oauth", fresh_file, "-q"], env=env, err_path=tools.err)
        fresh = Series("quib -oauth (fetch)", runner=fresh_run)
        script = ('T=$(curl -sS --cacert %s -d client_id=c --data-urlencode scope=https://outlook.office365.com/.default'
                  ' -d client_secret=s3cret-app -d grant_type=client_credentials %s | sed -E \'s/.*"access_token": '
                  '"([^"]+)".*/\\1/\') && curl -sS --crlf --ssl-reqd --cacert %s smtp://127.0.0.1:%d -u bench: '
                  '--oauth2-bearer "$T" --mail-from %s --mail-rcpt %s -T %s' % (
                      authority.ca_file, url, cert, port, SENDER, RCPT, b.small.message))
        curl = Series("curl token + --oauth2-bearer", runner=lambda: run_once(["sh", "-c", script], err_path=tools.err))
        s.race(tools, (cached, pass_, fresh, curl), b.login_runs)
        s.versus("1 KiB with a cached token vs -pass", cached, pass_, 1.05)
        s.versus("1 KiB fetching a token vs curl fetching one and sending", fresh, curl, 1.0)

    try:
        with_tls_sink(["auth_sink.py"], race)
    finally:
        endpoint.__exit__()
        shutil.rmtree(folder, ignore_errors=True)
    return s


def bench_growth(b):
    s = Section("4. Growth, %d runs each, interleaved" % b.reps)
    sized = []
    for inputs in b.growth:
        one = Series("%d MiB" % (inputs.size // MIB), b.tools.quib(inputs.body))
        b.checks.quib_wire(one.run, inputs)
        sized.append((one, inputs.size / MIB))
    s.race(b.tools, [one for one, _ in sized], b.reps, listed=False)
    s.table(["plain body", "median wall", "peak RSS", "wall per MiB", "CPU per MiB", "peak RSS less the body",
             "load"],
            [[one.name, fmt_s(one.wall), "%.1f MiB" % one.peak_mib, "%.2f ms/MiB" % (one.wall / mib * 1000),
              "%.2f ms/MiB" % (one.cpu / mib * 1000), "%.2f MiB" % (one.peak_mib - mib), "%.2f" % one.load]
             for one, mib in sized])
    # Time per MiB beyond the fixed cost of a run: the step from each size to
    # the next, per MiB added; flat when no step costs more than 1.2x the
    # cheapest.
    steps = [("%s to %s" % (a.name, c.name), (c.wall - a.wall) / (mc - ma))
             for (a, ma), (c, mc) in zip(sized, sized[1:])]
    s.notes.append("Added time per added MiB: " + ", ".join("%s %.2f ms" % (n, v * 1000) for n, v in steps) + ".")
    per = [v for _, v in steps]
    flat = max(per) / min(per) if per and min(per) > 0 else float("nan")
    load = statistics.median(x for one, _ in sized for x in one.loads) if sized[0][0].loads else float("nan")
    s.target("time per MiB flat from %s to %s" % (sized[0][0].name, sized[-1][0].name), flat, 1.2,
             "largest step %.2f ms/MiB, smallest %.2f ms/MiB: %.2fx (target <= 1.20)" % (
                 max(per) * 1000, min(per) * 1000, flat), load)
    extra = max(one.peak_mib - mib for one, mib in sized)
    s.target("peak memory per MiB flat: peak less the body at every size", extra, 8,
             "at most %.1f MiB over the body (target <= 8 MiB at every size)" % extra, load)

    counts = b.recipient_counts
    rseries = []
    for n in counts:
        bcc = ",".join("r%07d@example.org" % k for k in range(1, n)) or None
        one = Series("%d recipient%s" % (n, "" if n == 1 else "s"), b.tools.quib(b.small.body, bcc=bcc))
        b.checks.quib_wire(one.run, b.small, keep=False)
        rseries.append(one)
    s.race(b.tools, rseries, 3 * b.reps, listed=False)  # short runs: more of them, for steadier medians
    trips = [b.tools.rcpt_round_trip_us(max(counts)) for _ in range(3)]
    rtt = statistics.median(t[0] for t in trips) / 1e6
    base = rseries[0]
    costs = [(n, (one.wall - base.wall) / (n - 1)) for one, n in zip(rseries, counts) if n > 1]
    s.table(["1 KiB body to", "median wall", "added time per added recipient", "load"],
            [[one.name, fmt_s(one.wall), "%.1f us" % (per * 1e6) if n > 1 else "", "%.2f" % one.load]
             for one, (n, per) in zip(rseries, [(1, 0.0)] + costs)])
    s.notes.append("RCPT round trip of the minimal client (bench_rawsmtp, %d RCPTs over one connection, median of "
                   "3 runs): median %.1f us, mean %.1f us." % (
                       max(counts), rtt * 1e6, statistics.median(t[1] for t in trips)))
    worst_n, worst = max(costs, key=lambda c: c[1])
    s.target("per-recipient cost up to %d recipients vs one RCPT round trip" % max(counts), worst / rtt, 1.1,
             "worst %.1f us (at %d) vs %.1f us: %.2fx (target <= 1.10)" % (
                 worst * 1e6, worst_n, rtt * 1e6, worst / rtt), statistics.median(one.load for one in rseries))
    s.data = {"rcpt_round_trip_us": trips}
    return s


# The sections in the order they run and report; BENCH_ONLY names them.
SECTIONS = (
    ("plain", bench_large_plain),
    ("tls", bench_large_tls),
    ("mime", bench_large_mime),
    ("encoder", bench_encoder),
    ("small", bench_small),
    ("login", bench_small_login),
    ("flood", bench_ehlo_flood),
    ("oauth", bench_oauth),
    ("growth", bench_growth),
    ("attach", bench_attachment),
)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True, help="folder of quib, qp_encode_bench, bench_rawsmtp")
    parser.add_argument("--work", required=True, help="folder for inputs (cached) and the report")
    parser.add_argument("--quick", action="store_true", help="8 MiB instead of 64, fewer runs")
    parser.add_argument("--only", default="", help="comma list of sections: plain,tls,mime,encoder,small,login,oauth,flood,growth,attach")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    large = (8 if args.quick else 64) * MIB
    only = set(filter(None, args.only.split(",")))

    def wanted(name):
        return not only or name in only

    report = Report()
    header = machine_block()
    t0 = time.monotonic()
    # What the sections share: inputs, run counts, tools, delivery checks.
    b = argparse.Namespace(args=args, reps=int(os.environ.get("BENCH_REPS", 3 if args.quick else 9)),
                           small_runs=int(os.environ.get("BENCH_SMALL_RUNS", 50 if args.quick else 200)),
                           login_runs=int(os.environ.get("BENCH_LOGIN_RUNS", 20 if args.quick else 60)),
                           gb_min_time="0.2" if args.quick else "0.5",
                           big_reps=int(os.environ.get("BENCH_BIG_REPS", 1 if args.quick else 3)),
                           attach_big=(256 if args.quick else 1024) * MIB)
    b.text = Inputs(args.work, "text", large)
    b.binary = Inputs(args.work, "binary", large)
    b.small = Inputs(args.work, "text", 1024)
    growth_sizes = sorted({1 * MIB, 8 * MIB, large, (32 if args.quick else 256) * MIB})
    b.growth = [Inputs(args.work, "text", s) for s in growth_sizes] if wanted("growth") else []
    b.recipient_counts = (1, 100, 1000) if args.quick else (1, 100, 1000, 5000)
    header.append("- Inputs ready in %.1f s (cached in %s)" % (time.monotonic() - t0, args.work))

    global LAUNCHER, SINK_PID
    LAUNCHER = os.path.join(args.bin, "bench_rawsmtp")
    port = free_port()
    sink = start_sink(port)
    SINK_PID = sink.pid
    b.tools = Tools(args, port, args.work)
    b.checks = Deliveries(b.tools, args.work)
    try:
        for name, measure in SECTIONS:
            if wanted(name):
                print("bench: " + name, file=sys.stderr, flush=True)
                report.add(name, measure(b))
    except Failure as e:
        report.failures.append(str(e))
    finally:
        sink.terminate()
        sink.wait(timeout=10)
        b.checks.close()
        b.tools.cleanup()

    lines = ["# quib benchmark%s" % (" (quick: BENCH_QUICK=1)" if args.quick else ""), ""]
    lines += ["## Targets (medians of interleaved runs; load = 1-minute load average during the runs)", ""]
    lines += report.verdicts + [""]
    if report.failures:
        lines += ["## FAILED: runs that did not deliver", ""] + ["- " + f for f in report.failures] + [""]
    lines += ["## Machine", ""] + header + [""]
    lines += report.lines
    lines.append("Whole benchmark: %.0f s." % (time.monotonic() - t0))
    print("\n".join(lines), flush=True)
    with open(os.path.join(args.work, "report.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(args.work, "results.json"), "w") as f:
        json.dump(report.data, f, indent=1)
    return 1 if report.failures else 0


if __name__ == "__main__":
    sys.exit(main())
