"""A token endpoint of the tests' own, answering as Microsoft's identity
platform (/<tenant>/oauth2/v2.0/token and /devicecode) and Google's
(/token) document it: form fields per grant, signed assertions checked
against the test's certificate and key, rotated refresh tokens, the device
flow's pending and slow-down answers, and their error replies.

TokenEndpoint(tls=Authority or None) listens on a loopback port of its own
(port 0) over HTTPS with a certificate of the throwaway authority, or over
plain HTTP. requests counts token requests; last_token is the access token
issued last; refresh_token is the one valid refresh token.
"""
import base64
import datetime
import hashlib
import http.server
import json
import os
import ssl
import threading
import time
import urllib.parse

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.x509.oid import NameOID

MS_APP_SCOPE = "https://outlook.office365.com/.default"
MS_USER_SCOPE = "https://outlook.office.com/SMTP.Send offline_access"
GOOGLE_SCOPE = "https://mail.google.com/"
ASSERTION_TYPE = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer"
JWT_BEARER = "urn:ietf:params:oauth:grant-type:jwt-bearer"
DEVICE_CODE = "urn:ietf:params:oauth:grant-type:device_code"


def _key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def _pem(key, form=serialization.PrivateFormat.PKCS8):
    return key.private_bytes(serialization.Encoding.PEM, form, serialization.NoEncryption())


