#!/usr/bin/python3
"""A throwaway SMTP server for trying quib out.

Listens on a free loopback port (written to --port-file once it accepts),
accepts every message, and writes each one to the folder named by --folder:
message-N.envelope (HELO name, MAIL From, RCPT To) and message-N.eml (the
message as received, dot-stuffing undone). Also logs each message on
standard output. Runs until it gets SIGTERM or SIGINT.
"""
import argparse
import os
import signal
import socket
import threading
import time

from aiosmtpd.controller import Controller


class SavingHandler:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            number = self.count
        base = os.path.join(self.folder, "message-%d" % number)
        with open(base + ".envelope", "w") as f:
            f.write("HELO: %s\n" % session.host_name)
            f.write("MAIL From: %s\n" % envelope.mail_from)
            for rcpt in envelope.rcpt_tos:
                f.write("RCPT To: %s\n" % rcpt)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        print("sink: message %d from %s to %s, %d bytes" % (
            number, envelope.mail_from, ", ".join(envelope.rcpt_tos),
            len(envelope.original_content)), flush=True)
        return "250 OK: saved as message %d" % number


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--folder", required=True, help="where received messages go")
    parser.add_argument("--port-file", required=True, help="gets the port once it listens")
    args = parser.parse_args()

    os.makedirs(args.folder, exist_ok=True)
    port = free_port()
    controller = Controller(SavingHandler(args.folder), hostname="127.0.0.1", port=port,
                            data_size_limit=None, decode_data=False)
    controller.start()  # returns once the server accepts connections

    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.set())

    # Written last and renamed into place, so a reader never sees half a port.
    partial = args.port_file + ".part"
    with open(partial, "w") as f:
        f.write("%d\n" % port)
    os.replace(partial, args.port_file)
    print("sink: listening on 127.0.0.1:%d, saving to %s" % (port, args.folder), flush=True)

    while not stop.is_set():
        time.sleep(0.2)
    controller.stop()
    print("sink: stopped", flush=True)


if __name__ == "__main__":
    main()
