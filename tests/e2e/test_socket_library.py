"""Finding and using the socket library: quib as a process, real servers."""
import os
import shutil
import socket
import tempfile
import threading
import unittest

from messages import CONNECTION_REFUSED, NOT_LOADED, SERVER_ERROR
from quibtest import (BIN_DIR, EXE, QUIB, UNDER_WINE, AiosmtpdServer, Registry, free_port,
                      run_quib)

LIBRARY = "gensock.dll" if UNDER_WINE else "libgensock.so"


class SocketLibraryTest(unittest.TestCase):
    def setUp(self):
        self.registry = Registry()
        self.folder = tempfile.mkdtemp(prefix="quib-lib-")
        self.body = os.path.join(self.folder, "body.txt")
        with open(self.body, "wb") as f:
            f.write(b"first\n.dot\n\nlast\n")

    def tearDown(self):
        self.registry.cleanup()
        shutil.rmtree(self.folder, ignore_errors=True)

    def mail(self, server, quib=None):
        """Mails the body to server with the built quib, or with a copy of it."""
        args = [self.body, "-t", "ann@example.org", "-f", "me@example.org", "-server", server]
        return run_quib(args, registry=self.registry, env={"LD_LIBRARY_PATH": ""},
                        program=quib or QUIB)

    def copy_quib(self, with_library_in):
        bin_dir = os.path.join(self.folder, "bin")
        os.makedirs(bin_dir)
        shutil.copy2(QUIB, bin_dir)
        if with_library_in:
            target = os.path.join(self.folder, with_library_in)
            os.makedirs(target, exist_ok=True)
            shutil.copy2(os.path.join(BIN_DIR, LIBRARY), target)
        return os.path.join(bin_dir, EXE)

    def test_lf_text_arrives_with_every_line_intact(self):
        with AiosmtpdServer() as server:
            status, out, _ = self.mail(server.address)
        self.assertEqual(status, 0, out)
        self.assertEqual(len(server.messages), 1)
        content = server.messages[0].content
        self.assertTrue(content.endswith(b"\r\n\r\nfirst\r\n.dot\r\n\r\nlast\r\n"), content)
        self.assertNotIn(b"\n", content.replace(b"\r\n", b""))

    def test_missing_library_is_reported(self):
        quib = self.copy_quib(with_library_in=None)
        with AiosmtpdServer() as server:
            status, out, _ = self.mail(server.address, quib)
        self.assertEqual(status, -1)
        self.assertTrue(out.endswith(NOT_LOADED), out)
        self.assertEqual(server.messages, [])

    @unittest.skipIf(UNDER_WINE, "an installed tree with lib/ is a POSIX layout")
    def test_installed_tree_finds_the_library_in_lib(self):
        quib = self.copy_quib(with_library_in="lib")
        with AiosmtpdServer() as server:
            status, out, _ = self.mail(server.address, quib)
        self.assertEqual(status, 0, out)
        self.assertEqual(len(server.messages), 1)

    def test_nothing_listening_is_refused(self):
        status, out, _ = self.mail("127.0.0.1:%d" % free_port())
        self.assertEqual(status, -1)
        self.assertTrue(out.endswith(CONNECTION_REFUSED), out)

    def test_ipv6_loopback_with_port(self):
        try:
            probe = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
            probe.bind(("::1", 0))
            port = probe.getsockname()[1]
            probe.listen(1)
        except OSError:
            self.skipTest("::1 unavailable")
        with probe:
            accepted = []
            def serve():
                conn, _ = probe.accept()
                with conn:
                    conn.sendall(b"554 no service\r\n")
                    accepted.append(conn.recv(64))
            thread = threading.Thread(target=serve)
            thread.start()
            status, out, _ = self.mail("[::1]:%d" % port)
            thread.join(timeout=10)
        self.assertEqual(status, -1)
        self.assertTrue(out.endswith(SERVER_ERROR), out)
        self.assertEqual(accepted, [b"QUIT\r\n"])


if __name__ == "__main__":
    unittest.main()
