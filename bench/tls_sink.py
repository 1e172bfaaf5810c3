#!/usr/bin/python3
"""A minimal SMTP sink over implicit TLS, for the smtps figure of bench.py.

    tls_sink.py CERT KEY PORT

Plays recording_sink.py's dialogue without keeping anything, each
connection in a thread, until killed.
"""
import socket
import ssl
import sys
import threading

from recording_sink import serve


def serve_and_forget(tls):
    with tls:
        serve(tls, keep=False)


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
        threading.Thread(target=serve_and_forget, args=(tls,), daemon=True).start()


if __name__ == "__main__":
    main()
