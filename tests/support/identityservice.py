#!/usr/bin/env python3
"""Stand-in for the identity and event services: an HTTPS server on 127.0.0.1.

Standard library only, plus the `openssl` command, which makes the test certificates.

Certificates (CA_DIR, made on first use; safe when several servers start at once):
    ca.pem                            the test CA. Trust it in a Wine prefix with the test program
                                      trustca.exe (`wine trustca.exe Z:\\path\\to\\ca.pem`), which
                                      adds it to the LocalMachine "ROOT" store.
    server.pem, server.key            the server's certificate, signed by the test CA, naming
                                      both 127.0.0.1 and localhost.
    untrusted-ca.pem, untrusted-server.pem, untrusted-server.key
                                      the same from a second CA that nobody trusts.

Starting it:
    from a shell:  python3 identityservice.py --state-dir DIR --ca-dir CA_DIR
                       [--port N] [--untrusted] [--tls13-only] [--lifetime SECONDS]
    from Python:   svc = IdentityService(state_dir, ca_dir); svc.start() ... svc.stop()
                   (the server runs on threads of the calling process)
    from C++:      tavo::test::IdentityService (tests/support/identityservice.h) starts this
                   script as a Linux process from the Windows test process.
--tls13-only refuses every TLS version below 1.3 (the agent offers 1.0 to 1.2 only).
The port is 0 (any free port) unless --port is given; the port in use is written to DIR/port
once the server accepts connections (IdentityService.port in Python).

Everything else goes through files in the state folder DIR, so any language can drive it:
    answers.json    the script, read afresh for every request:
                        {"/path": ANSWER or [ANSWER, ...], ...}
                    ANSWER = {"status": 200, "headers": [["Name", "value"], ...], "body": "text",
                              "delay": seconds before answering,
                              "interim": [{"status": 100, "headers": [[...]]}, ...]}
                    (every key optional: status 200, no headers, empty body, no delay).
                    ANSWER = {"raw": "text", "delay": seconds} sends the text as it is instead of
                    an HTTP answer and closes the connection ("" closes without a byte). A list is
                    served in order and its last answer repeats; the count starts again whenever
                    the file changes. A path without an answer gets 404 with an error body.
                    "Content-Length" is added unless the answer names it; headers go out in the
                    order and letter case given.
    requests.jsonl  one JSON object per request, appended as it arrives (before the answer):
                        {"request_line": "POST /v1/x HTTP/1.1", "method": "POST", "path": "/v1/x",
                         "headers": [["Host", "127.0.0.1:4443"], ...], "body": "..."}
    stop            create this file to stop the server (looked for ten times a second);
                    DIR/stopped appears when it has stopped.
    server.log      the server's own messages.
A CLI server also stops by itself after --lifetime seconds (default 300), so a test process that
dies never leaves it behind.
"""

import argparse
import fcntl
import http.server
import json
import os
import ssl
import subprocess
import sys
import tempfile
import threading
import time

DEFAULT_CA_DIR = os.path.join(tempfile.gettempdir(), "vrn_tavo-testca")


def _run_openssl(args, cwd):
    subprocess.run(["openssl"] + args, cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _make_chain(ca_dir, prefix, ca_name):
    """Makes PREFIXca.pem and PREFIXserver.pem/.key in ca_dir unless they exist."""
    if os.path.exists(os.path.join(ca_dir, prefix + "server.pem")):
        return
    work = tempfile.mkdtemp(dir=ca_dir)
    _run_openssl(["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "3650",
                  "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=" + ca_name,
                  "-addext", "basicConstraints=critical,CA:TRUE",
                  "-addext", "keyUsage=critical,keyCertSign,cRLSign"], work)
    _run_openssl(["req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-keyout", "server.key",
                  "-out", "server.csr", "-subj", "/CN=localhost"], work)
    with open(os.path.join(work, "server.ext"), "w") as ext:
        ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                  "basicConstraints=CA:FALSE\n"
                  "keyUsage=critical,digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\n")
    _run_openssl(["x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                  "-CAcreateserial", "-sha256", "-days", "3650", "-extfile", "server.ext",
                  "-out", "server.pem"], work)
    # The server certificate is moved last: its presence says the chain is complete.
    for name in ("ca.pem", "ca.key", "server.key", "server.pem"):
        os.replace(os.path.join(work, name), os.path.join(ca_dir, prefix + name))
    for name in os.listdir(work):
        os.remove(os.path.join(work, name))
    os.rmdir(work)


