"""A CAPTCHA provider's verify endpoint for the tests: HTTPS on 127.0.0.1
with certificates from a test CA made with the openssl command, answering as
Turnstile, hCaptcha and reCAPTCHA do, or in the ways a provider fails."""
import http.server
import json
import os
import ssl
import subprocess
import threading
import types
from urllib.parse import parse_qs

# The one token the stand-in provider accepts.
GOOD_TOKEN = "good-token"


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True,
                   timeout=60)


def make_test_ca(folder):
    """In folder: a test CA ("ca", its PEM file), and (certificate, key) pairs:
    "good" signed by it for 127.0.0.1, "other_host" signed by it for
    other.example, "stranger" self-signed for 127.0.0.1."""
    def p(name):
        return os.path.join(folder, name)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
          "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", p("ca.key"), "-out", p("ca.pem"),
            "-days", "2", "-subj", "/CN=TARVELO test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    out = {"ca": p("ca.pem")}
    for name, alt in (("good", "IP:127.0.0.1"),
                      ("other_host", "DNS:other.example")):
        openssl("req", "-new", *ec, "-keyout", p(name + ".key"),
                "-out", p(name + ".csr"), "-subj", "/CN=" + name)
        with open(p(name + ".ext"), "w") as f:
            f.write("subjectAltName=" + alt + "\n")
        openssl("x509", "-req", "-in", p(name + ".csr"), "-CA", p("ca.pem"),
                "-CAkey", p("ca.key"), "-CAcreateserial", "-days", "2",
                "-out", p(name + ".pem"), "-extfile", p(name + ".ext"))
        out[name] = (p(name + ".pem"), p(name + ".key"))
    openssl("req", "-x509", *ec, "-keyout", p("stranger.key"),
            "-out", p("stranger.pem"), "-days", "2", "-subj", "/CN=stranger",
            "-addext", "subjectAltName=IP:127.0.0.1")
    out["stranger"] = (p("stranger.pem"), p("stranger.key"))
    return out


class VerifyServers:
    """Verify endpoints started by start(answer, cert), all stopped by stop().
    answer: "provider" (success only for GOOD_TOKEN, else error-codes),
    "not_json", or "never_ends" (headers, then silence until stop()).
    start returns .url and .posts, the forms posted to it."""

    def __init__(self, certs):
        self.certs = certs
        self.started = []
        self.stopping = threading.Event()

    def start(self, answer="provider", cert="good"):
        posts = []
        stopping = self.stopping

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                raw = self.rfile.read(length).decode()
                posts.append({"type": self.headers.get("Content-Type"),
                              "path": self.path, "form": parse_qs(raw)})
                if answer == "never_ends":
                    self.send_response(200)
                    self.send_header("Content-Length", "100")
                    self.end_headers()
                    self.wfile.flush()
                    stopping.wait(20)
                    return
                if answer == "not_json":
                    body = b"<html>Service busy</html>"
                else:
                    ok = parse_qs(raw).get("response") == [GOOD_TOKEN]
                    body = json.dumps({
                        "success": ok,
                        "error-codes": [] if ok else ["invalid-input-response"],
                    }).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*self.certs[cert])
        server.socket = context.wrap_socket(server.socket, server_side=True)
        threading.Thread(target=server.serve_forever,
                         kwargs={"poll_interval": 0.05}, daemon=True).start()
        self.started.append(server)
        return types.SimpleNamespace(
            url=f"https://127.0.0.1:{server.server_address[1]}/siteverify",
            posts=posts)

    def stop(self):
        self.stopping.set()
        for server in self.started:
            server.shutdown()
            server.server_close()
