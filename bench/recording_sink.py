#!/usr/bin/python3
"""A minimal plain SMTP sink that keeps everything it is sent, for the
delivery checks of bench.py.

    recording_sink.py FOLDER PORT

Prints "ready" once it accepts. Accepts every command; each connection's
whole inbound byte stream goes to FOLDER/<n>.in (n from 1, in the order the
connections came), and the DATA-phase bytes of its last message, end marker
included, to FOLDER/<n>.data; each file appears whole, once written. Serves
one connection at a time until killed.
"""
import os
import socket
import sys

CHUNK = 1 << 20
END = b"\r\n.\r\n"


def serve(conn, keep=True):
    """Plays the sink's side of the dialogue on conn until QUIT or the end of
    input. Returns the whole inbound byte stream and the DATA-phase bytes of
    the last message, end marker included; both empty unless keep."""
    received = bytearray()
    data = b""
    pending = b""
    conn.sendall(b"220 sink\r\n")
    while True:
        while b"\n" not in pending:
            chunk = conn.recv(CHUNK)
            if not chunk:
                return received, data
            if keep:
                received += chunk
            pending += chunk
        line, pending = pending.split(b"\n", 1)
        verb = line[:4].upper()
        if verb == b"QUIT":
            conn.sendall(b"221 bye\r\n")
            return received, data
        if verb != b"DATA":
            conn.sendall(b"250 ok\r\n")
            continue
        conn.sendall(b"354 go\r\n")
        body = bytearray(pending) if keep else bytearray()
        tail = pending[-5:]
        while not (b"\r\n" + tail).endswith(END):
            chunk = conn.recv(CHUNK)
            if not chunk:
                return received, bytes(body)
            if keep:
                received += chunk
                body += chunk
            tail = (tail + chunk)[-5:]
        data, pending = bytes(body), b""
        conn.sendall(b"250 kept\r\n")


def record(conn, folder, number):
    received, data = serve(conn)
    for extension, content in ((".in", received), (".data", data)):
        path = os.path.join(folder, "%d%s" % (number, extension))
        with open(path + ".part", "wb") as f:
            f.write(content)
        os.rename(path + ".part", path)  # whole once it is there


def main():
    folder, port = sys.argv[1], int(sys.argv[2])
    listener = socket.create_server(("127.0.0.1", port))
    print("ready", flush=True)
    number = 0
    while True:
        conn, _ = listener.accept()
        number += 1
        with conn:
            record(conn, folder, number)


if __name__ == "__main__":
    main()
