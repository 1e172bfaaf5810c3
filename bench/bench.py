#!/usr/bin/python3
"""Measures quib side by side with msmtp, curl and a raw SMTP push.

Started by bench/run.sh, which builds the programs and installs the tools;
see bench/README.md for what is measured and how. Writes a Markdown report
to standard output and to <work>/report.md, and the raw figures to
<work>/results.json.
"""
import argparse
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


class Inputs:
    """The files of one kind and size: the body quib mails (LF line ends),
    the same with a minimal header and CR LF line ends for msmtp and curl, and
    its wire form for the raw push. Cached in the work folder: same name, same
    bytes."""

    def __init__(self, work, kind, size):
        stem = os.path.join(work, "%s-%d-v2" % (kind, size))
        self.size = size
        self.body = stem + ".body"
        self.message = stem + ".msg"
        self.wire = stem + ".wire"
        if all(os.path.exists(p) for p in (self.body, self.message, self.wire)):
            return
        data = make_text(size, SEED) if kind == "text" else make_binary(size, SEED)
        with open(self.body, "wb") as f:
            f.write(data)
        message = HEADER + data
        with open(self.message, "wb") as f:
            f.write(crlf_form(message))
        with open(self.wire, "wb") as f:
            f.write(wire_form(message))


# ---- Running and timing -------------------------------------------------------


class Failure(Exception):
    pass


LAUNCHER = None  # bench_rawsmtp, set by main
SINK_PID = None  # the smtp-sink process, set by main


def sink_cpu():
    """CPU seconds the sink has used so far (10 ms steps), or 0."""
    try:
        with open("/proc/%d/stat" % SINK_PID) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, TypeError, IndexError, ValueError):
        return 0.0


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


class Series:
    """Wall times and peak memory of repeated runs of one command."""

    def __init__(self, name):
        self.name = name
        self.walls = []
        self.rss = []
        self.cpus = []
        self.sink_cpus = []
        self.error = None

    def add(self, runner):
        if self.error:
            return
        sink_before = sink_cpu()
        try:
            wall, rss, cpu = runner()
        except Failure as e:
            self.error = str(e)
            return
        self.walls.append(wall)
        self.rss.append(rss)
        self.cpus.append(cpu)
        self.sink_cpus.append(sink_cpu() - sink_before)

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

    def as_dict(self):
        return {"name": self.name, "walls": self.walls, "rss_kib": self.rss, "cpu": self.cpus, "sink_cpu": self.sink_cpus,
                "error": self.error}


def interleave(series_runners, reps):
    """Runs every command once per round, the order turned by one each round,
    so that drift of the machine falls on all alike."""
    for rep in range(reps):
        turn = rep % len(series_runners)
        for series, runner in series_runners[turn:] + series_runners[:turn]:
            series.add(runner)


# ---- The tools ------------------------------------------------------------------


class Tools:
    def __init__(self, args, port, work):
        self.port = port
        self.quib = os.path.join(args.bin, "quib")
        self.raw = os.path.join(args.bin, "bench_rawsmtp")
        self.err = os.path.join(work, "last-stderr.txt")
        self.registry = tempfile.mkdtemp(prefix="quib-bench-reg-")
        self.env = dict(os.environ, QUIB_REGISTRY=self.registry)

    def quib_run(self, body, mime=False, bcc=None):
        cmd = [self.quib, body, "-server", "127.0.0.1:%d" % self.port, "-f", SENDER, "-t", RCPT]
        if bcc:
            cmd += ["-b", bcc]
        # "-mime" and "-q" pass over the argument after them: they go last.
        cmd += ["-mime", "-q"] if mime else ["-q"]
        return lambda: run_once(cmd, env=self.env, err_path=self.err)

    def msmtp_run(self, message):
        cmd = ["msmtp", "-C", "/dev/null", "--host=127.0.0.1", "--port=%d" % self.port,
               "--from=" + SENDER, "--auth=off", "--tls=off", RCPT]
        return lambda: run_once(cmd, stdin_path=message, err_path=self.err)

    def curl_run(self, message):
        cmd = ["curl", "-sS", "smtp://127.0.0.1:%d" % self.port, "--mail-from", SENDER,
               "--mail-rcpt", RCPT, "-T", message]
        return lambda: run_once(cmd, err_path=self.err)

    def raw_run(self, wire):
        cmd = [self.raw, "push", "127.0.0.1", str(self.port), wire]
        return lambda: run_once(cmd, err_path=self.err)

    def rcpt_round_trip_us(self, count):
        out = subprocess.run([self.raw, "rcpt", "127.0.0.1", str(self.port), str(count)],
                             check=True, capture_output=True, text=True).stdout.split()
        return float(out[0]), float(out[1])

    def qp_length(self, body):
        out = subprocess.run([self.raw, "qplen", body], check=True, capture_output=True, text=True)
        return int(out.stdout)

    def cleanup(self):
        shutil.rmtree(self.registry, ignore_errors=True)


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
    def __init__(self):
        self.lines = []
        self.verdicts = []
        self.data = {}

    def out(self, text=""):
        print(text, flush=True)
        self.lines.append(text)

    def table(self, header, rows):
        self.out("| " + " | ".join(header) + " |")
        self.out("|" + "---|" * len(header))
        for row in rows:
            self.out("| " + " | ".join(row) + " |")
        self.out()

    def target(self, what, value, limit, detail, at_least=False):
        """One target line: value must be at most limit (at least, with
        at_least)."""
        if value != value or limit != limit:  # NaN: something failed
            verdict = "NO DATA"
        else:
            met = value >= limit if at_least else value <= limit
            verdict = "MET" if met else "MISSED"
        line = "- **%s** %s: %s" % (verdict, what, detail)
        self.verdicts.append(line)
        self.out(line)


