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
import json
import os
import platform
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
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
        before = sink_bytes_read()
        figures = run_once(self.argv_for_port(port), self.stdin_path, self.env, err_path)
        after = sink_bytes_read()
        if self.expected_bytes is None:
            raise Failure("delivery never checked")
        if before is not None and after is not None and after - before != self.expected_bytes:
            raise Failure("the sink read %d bytes, %d expected" % (after - before, self.expected_bytes))
        return figures


class Series:
    """Wall times, peak memory, CPU and the machine's load of repeated runs
    of one command."""

    def __init__(self, name, run=None):
        self.name = name
        self.run = run
        self.walls = []
        self.rss = []
        self.cpus = []
        self.sink_cpus = []
        self.loads = []
        self.error = None

    def add(self, runner):
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


def interleave(series_runners, reps):
    """Runs every command once per round, the order turned by one each round,
    so that drift of the machine falls on all alike."""
    for rep in range(reps):
        turn = rep % len(series_runners)
        for series, runner in series_runners[turn:] + series_runners[:turn]:
            series.add(runner)


def race(tools, series, reps):
    """The series (each with its Run) interleaved against the timing sink."""
    interleave([(s, (lambda s=s: s.run.timed(tools.port, tools.err))) for s in series], reps)


# ---- The tools ------------------------------------------------------------------


class Tools:
    def __init__(self, args, port, work):
        self.port = port
        self.quib_exe = os.path.join(args.bin, "quib")
        self.raw = os.path.join(args.bin, "bench_rawsmtp")
        self.err = os.path.join(work, "last-stderr.txt")
        self.registry = tempfile.mkdtemp(prefix="quib-bench-reg-")
        self.env = dict(os.environ, QUIB_REGISTRY=self.registry)

    def quib(self, body, mime=False, bcc=None):
        def argv(port):
            cmd = [self.quib_exe, body, "-server", "127.0.0.1:%d" % port, "-f", SENDER, "-t", RCPT]
            if bcc:
                cmd += ["-b", bcc]
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
        dialogue = received[:received.index(data)]
        suffix = ".mime" if mime else ""
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


def start_sink(port):
    exe = shutil.which("smtp-sink") or "/usr/sbin/smtp-sink"
    args = [exe]
    if os.geteuid() == 0:  # smtp-sink refuses to run as root without -u
        args += ["-u", "nobody"]
    args += ["127.0.0.1:%d" % port, "128"]
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return proc
        except OSError:
            time.sleep(0.05)
    proc.terminate()
    raise SystemExit("smtp-sink never accepted on port %d" % port)


# ---- Report --------------------------------------------------------------------------


class Report:
    """The details, section by section, and the targets, which are printed
    first: each with its ratio, its verdict and the machine's load."""

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

    def target(self, what, value, limit, detail, load, at_least=False):
        """One target: value must be at most limit (at least, with at_least)."""
        if value != value or limit != limit:  # NaN: something failed
            verdict = "NO DATA"
        else:
            met = value >= limit if at_least else value <= limit
            verdict = "MET" if met else "MISSED"
        load_text = "" if load != load else " (load %.2f)" % load
        line = "- **%s** %s: %s%s" % (verdict, what, detail, load_text)
        self.verdicts.append(line)
        self.out(line)

    def failed(self, series):
        for s in series:
            if s.error:
                self.failures.append("%s: %s" % (s.name, s.error))


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


def machine_block(report):
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


def contenders(tools, checks, inputs, limit_name):
    """quib and the tools that do its work on the same input, each delivery
    checked once at the recording sink: (quib's wire file, quib, the
    sendfile client, the raw push, curl, msmtp)."""
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


