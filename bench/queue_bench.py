"""The queue's costs, as whole-process wall times on loopback (median of runs):

1. Flushing 200 queued 1 KiB messages through one connection against 200
   separate runs of quib sending the same messages, both into smtp-sink
   (goal: the flush at least 5x faster).
2. Queuing one 64 MiB message (quib -queue, nothing listening) against
   writing and fsyncing the same bytes (goal: at most 1.2x).

    python3 bench/queue_bench.py [build/bin]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from quibtest import SmtpSink, free_port  # noqa: E402

BIN = sys.argv[1] if len(sys.argv) > 1 else os.path.join("build", "bin")
QUIB = os.path.join(BIN, "quib")
RUNS = 5


def quib(args, env):
    return subprocess.run([QUIB] + args, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def flush_against_runs(work, env):
    body = os.path.join(work, "body.txt")
    with open(body, "wb") as f:
        f.write((b"x" * 62 + b"\r\n") * 16)  # 1 KiB
    port = free_port()
    send = [body, "-t", "ops@example.org", "-f", "me@example.org", "-server"]
    flush_times, run_times = [], []
    for _ in range(RUNS):
        shutil.rmtree(env["QUIB_QUEUE_DIR"], ignore_errors=True)
        for _ in range(200):
            assert quib(send + ["127.0.0.1:%d" % port, "-queue", "-q"], env) == 14
        with SmtpSink() as sink:  # a port of its own: the runs send at once
            runs = send + [sink.address, "-q"]
            run_times.append(timed(lambda: [quib(runs, env) for _ in range(200)]))
        sink = SmtpSink()
        sink.port = port  # where the entries wait to go
        with sink:
            flush_times.append(timed(lambda: quib(["-flush", "-q"], env)))
        assert sorted(os.listdir(env["QUIB_QUEUE_DIR"])) == ["failed", "tmp"]
    flush, runs = statistics.median(flush_times), statistics.median(run_times)
    print("200 x 1 KiB: one flush %.3f s, 200 runs %.3f s: the flush %.1fx faster (goal 5x)"
          % (flush, runs, runs / flush))


def queue_against_fsync(work, env):
    body = os.path.join(work, "big.txt")
    with open(body, "wb") as f:
        f.write((b"y" * 998 + b"\r\n") * (64 * 1024))  # 64 MiB
    size = os.path.getsize(body)
    with open(body, "rb") as f:
        data = f.read()
    queue_times, write_times = [], []
    for _ in range(RUNS):
        shutil.rmtree(env["QUIB_QUEUE_DIR"], ignore_errors=True)
        queue_times.append(timed(lambda: quib(
            [body, "-t", "ops@example.org", "-f", "me@example.org", "-server", "127.0.0.1:1",
             "-queue", "-q"], env)))
        target = os.path.join(work, "copy")

        def write_and_fsync():
            with open(target, "wb") as out:
                out.write(data)
                out.flush()
                os.fsync(out.fileno())
        write_times.append(timed(write_and_fsync))
        os.remove(target)
    queued, written = statistics.median(queue_times), statistics.median(write_times)
    print("64 MiB (%d bytes): quib -queue %.3f s, write+fsync %.3f s: %.2fx (goal at most 1.2x)"
          % (size, queued, written, queued / written))


def main():
    work = tempfile.mkdtemp(prefix="quib-queue-bench-")
    env = dict(os.environ, QUIB_QUEUE_DIR=os.path.join(work, "queue"), GENSOCK_TIMEOUT="5",
               QUIB_REGISTRY=os.path.join(work, "registry"))
    try:
        flush_against_runs(work, env)
        queue_against_fsync(work, env)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
