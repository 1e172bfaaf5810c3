"""An aiosmtpd server for tests: keeps each message it accepts.

Usage: keeping_smtp_server.py HOST PORT FOLDER
Writes message N as FOLDER/N.eml (the data as received, dot-stuffing undone)
and FOLDER/N.env (HELO name, envelope sender, recipients; one a line), prints
"ready" once it accepts connections, and runs until SIGTERM or SIGINT.
"""
import os
import signal
import sys

from aiosmtpd.controller import Controller


class Keep:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, str(self.count))
        with open(base + ".env", "w") as f:
            f.write("\n".join([session.host_name or "", envelope.mail_from] + envelope.rcpt_tos) + "\n")
        with open(base + ".tmp", "wb") as f:
            f.write(envelope.original_content)
        os.rename(base + ".tmp", base + ".eml")
        return "250 OK kept"


def main():
    host, port, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    stop = {signal.SIGTERM, signal.SIGINT}
    signal.pthread_sigmask(signal.SIG_BLOCK, stop)  # the server's threads too
    controller = Controller(Keep(folder), hostname=host, port=port,
                            data_size_limit=None, decode_data=False)
    controller.start()
    print("ready", flush=True)
    signal.sigwait(stop)
    controller.stop()


if __name__ == "__main__":
    main()