def bench_large_plain(report, tools, checks, inputs, reps):
    mib = inputs.size // MIB
    wire, quib, limit, push, curl, msmtp = contenders(tools, checks, inputs, "sendfile (limit)")
    everyone = (quib, curl, limit, push, msmtp)
    race(tools, everyone, reps)
    report.failed(everyone)
    report.out("## 1. Large plain body (%d MiB of text), %d runs each, interleaved" % (mib, reps))
    report.out()
    report.table(SERIES_HEADER, [series_row(s, inputs.size) for s in everyone])
    report.out("Wire bytes of quib's message: %d (checked at the recording sink; every timed run's count "
               "at the sink checked too)." % os.path.getsize(wire))
    report.out()
    load = statistics.median(quib.loads) if quib.loads else float("nan")
    report.target("%d MiB plain vs curl --crlf" % mib, ratio(quib, curl), 1.0,
                  "quib %s, curl %s: %.2fx (target <= 1.00)" % (fmt_s(quib.wall), fmt_s(curl.wall), ratio(quib, curl)),
                  load)
    report.target("%d MiB plain vs the physical limit (sendfile of quib's wire bytes)" % mib, ratio(quib, limit), 1.1,
                  "quib %s, sendfile %s: %.2fx (target <= 1.10)" % (
                      fmt_s(quib.wall), fmt_s(limit.wall), ratio(quib, limit)), load)
    report.out()
    report.data["large_plain"] = [s.as_dict() for s in everyone]