def fmt_s(seconds):
    if seconds != seconds:
        return "failed"
    return "%.3f s" % seconds if seconds >= 0.1 else "%.2f ms" % (seconds * 1000)


def series_row(series, size=None):
    if not series.ok:
        return [series.name, "failed: " + (series.error or "no run"), "", "", "", ""]
    row = [series.name, fmt_s(series.wall), "%.1f MiB" % series.peak_mib, fmt_s(series.cpu),
           fmt_s(series.sink_cpu)]
    row.append("%.0f MiB/s" % (size / MIB / series.wall) if size else "")
    return row


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

    report.out("- Date: %s" % datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %z"))
    report.out("- Machine: %d cores (nproc), %s, %.1f GiB memory; %s %s" % (
        os.cpu_count(), cpu, mem_kib / 1024 / 1024, platform.system(), platform.release()))
    report.out("- Load average at start: %s" % " ".join("%.2f" % v for v in os.getloadavg()))
    report.out("- Tools: %s; %s; %s" % (version(["msmtp", "--version"]), version(["curl", "--version"]).split(" (")[0],
                                         "smtp-sink from " + version(["dpkg-query", "-W", "postfix"]).replace("\t", " ")))
    report.out()


# ---- The measurements -------------------------------------------------------------------


def race_four_tools(tools, inputs, runs):
    """quib, msmtp, curl and the raw push on the same message, interleaved."""
    quib = Series("quib")
    msmtp = Series("msmtp")
    curl = Series("curl")
    raw = Series("raw push")
    interleave([(quib, tools.quib_run(inputs.body)), (msmtp, tools.msmtp_run(inputs.message)),
                (curl, tools.curl_run(inputs.message)), (raw, tools.raw_run(inputs.wire))], runs)
    return quib, msmtp, curl, raw


def bench_large_plain(report, tools, inputs, reps):
    report.out("## 1. Large plain body (%d MiB of text), %d runs each, interleaved" % (inputs.size // MIB, reps))
    report.out()
    quib, msmtp, curl, raw = race_four_tools(tools, inputs, reps)
    report.table(["tool", "median wall", "peak RSS", "median CPU (user+sys)", "sink CPU", "throughput"],
                 [series_row(s, inputs.size) for s in (quib, msmtp, curl, raw)])
    others = [s for s in (msmtp, curl) if s.ok]
    best = min(others, key=lambda s: s.wall) if others else None
    if best:
        report.target("%d MiB plain vs the faster of msmtp and curl" % (inputs.size // MIB), quib.wall / best.wall, 1.0,
                      "quib %s, %s %s, ratio %.2f (target <= 1.00)" % (
                          fmt_s(quib.wall), best.name, fmt_s(best.wall), quib.wall / best.wall))
    report.target("%d MiB plain vs the raw push" % (inputs.size // MIB), quib.wall / raw.wall, 1.3,
                  "quib %s, raw %s, ratio %.2f (target <= 1.30)" % (
                      fmt_s(quib.wall), fmt_s(raw.wall), quib.wall / raw.wall))
    limit = 2.1 * inputs.size / MIB + 8
    report.target("peak memory, plain", quib.peak_mib, limit,
                  "%.1f MiB (target <= 2.1 x %d MiB + 8 MiB = %.1f MiB)" % (
                      quib.peak_mib, inputs.size // MIB, limit))
    report.out()
    report.data["large_plain"] = [s.as_dict() for s in (quib, msmtp, curl, raw)]
    return quib


def bench_large_tls(report, args, tools, inputs, reps):
    """quib through smtps:// against curl --ssl-reqd, to one TLS sink."""
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
    quib_cmd = [tools.quib, inputs.body, "-server", "smtps://127.0.0.1:%d" % port, "-f", SENDER, "-t",
                RCPT, "-q"]
    curl_cmd = ["curl", "-sS", "--ssl-reqd", "--cacert", cert, "smtps://127.0.0.1:%d" % port,
                "--mail-from", SENDER, "--mail-rcpt", RCPT, "-T", inputs.message]
    quib, curl = Series("quib smtps://"), Series("curl --ssl-reqd")
    try:
        interleave([(quib, lambda: run_once(quib_cmd, env=env, err_path=tools.err)),
                    (curl, lambda: run_once(curl_cmd, err_path=tools.err))], reps)
    finally:
        SINK_PID = plain_sink
        sink.terminate()
        sink.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)
    report.out("## TLS: %d MiB through smtps://, %d runs each, interleaved" % (inputs.size // MIB, reps))
    report.out()
    report.table(["tool", "median wall", "peak RSS", "median CPU (user+sys)", "sink CPU", "throughput"],
                 [series_row(s, inputs.size) for s in (quib, curl)])
    if quib.ok and curl.ok:
        report.target("%d MiB smtps vs curl" % (inputs.size // MIB), quib.wall / curl.wall, 1.0,
                      "quib %s, curl %s, ratio %.2f (target <= 1.00)" % (
                          fmt_s(quib.wall), fmt_s(curl.wall), quib.wall / curl.wall))
    report.out()
    report.data["large_tls"] = [s.as_dict() for s in (quib, curl)]


def bench_large_mime(report, tools, inputs, reps):
    report.out("## 2. Large encoded body (%d MiB of random bytes, -mime), %d runs" % (inputs.size // MIB, reps))
    report.out()
    encoded = tools.qp_length(inputs.body)
    quib = Series("quib -mime")
    interleave([(quib, tools.quib_run(inputs.body, mime=True))], reps)
    report.table(["tool", "median wall", "peak RSS", "median CPU (user+sys)", "sink CPU", "body throughput"],
                 [series_row(quib, inputs.size)])
    report.out("Exact encoded size: %d bytes (%.1f MiB, %.2f x the body)." % (
        encoded, encoded / MIB, encoded / inputs.size))
    report.out()
    limit = (inputs.size + encoded) / MIB + 8
    report.target("peak memory, -mime", quib.peak_mib, limit,
                  "%.1f MiB (target <= body %.1f + encoded %.1f + 8 = %.1f MiB)" % (
                      quib.peak_mib, inputs.size / MIB, encoded / MIB, limit))
    report.out()
    report.data["large_mime"] = {"series": quib.as_dict(), "encoded_bytes": encoded}


def bench_encoder(report, args, text, binary):
    report.out("## 2b. Encoder throughput (Google Benchmark, one core, CPU time)")
    report.out()
    exe = os.path.join(args.bin, "qp_encode_bench")
    env = dict(os.environ, QP_BENCH_TEXT=text.body, QP_BENCH_BINARY=binary.body)
    proc = subprocess.run([exe, "--benchmark_format=json", "--benchmark_min_time=%s" % args.gb_min_time,
                           "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true"],
                          env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        report.out("qp_encode_bench failed: " + proc.stderr[-400:])
        report.target("encoder throughput on text", float("nan"), 400, "no figure")
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
                  "%.0f MB/s (target >= 400 MB/s)" % step_text, at_least=True)
    report.out()
    report.data["encoder"] = results


def bench_small(report, tools, inputs, runs):
    report.out("## 3. Small message (1 KiB), %d runs each, interleaved" % runs)
    report.out()
    quib, msmtp, curl, raw = race_four_tools(tools, inputs, runs)
    report.table(["tool", "median wall", "peak RSS", "median CPU (user+sys)", "sink CPU", ""],
                 [series_row(s) for s in (quib, msmtp, curl, raw)])
    report.target("1 KiB median vs msmtp", quib.wall / msmtp.wall, 1.0,
                  "quib %s, msmtp %s, curl %s, ratio to msmtp %.2f (target <= 1.00)" % (
                      fmt_s(quib.wall), fmt_s(msmtp.wall), fmt_s(curl.wall), quib.wall / msmtp.wall))
    report.out()
    report.data["small"] = [s.as_dict() for s in (quib, msmtp, curl, raw)]


def bench_growth(report, tools, sized_inputs, reps, small):
    report.out("## 4. Growth, %d runs each (recipients: %d), interleaved" % (reps, 3 * reps))
    report.out()
    series = [(Series("%d MiB" % (i.size // MIB)), tools.quib_run(i.body)) for i in sized_inputs]
    interleave(series, reps)
    rows = []
    for (s, _), i in zip(series, sized_inputs):
        mib = i.size / MIB
        rows.append([s.name, fmt_s(s.wall), "%.1f MiB" % s.peak_mib, "%.2f ms/MiB" % (s.wall / mib * 1000),
                     "%.2f ms/MiB" % (s.cpu / mib * 1000)])
    report.table(["plain body", "median wall", "peak RSS", "wall per MiB", "CPU per MiB"], rows)
    (big, _), (mid, _) = series[-1], series[-2]
    per_big = big.wall / (sized_inputs[-1].size / MIB)
    per_mid = mid.wall / (sized_inputs[-2].size / MIB)
    report.target("time per MiB, %s vs %s" % (big.name, mid.name), per_big / per_mid, 1.2,
                  "%.2f vs %.2f ms/MiB, ratio %.2f (target <= 1.20)" % (
                      per_big * 1000, per_mid * 1000, per_big / per_mid))
    report.out()

    counts = (1, 100, 1000)
    rseries = []
    for n in counts:
        bcc = ",".join("r%07d@example.org" % k for k in range(1, n)) or None
        rseries.append((Series("%d recipients" % n), tools.quib_run(small.body, bcc=bcc)))
    interleave(rseries, 3 * reps)  # short runs: more of them, for steadier medians
    trips = [tools.rcpt_round_trip_us(1000) for _ in range(3)]
    rtt_median = statistics.median(t[0] for t in trips) / 1e6
    rtt_mean = statistics.median(t[1] for t in trips) / 1e6
    base = rseries[0][0].wall
    rows = []
    for (s, _), n in zip(rseries, counts):
        extra = "" if n == 1 else "%.1f us" % ((s.wall - base) / (n - 1) * 1e6)
        rows.append([s.name, fmt_s(s.wall), extra])
    report.table(["1 KiB body to", "median wall", "extra time per added recipient"], rows)
    report.out("Raw RCPT round trip (bench_rawsmtp, 1,000 RCPTs, median of 3 runs): median %.1f us, mean %.1f us." % (
        rtt_median * 1e6, rtt_mean * 1e6))
    report.out()
    cost = rseries[-1][0].wall - base
    report.target("1,000 recipients vs 1,000 RCPT round trips", cost, 1000 * rtt_median,
                  "added cost of 999 more recipients %s, 1,000 median raw round trips %s, ratio %.2f "
                  "(target <= 1.00)" % (fmt_s(cost), fmt_s(1000 * rtt_median), cost / (1000 * rtt_median)))
    per100 = (rseries[1][0].wall - base) / 99
    per1000 = cost / 999
    report.out("  (per added recipient: %.1f us at 100, %.1f us at 1,000: %s)" % (
        per100 * 1e6, per1000 * 1e6, "flat" if per1000 <= 1.2 * per100 else "not flat"))
    report.out()
    report.data["growth_size"] = [s.as_dict() for s, _ in series]
    report.data["growth_rcpt"] = {"series": [s.as_dict() for s, _ in rseries],
                                  "rcpt_round_trip_us": trips}


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

    report = Report()
    report.out("# quib benchmark%s" % (" (quick: BENCH_QUICK=1)" if args.quick else ""))
    report.out()
    machine_block(report)

    t0 = time.monotonic()
    text = Inputs(args.work, "text", large)
    binary = Inputs(args.work, "binary", large)
    small = Inputs(args.work, "text", 1024)
    growth_sizes = sorted({1 * MIB, 8 * MIB, large})
    growth = [Inputs(args.work, "text", s) for s in growth_sizes]
    report.out("Inputs ready in %.1f s (cached in %s)." % (time.monotonic() - t0, args.work))
    report.out()

    global LAUNCHER, SINK_PID
    LAUNCHER = os.path.join(args.bin, "bench_rawsmtp")
    port = free_port()
    sink = start_sink(port)
    SINK_PID = sink.pid
    tools = Tools(args, port, args.work)
    try:
        if wanted("plain"):
            bench_large_plain(report, tools, text, reps)
        if wanted("tls"):
            bench_large_tls(report, args, tools, text, reps)
        if wanted("mime"):
            bench_large_mime(report, tools, binary, reps)
        if wanted("encoder"):
            bench_encoder(report, args, text, binary)
        if wanted("small"):
            bench_small(report, tools, small, small_runs)
        if wanted("growth"):
            bench_growth(report, tools, growth, reps, small)
    finally:
        sink.terminate()
        sink.wait(timeout=10)
        tools.cleanup()

    report.out("## Targets")
    report.out()
    for line in report.verdicts:
        report.out(line)
    report.out()
    report.out("Whole benchmark: %.0f s." % (time.monotonic() - t0))
    with open(os.path.join(args.work, "report.md"), "w") as f:
        f.write("\n".join(report.lines) + "\n")
    with open(os.path.join(args.work, "results.json"), "w") as f:
        json.dump(report.data, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