def ensure_ca(ca_dir=DEFAULT_CA_DIR):
    """Makes the trusted and the untrusted chain in ca_dir once; returns the trusted CA's path."""
    os.makedirs(ca_dir, exist_ok=True)
    with open(os.path.join(ca_dir, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        _make_chain(ca_dir, "", "vrn_tavo test CA")
        _make_chain(ca_dir, "untrusted-", "vrn_tavo untrusted test CA")
    return os.path.join(ca_dir, "ca.pem")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        self.server.service.log(fmt % args)

    def _serve(self):
        service = self.server.service
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        path = self.path.split("?", 1)[0]
        service.record({
            "request_line": self.requestline,
            "method": self.command,
            "path": self.path,
            "headers": [[name, value] for name, value in self.headers.items()],
            "body": body.decode("utf-8", errors="replace"),
        })
        answer = service.next_answer(path)
        if answer.get("delay"):
            time.sleep(float(answer["delay"]))
        if "raw" in answer:
            self.close_connection = True
            try:
                self.wfile.write(answer["raw"].encode("utf-8"))
                self.wfile.flush()
            except OSError:
                pass
            return
        out = bytearray()
        for interim in answer.get("interim", []):
            out += b"HTTP/1.1 %d Interim\r\n" % int(interim.get("status", 100))
            for name, value in interim.get("headers", []):
                out += ("%s: %s\r\n" % (name, value)).encode("utf-8")
            out += b"\r\n"
        reply = answer.get("body", "").encode("utf-8")
        status = int(answer.get("status", 200))
        out += b"HTTP/1.1 %d %s\r\n" % (status, self.responses.get(status, ("Answer",))[0].encode())
        headers = answer.get("headers", [])
        for name, value in headers:
            out += ("%s: %s\r\n" % (name, value)).encode("utf-8")
        if not any(name.lower() == "content-length" for name, _ in headers):
            out += b"Content-Length: %d\r\n" % len(reply)
        out += b"\r\n" + reply
        try:
            self.wfile.write(bytes(out))
            self.wfile.flush()
        except OSError:
            self.close_connection = True

    do_POST = do_GET = do_PUT = do_DELETE = _serve


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, context, service):
        self.context = context
        self.service = service
        super().__init__(address, _Handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so a client that never finishes it
        # holds up nobody else.
        try:
            request.settimeout(30)
            tls = self.context.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError) as error:
            self.service.log("handshake failed: %s" % error)
            return
        try:
            super().finish_request(tls, client_address)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        self.service.log("connection error from %s: %s" % (client_address, sys.exc_info()[1]))


class IdentityService:
    """One server. The methods below only read and write the files of the state folder."""

    def __init__(self, state_dir=None, ca_dir=DEFAULT_CA_DIR, untrusted=False, port=0, tls13_only=False):
        self.state_dir = state_dir or tempfile.mkdtemp(prefix="vrn_tavo-ids-")
        os.makedirs(self.state_dir, exist_ok=True)
        self.ca_dir = ca_dir
        self.untrusted = untrusted
        self.tls13_only = tls13_only
        self.requested_port = port
        self.port = None
        self._lock = threading.Lock()
        self._script_text = None
        self._served = {}
        self._server = None
        self._threads = []

    def _file(self, name):
        return os.path.join(self.state_dir, name)

    # The test's side.
    def url(self, path=""):
        return "https://127.0.0.1:%d%s" % (self.port, path)

    def answer(self, path, *answers):
        """Scripts the answers for path (dicts as described at the top), replacing earlier ones."""
        script = {}
        if os.path.exists(self._file("answers.json")):
            with open(self._file("answers.json")) as f:
                script = json.load(f)
        script[path] = list(answers)
        tmp = self._file("answers.json.tmp")
        with open(tmp, "w") as f:
            json.dump(script, f)
        os.replace(tmp, self._file("answers.json"))

    def requests(self, path=None):
        """Every request received so far (of one path only, when given), in arrival order."""
        if not os.path.exists(self._file("requests.jsonl")):
            return []
        with open(self._file("requests.jsonl")) as f:
            found = [json.loads(line) for line in f if line.endswith("\n")]
        return [r for r in found if path is None or r["path"] == path]

    # The server's side.
    def log(self, text):
        with self._lock, open(self._file("server.log"), "a") as f:
            f.write("%s %s\n" % (time.strftime("%H:%M:%S"), text))

    def record(self, request):
        with self._lock, open(self._file("requests.jsonl"), "a") as f:
            f.write(json.dumps(request) + "\n")

    def next_answer(self, path):
        with self._lock:
            try:
                with open(self._file("answers.json")) as f:
                    text = f.read()
            except FileNotFoundError:
                text = "{}"
            if text != self._script_text:
                self._script_text = text
                self._served = {}
            answers = json.loads(text).get(path)
            if answers is None:
                return {"status": 404, "body": json.dumps({"code": 404, "msg": "no answer scripted"})}
            if isinstance(answers, dict):
                return answers
            index = min(self._served.get(path, 0), len(answers) - 1)
            self._served[path] = index + 1
            return answers[index]

    def start(self):
        ensure_ca(self.ca_dir)
        prefix = "untrusted-" if self.untrusted else ""
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(self.ca_dir, prefix + "server.pem"),
                                os.path.join(self.ca_dir, prefix + "server.key"))
        if self.tls13_only:
            context.minimum_version = ssl.TLSVersion.TLSv1_3
        self._server = _Server(("127.0.0.1", self.requested_port), context, self)
        self.port = self._server.server_address[1]
        serving = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                   daemon=True)
        serving.start()
        watching = threading.Thread(target=self._watch_stop_file, daemon=True)
        watching.start()
        self._threads = [serving, watching]
        with open(self._file("port.tmp"), "w") as f:
            f.write("%d\n" % self.port)
        os.replace(self._file("port.tmp"), self._file("port"))
        self.log("listening on 127.0.0.1:%d" % self.port)
        return self

    def _watch_stop_file(self):
        while self._server is not None and not os.path.exists(self._file("stop")):
            time.sleep(0.1)
        if self._server is not None:
            self._server.shutdown()

    def wait(self, lifetime):
        """Blocks until the server stops or lifetime seconds have passed."""
        deadline = time.monotonic() + lifetime
        while self._threads[0].is_alive() and time.monotonic() < deadline:
            self._threads[0].join(0.2)

    def stop(self):
        if self._server is None:
            return
        server, self._server = self._server, None
        server.shutdown()
        server.server_close()
        with open(self._file("stopped"), "w"):
            pass
        self.log("stopped")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--state-dir", required=True)
    parser.add_argument("--ca-dir", default=DEFAULT_CA_DIR)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--untrusted", action="store_true")
    parser.add_argument("--tls13-only", action="store_true")
    parser.add_argument("--lifetime", type=float, default=300)
    args = parser.parse_args()
    service = IdentityService(args.state_dir, args.ca_dir, args.untrusted, args.port, args.tls13_only)
    try:
        service.start()
    except Exception as error:
        os.makedirs(args.state_dir, exist_ok=True)
        service.log("start failed: %r" % error)
        raise
    service.wait(args.lifetime)
    service.stop()


if __name__ == "__main__":
    main()