def bench_large_tls(report, args, tools, inputs, reps):
    """quib through smtps:// against curl --ssl-reqd --crlf, to one TLS sink.
    Delivery is the tools' exit status here: the TLS sink answers 250 only
    after the end marker."""
    folder = tempfile.mkdtemp(prefix="quib-bench-tls-")
    cert, key = os.path.join(folder, "sink.pem"), os.path.join(folder, "sink.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", key, "-out", cert, "-subj", "/CN=127.0.0.1", "-days", "2",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
    port = free_port()
    sink = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "tls_sink.py"),
                             cert, key, str(port)])
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                break
        except OSError:
            time.sleep(0.05)
    global SINK_PID
    plain_sink, SINK_PID = SINK_PID, sink.pid  # the sink CPU column is the TLS sink's here
    env = dict(tools.env, SSL_CERT_FILE=cert)
    quib_cmd = [tools.quib_exe, inputs.body, "-server", "smtps://127.0.0.1:%d" % port, "-f", SENDER, "-t",
                RCPT, "-q"]
    curl_cmd = ["curl", "-sS", "--crlf", "--ssl-reqd", "--cacert", cert, "smtps://127.0.0.1:%d" % port,
                "--mail-from", SENDER, "--mail-rcpt", RCPT, "-T", inputs.message]
    quib, curl = Series("quib smtps://"), Series("curl --crlf --ssl-reqd")
    try:
        interleave([(quib, lambda: run_once(quib_cmd, env=env, err_path=tools.err)),
                    (curl, lambda: run_once(curl_cmd, err_path=tools.err))], reps)
    finally:
        SINK_PID = plain_sink
        sink.terminate()
        sink.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)
    report.failed((quib, curl))
    report.out("## 1t. TLS: %d MiB through smtps://, %d runs each, interleaved" % (inputs.size // MIB, reps))
    report.out()
    report.table(SERIES_HEADER, [series_row(s, inputs.size) for s in (quib, curl)])
    report.target("%d MiB smtps vs curl" % (inputs.size // MIB), ratio(quib, curl), 1.0,
                  "quib %s, curl %s: %.2fx (target <= 1.00)" % (fmt_s(quib.wall), fmt_s(curl.wall), ratio(quib, curl)),
                  quib.load)
    report.out()
    report.data["large_tls"] = [s.as_dict() for s in (quib, curl)]


def bench_large_mime(report, tools, checks, all_inputs, reps):
    report.out("## 2. Large encoded body (-mime), %d runs each, interleaved" % reps)
    report.out()
    rows = []
    targets = []
    for inputs in all_inputs:
        label = "%d MiB %s" % (inputs.size // MIB, "random bytes" if inputs.kind == "binary" else "text")
        quib = Series("quib -mime, %s" % label, tools.quib(inputs.body, mime=True))
        wire, dialogue = checks.quib_wire(quib.run, inputs, mime=True)
        push = Series("raw push of the encoded message, %s" % label, tools.push(wire, dialogue))
        limit = Series("sendfile of the encoded message, %s" % label, tools.sendfile(wire, dialogue))
        checks.same_as_file(push.run, "raw push", wire)
        checks.same_as_file(limit.run, "sendfile", wire)
        race(tools, (quib, push, limit), reps)
        report.failed((quib, push, limit))
        rows += [series_row(s, inputs.size) for s in (quib, push, limit)]
        encoded = tools.qp_length(inputs.body)
        targets.append((label, quib, push, limit, encoded, os.path.getsize(wire)))
        report.data.setdefault("large_mime", []).append(
            {"label": label, "series": [s.as_dict() for s in (quib, push, limit)], "encoded_bytes": encoded})
    report.table(SERIES_HEADER, rows)
    for label, quib, push, limit, encoded, wire_bytes in targets:
        report.out("%s: exact encoded body %d bytes (%.1f MiB, %.2f x the body, counted by bench_rawsmtp); "
                   "wire bytes %d." % (label, encoded, encoded / MIB, encoded / (quib_size(label)), wire_bytes))
    report.out()
    for label, quib, push, limit, encoded, wire_bytes in targets:
        bound = encoded / MIB + 16
        report.target("peak memory -mime, %s" % label, quib.peak_mib, bound,
                      "%.1f MiB (target <= encoded %.1f + 16 = %.1f MiB)" % (quib.peak_mib, encoded / MIB, bound),
                      quib.load)
        report.target("-mime time vs the raw push of the encoded bytes, %s" % label, ratio(quib, push), 1.2,
                      "quib %s, raw push %s: %.2fx (target <= 1.20; sendfile %s)" % (
                          fmt_s(quib.wall), fmt_s(push.wall), ratio(quib, push), fmt_s(limit.wall)), quib.load)
    report.out()


def quib_size(label):
    return int(label.split()[0]) * MIB


def bench_encoder(report, args, text, binary):
    report.out("## 2b. Encoder throughput (Google Benchmark, one core, CPU time)")
    report.out()
    exe = os.path.join(args.bin, "qp_encode_bench")
    env = dict(os.environ, QP_BENCH_TEXT=text.body, QP_BENCH_BINARY=binary.body)
    load = load_now()
    proc = subprocess.run([exe, "--benchmark_format=json", "--benchmark_min_time=%s" % args.gb_min_time,
                           "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
                          env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        report.out("qp_encode_bench failed: " + proc.stderr[-400:])
        report.target("encoder throughput on text", float("nan"), 400, "no figure", load)
        return
    results = json.loads(proc.stdout)["benchmarks"]
    rows = []
    step_text = float("nan")
    for b in results:
        if b.get("aggregate_name") != "median":
            continue
        mbs = b["bytes_per_second"] / 1e6
        name = b["run_name"].replace("binary:0", "text").replace("binary:1", "binary")
        rows.append([name, "%.0f MB/s" % mbs, "%.1f ms" % b["cpu_time"]])
        if b["run_name"] == "BM_EncodeStep/binary:0":
            step_text = mbs
    report.table(["case (median of 3)", "throughput", "CPU time per pass"], rows)
    report.target("encoder throughput on text (qp_encoded_length + qp_encode_buffer)", step_text, 400,
                  "%.0f MB/s (target >= 400 MB/s)" % step_text, load, at_least=True)
    report.out()
    report.data["encoder"] = results


def bench_small(report, tools, checks, inputs, runs):
    _, quib, limit, push, curl, msmtp = contenders(tools, checks, inputs,
                                                      "minimal client (sendfile)")
    everyone = (quib, limit, push, curl, msmtp)
    race(tools, everyone, runs)
    report.failed(everyone)
    report.out("## 3. Small message (1 KiB), %d runs each, interleaved" % runs)
    report.out()
    report.table(SERIES_HEADER[:-1], [series_row(s)[:-1] for s in everyone])
    report.target("1 KiB round trip vs a minimal client", ratio(quib, limit), 1.15,
                  "quib %s, minimal client %s: %.2fx (target <= 1.15; raw push %s, curl %s, msmtp %s)" % (
                      fmt_s(quib.wall), fmt_s(limit.wall), ratio(quib, limit), fmt_s(push.wall), fmt_s(curl.wall),
                      fmt_s(msmtp.wall)), quib.load)
    report.out()
    report.data["small"] = [s.as_dict() for s in everyone]


def bench_growth(report, tools, checks, sized_inputs, reps, small, recipient_counts):
    report.out("## 4. Growth, %d runs each, interleaved" % reps)
    report.out()
    series = []
    for i in sized_inputs:
        s = Series("%d MiB" % (i.size // MIB), tools.quib(i.body))
        checks.quib_wire(s.run, i)
        series.append(s)
    race(tools, series, reps)
    report.failed(series)
    rows = []
    for s, i in zip(series, sized_inputs):
        mib = i.size / MIB
        rows.append([s.name, fmt_s(s.wall), "%.1f MiB" % s.peak_mib, "%.2f ms/MiB" % (s.wall / mib * 1000),
                     "%.2f ms/MiB" % (s.cpu / mib * 1000), "%.2f MiB" % (s.peak_mib - mib), "%.2f" % s.load])
    report.table(["plain body", "median wall", "peak RSS", "wall per MiB", "CPU per MiB", "peak RSS less the body",
                  "load"], rows)
    # Time per MiB beyond the fixed cost of a run: the step from each size to
    # the next, per MiB added; flat when no step costs more than 1.2x the
    # cheapest.
    steps = []
    for (a, ia), (b, ib) in zip(zip(series, sized_inputs), list(zip(series, sized_inputs))[1:]):
        steps.append(("%s to %s" % (a.name, b.name), (b.wall - a.wall) / ((ib.size - ia.size) / MIB)))
    report.out("Added time per added MiB: " + ", ".join("%s %.2f ms" % (n, v * 1000) for n, v in steps) + ".")
    report.out()
    per = [v for _, v in steps]
    load = statistics.median(x for s in series for x in s.loads) if series[0].loads else float("nan")
    report.target("time per MiB flat from %s to %s" % (series[0].name, series[-1].name),
                  max(per) / min(per) if per and min(per) > 0 else float("nan"), 1.2,
                  "largest step %.2f ms/MiB, smallest %.2f ms/MiB: %.2fx (target <= 1.20)" % (
                      max(per) * 1000, min(per) * 1000, max(per) / min(per) if min(per) > 0 else float("nan")), load)
    extra = [s.peak_mib - i.size / MIB for s, i in zip(series, sized_inputs)]
    report.target("peak memory per MiB flat: peak less the body at every size", max(extra), 8,
                  "at most %.1f MiB over the body (target <= 8 MiB at every size)" % max(extra), load)
    report.out()

    rseries = []
    for n in recipient_counts:
        bcc = ",".join("r%07d@example.org" % k for k in range(1, n)) or None
        s = Series("%d recipient%s" % (n, "" if n == 1 else "s"), tools.quib(small.body, bcc=bcc))
        checks.quib_wire(s.run, small, keep=False)
        rseries.append(s)
    race(tools, rseries, 3 * reps)  # short runs: more of them, for steadier medians
    report.failed(rseries)
    trips = [tools.rcpt_round_trip_us(max(recipient_counts)) for _ in range(3)]
    rtt = statistics.median(t[0] for t in trips) / 1e6
    rtt_mean = statistics.median(t[1] for t in trips) / 1e6
    base = rseries[0]
    rows = []
    costs = []
    for s, n in zip(rseries, recipient_counts):
        if n == 1:
            rows.append([s.name, fmt_s(s.wall), "", "%.2f" % s.load])
            continue
        per = (s.wall - base.wall) / (n - 1)
        costs.append((n, per))
        rows.append([s.name, fmt_s(s.wall), "%.1f us" % (per * 1e6), "%.2f" % s.load])
    report.table(["1 KiB body to", "median wall", "added time per added recipient", "load"], rows)
    report.out("RCPT round trip of the minimal client (bench_rawsmtp, %d RCPTs over one connection, median of "
               "3 runs): median %.1f us, mean %.1f us." % (max(recipient_counts), rtt * 1e6, rtt_mean * 1e6))
    report.out()
    worst_n, worst = max(costs, key=lambda c: c[1])
    report.target("per-recipient cost up to %d recipients vs one RCPT round trip" % max(recipient_counts),
                  worst / rtt, 1.1, "worst %.1f us (at %d) vs %.1f us: %.2fx (target <= 1.10)" % (
                      worst * 1e6, worst_n, rtt * 1e6, worst / rtt), statistics.median(s.load for s in rseries))
    report.out()
    report.data["growth_size"] = [s.as_dict() for s in series]
    report.data["growth_rcpt"] = {"series": [s.as_dict() for s in rseries], "rcpt_round_trip_us": trips}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", required=True, help="folder of quib, qp_encode_bench, bench_rawsmtp")
    parser.add_argument("--work", required=True, help="folder for inputs (cached) and the report")
    parser.add_argument("--quick", action="store_true", help="8 MiB instead of 64, fewer runs")
    parser.add_argument("--only", default="", help="comma list of sections: plain,tls,mime,encoder,small,growth")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    large = (8 if args.quick else 64) * MIB
    reps = int(os.environ.get("BENCH_REPS", 3 if args.quick else 9))
    small_runs = int(os.environ.get("BENCH_SMALL_RUNS", 50 if args.quick else 200))
    args.gb_min_time = "0.2" if args.quick else "0.5"
    only = set(filter(None, args.only.split(",")))

    def wanted(name):
        return not only or name in only

    def progress(text):
        print("bench: " + text, file=sys.stderr, flush=True)

    report = Report()
    header = machine_block(report)
    t0 = time.monotonic()
    text = Inputs(args.work, "text", large)
    binary = Inputs(args.work, "binary", large)
    small = Inputs(args.work, "text", 1024)
    growth_sizes = sorted({1 * MIB, 8 * MIB, large, (32 if args.quick else 256) * MIB})
    growth = [Inputs(args.work, "text", s) for s in growth_sizes] if wanted("growth") else []
    recipient_counts = (1, 100, 1000) if args.quick else (1, 100, 1000, 5000)
    header.append("- Inputs ready in %.1f s (cached in %s)" % (time.monotonic() - t0, args.work))

    global LAUNCHER, SINK_PID
    LAUNCHER = os.path.join(args.bin, "bench_rawsmtp")
    port = free_port()
    sink = start_sink(port)
    SINK_PID = sink.pid
    tools = Tools(args, port, args.work)
    checks = Deliveries(tools, args.work)
    try:
        if wanted("plain"):
            progress("plain")
            bench_large_plain(report, tools, checks, text, reps)
        if wanted("tls"):
            progress("tls")
            bench_large_tls(report, args, tools, text, reps)
        if wanted("mime"):
            progress("mime")
            bench_large_mime(report, tools, checks, (binary, text), reps)
        if wanted("encoder"):
            progress("encoder")
            bench_encoder(report, args, text, binary)
        if wanted("small"):
            progress("small")
            bench_small(report, tools, checks, small, small_runs)
        if wanted("growth"):
            progress("growth")
            bench_growth(report, tools, checks, growth, reps, small, recipient_counts)
    except Failure as e:
        report.failures.append(str(e))
    finally:
        sink.terminate()
        sink.wait(timeout=10)
        checks.close()
        tools.cleanup()

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