def _certificate(name, key, issuer_name, issuer_key, ca=False, ip=None):
    now = datetime.datetime.utcnow()
    builder = (x509.CertificateBuilder().subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
               .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer_name)]))
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=2))
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if ip:
        import ipaddress
        builder = builder.add_extension(x509.SubjectAlternativeName([x509.IPAddress(ipaddress.ip_address(ip))]),
                                        critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


class Authority:
    """A throwaway authority in folder: ca.pem, and the endpoint's server.pem
    and server.key for 127.0.0.1; app.pem is an application's key and
    certificate (Microsoft's certificate credential; app-rsa.pem the same
    with the key in PKCS#1 form), sa.json a Google service account key."""

    def __init__(self, folder):
        self.folder = folder
        ca_key, server_key = _key(), _key()
        self.ca = _certificate("quib test authority", ca_key, "quib test authority", ca_key, ca=True)
        server = _certificate("127.0.0.1", server_key, "quib test authority", ca_key, ip="127.0.0.1")
        self.ca_file = self._write("ca.pem", self.ca.public_bytes(serialization.Encoding.PEM))
        self.server_cert = self._write("server.pem", server.public_bytes(serialization.Encoding.PEM))
        self.server_key = self._write("server.key", _pem(server_key))
        self.app_key = _key()
        self.app_cert = _certificate("quib app", self.app_key, "quib app", self.app_key)
        cert = self.app_cert.public_bytes(serialization.Encoding.PEM)
        self.app_pem = self._write("app.pem", _pem(self.app_key) + cert)
        self.app_pem_rsa = self._write("app-rsa.pem", _pem(self.app_key, serialization.PrivateFormat.TraditionalOpenSSL)
                                       + cert)  # PKCS#1: "RSA PRIVATE KEY"
        self.sa_key = _key()

    def _write(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o600)
        return path

    def service_account(self, token_uri):
        return self._write("sa.json", json.dumps({
            "type": "service_account", "project_id": "quib-test", "private_key_id": "k1",
            "private_key": _pem(self.sa_key).decode(), "client_email": "mailer@quib-test.iam.gserviceaccount.com",
            "client_id": "1234", "token_uri": token_uri}).encode())


def _b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def _b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class TokenEndpoint:
    def __init__(self, authority, tls=True, expires_in=3599, rotate=True):
        self.authority = authority
        self.expires_in = expires_in
        self.rotate = rotate          # every refresh grant returns a new refresh token
        self.requests = 0
        self.last_token = None
        self.refresh_token = "rt-0"
        self.client_secret = "s3cret-app"
        self.reply = None             # (status, body bytes) to send instead, for fault cases
        self.device_answers = []      # errors to answer the device poll with first
        self.jtis = set()
        self.seen = []                # (path, form) of every request
        self.lock = threading.Lock()
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), self._handler_class())
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(authority.server_cert, authority.server_key)
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.base = "%s://127.0.0.1:%d" % ("https" if tls else "http", self.server.server_address[1])

    def __enter__(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()

    def _handler_class(self):
        endpoint = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                body = self.rfile.read(length).decode()
                form = dict(urllib.parse.parse_qsl(body, keep_blank_values=True, strict_parsing=True))
                if self.headers.get("Content-Type") != "application/x-www-form-urlencoded":
                    status, reply = 400, {"error": "invalid_request", "error_description": "form expected"}
                else:
                    with endpoint.lock:
                        endpoint.seen.append((self.path, form))
                        status, reply = endpoint.answer(self.path, form)
                data = reply if isinstance(reply, bytes) else json.dumps(reply).encode()
                self.send_response(status)
                self.send_header("Content-Type", "application/json; charset=utf-8")
                self.send_header("Cache-Control", "no-store")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def log_message(self, *args):
                pass
        return Handler

    # ---- The replies ----------------------------------------------------------

    def answer(self, path, form):
        google = path == "/token"
        if path.endswith("/devicecode"):
            self._expect(form, {"client_id", "scope"}, scope=MS_USER_SCOPE)
            return 200, {"user_code": "QB-7X2", "device_code": "dc-1", "verification_uri":
                         "https://microsoft.com/devicelogin", "expires_in": 900, "interval": 1,
                         "message": "To sign in, use a web browser ..."}
        if not (google or path.endswith("/oauth2/v2.0/token")):
            return 404, {"error": "invalid_request", "error_description": "no such endpoint"}
        self.requests += 1
        if self.reply:
            return self.reply
        try:
            grant = form.get("grant_type")
            if grant == "client_credentials":
                self._client_credentials(path, form)
            elif grant == "refresh_token":
                self._expect(form, {"client_id", "refresh_token", "grant_type"} | (
                    {"client_secret"} if google else {"scope"}), scope=None if google else MS_USER_SCOPE)
                if form["refresh_token"] != self.refresh_token:
                    return 400, self._error(google, "invalid_grant", "AADSTS70008: The refresh token has expired.")
            elif grant == JWT_BEARER and google:
                self._expect(form, {"grant_type", "assertion"})
                self._check_jwt(form["assertion"], self.authority.sa_key.public_key(), google=True, path=path)
            elif grant == DEVICE_CODE:
                self._expect(form, {"grant_type", "client_id", "device_code"})
                if self.device_answers:
                    return 400, self._error(False, self.device_answers.pop(0), "pending")
            else:
                return 400, self._error(google, "unsupported_grant_type", grant or "")
        except PermissionError as e:
            return 401, self._error(google, "invalid_client", str(e))
        except ValueError as e:
            return 400, self._error(google, "invalid_request", str(e))
        return 200, self._token(google, grant)

    def _expect(self, form, names, scope=None):
        if set(form) != set(names):
            raise ValueError("fields %s, expected %s" % (sorted(form), sorted(names)))
        if scope and form["scope"] != scope:
            raise ValueError("scope " + form["scope"])

    def _client_credentials(self, path, form):
        if "client_secret" in form:
            self._expect(form, {"client_id", "scope", "client_secret", "grant_type"}, scope=MS_APP_SCOPE)
            if form["client_secret"] != self.client_secret:
                raise PermissionError("AADSTS7000215: Invalid client secret provided.")
            return
        self._expect(form, {"client_id", "scope", "client_assertion_type", "client_assertion", "grant_type"},
                     scope=MS_APP_SCOPE)
        if form["client_assertion_type"] != ASSERTION_TYPE:
            raise ValueError("client_assertion_type")
        self._check_jwt(form["client_assertion"], self.authority.app_key.public_key(), google=False, path=path,
                        client_id=form["client_id"])

    def _check_jwt(self, jwt, public_key, google, path, client_id=None):
        head, claims, signature = jwt.split(".")
        public_key.verify(_b64url_decode(signature), (head + "." + claims).encode(), padding.PKCS1v15(),
                          hashes.SHA256())
        head, claims = json.loads(_b64url_decode(head)), json.loads(_b64url_decode(claims))
        now = time.time()
        if head["alg"] != "RS256" or head["typ"] != "JWT":
            raise ValueError("header")
        if claims["aud"] != self.base + path or not now < claims["exp"] <= now + 3600:
            raise ValueError("aud or exp")
        if google:
            if claims["iss"] != "mailer@quib-test.iam.gserviceaccount.com" or claims["scope"] != GOOGLE_SCOPE:
                raise ValueError("iss or scope")
            self.subject = claims.get("sub")
            return
        der = self.authority.app_cert.public_bytes(serialization.Encoding.DER)
        if head["x5t#S256"] != _b64url(hashlib.sha256(der).digest()) or head["x5t"] != _b64url(
                hashlib.sha1(der).digest()):
            raise ValueError("thumbprints")
        if claims["iss"] != client_id or claims["sub"] != client_id or claims["nbf"] > now + 1:
            raise ValueError("iss, sub or nbf")
        if claims["jti"] in self.jtis:
            raise ValueError("jti used twice")
        self.jtis.add(claims["jti"])

    def _error(self, google, error, description):
        if google:
            return {"error": error, "error_description": description}
        return {"error": error, "error_description": description, "error_codes": [70008],
                "timestamp": "2026-12-01 10:00:00Z", "trace_id": "0", "correlation_id": "0"}

    def _token(self, google, grant):
        self.last_token = "at-%d-%s" % (self.requests, os.urandom(6).hex())
        reply = {"access_token": self.last_token, "expires_in": self.expires_in, "token_type": "Bearer"}
        if not google:
            reply.update(scope=MS_APP_SCOPE, ext_expires_in=self.expires_in)
        if grant in ("refresh_token", DEVICE_CODE) and (self.rotate or grant == DEVICE_CODE) and not google:
            self.refresh_token = "rt-%d" % self.requests
            reply["refresh_token"] = self.refresh_token
        return reply
