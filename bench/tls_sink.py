#!/usr/bin/python3
"""A minimal SMTP sink over implicit TLS, for the smtps figure of bench.py.

    tls_sink.py CERT KEY PORT

Accepts every command, reads the message text up to its end marker without
keeping it, and serves each connection in a thread until killed.
"""
import socket
import ssl
import sys
import threading

CHUNK = 256 * 1024


def serve(conn):
    with conn:
        conn.sendall(b"220 tls-sink\r\n")
        pending = b""
        while True:
            while b"\n" not in pending:
                data = conn.recv(CHUNK)
                if not data:
                    return
                pending += data
            line, pending = pending.split(b"\n", 1)
            verb = line[:4].upper()
            if verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            if verb != b"DATA":
                conn.sendall(b"250 ok\r\n")
                continue
            conn.sendall(b"354 go\r\n")
            tail = pending
            while not (b"\r\n" + tail).endswith(b"\r\n.\r\n"):
                data = conn.recv(CHUNK)
                if not data:
                    return
                tail = (tail + data)[-5:]
            pending = b""
            conn.sendall(b"250 kept\r\n")


def main():
    cert, key, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    listener = socket.create_server(("127.0.0.1", port))
    while True:
        conn, _ = listener.accept()
        try:
            tls = context.wrap_socket(conn, server_side=True)
        except (ssl.SSLError, OSError):
            conn.close()
            continue
        threading.Thread(target=serve, args=(tls,), daemon=True).start()


if __name__ == "__main__":
    main()
