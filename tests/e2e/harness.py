"""Drives the real vrn_tavo.exe under Wine from Linux: the Wine prefix, the data directory,
configuration files, the service stand-in, the agent process with a pipe on its standard input, and
local clients on 127.0.0.1:60110."""

import contextlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SUPPORT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")

AGENT_PORT = 60110
WBEM_LOCATOR_SERVER = r"HKLM\Software\Classes\CLSID\{4590F811-1D3A-11D0-891F-00AA004B2E24}\InprocServer32"
DATADIR_KEY = r"HKLM\SOFTWARE\Ostrel\Vantor\Quillmark\TAVO"
# The loader of each width. Address-space randomisation is off for every Wine process: Debian's Wine
# has no preloader, and a randomised heap can lie where Wine maps the shared user data.
LOADERS = {"x86_64": "/usr/lib/wine/wine64", "i686": "/usr/lib/wine/wine"}
WINESERVER = "/usr/lib/wine/wineserver64"
# The registry view in which a process of each width looks up in-process COM servers.
CLIENT_VIEWS = {"x86_64": "/reg:64", "i686": "/reg:32"}

CODE_NAMES = {0: "not handled", 1: "success", 2: "failure", 3: "cloud error", 4: "rate limited"}


def identityservice():
    """The service stand-in's module (tests/support/identityservice.py)."""
    if SUPPORT not in sys.path:
        sys.path.insert(0, SUPPORT)
    import identityservice as module
    return module


def programfolders():
    """The reader of the folders a program file names (tests/support/programfolders.py)."""
    if SUPPORT not in sys.path:
        sys.path.insert(0, SUPPORT)
    import programfolders as module
    return module


def to_windows_path(path, trailing_backslash=False):
    """Z: is the Linux root under Wine."""
    text = "Z:" + os.path.abspath(path).replace("/", "\\")
    if trailing_backslash and not text.endswith("\\"):
        text += "\\"
    return text


def wait_until(predicate, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def build_arch(build):
    """The Windows target of a build tree (i686 or x86_64), from its CMake cache."""
    with open(os.path.join(build, "CMakeCache.txt")) as handle:
        for line in handle:
            if line.startswith("TAVO_ARCH:"):
                return line.strip().split("=", 1)[1]
    raise RuntimeError("%s is not a build tree of vrn_tavo" % build)


class Prefix:
    """A Wine prefix whose programs run with the loader of one width; start and stop give it a
    persistent wineserver in between (the test command keeps one for the test prefix itself)."""

    def __init__(self, path, arch):
        self.path = os.path.abspath(path)
        self.arch = arch
        self.wine = ["setarch", "-R", LOADERS[arch]]
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.path, WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")

    def start(self):
        os.makedirs(self.path, exist_ok=True)
        # Helpers that Wine starts must not inherit our pipes, or a caller waiting for them hangs.
        subprocess.run([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        self.run(["cmd", "/c", "exit"])

    def stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)

    def run(self, args, check=False, timeout=60):
        """Runs a Windows program to its end. Its output goes through files, not pipes: a Wine
        helper that the program starts would hold a pipe open long after the program ended."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen(self.wine + args, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            code = process.wait(timeout=timeout)
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(args, code, out.read(), err.read())
        if check and code != 0:
            raise RuntimeError("%s exited with %d: %s" % (args[0], code, result.stderr.decode(errors="replace")))
        return result

    def set_datadir(self, windows_path):
        self.run(["reg", "add", DATADIR_KEY, "/v", "DataDir", "/t", "REG_SZ", "/d", windows_path,
                  "/f", "/reg:64"], check=True)

    def delete_datadir(self):
        self.run(["reg", "delete", DATADIR_KEY, "/v", "DataDir", "/f", "/reg:64"])


def prepare_prefix(prefix, build):
    """Trusts the stand-in service's test CA and puts the WMI test provider in place of Wine's
    (which it hands to Wine's own WMI when no fixture is named). Both steps can be repeated."""
    ca = identityservice().ensure_ca()
    prefix.run([os.path.join(build, "bin", "trustca.exe"), to_windows_path(ca)], check=True)
    prefix.run(["reg", "add", WBEM_LOCATOR_SERVER, "/ve", "/d",
                to_windows_path(os.path.join(build, "bin", "wmiprovider.dll")), "/f", CLIENT_VIEWS[prefix.arch]],
               check=True)


class DataDir:
    """A Linux temporary folder that the agent sees as its data directory."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="tavo-e2e-")
        self.windows = to_windows_path(self.path, trailing_backslash=True)
        self.config = os.path.join(self.path, "config")
        os.makedirs(self.config)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def file(self, name):
        return os.path.join(self.path, name)

    def write_config(self, bootstrap, verbose=True):
        with open(os.path.join(self.config, "bs.json"), "w") as handle:
            json.dump(bootstrap, handle)
        with open(os.path.join(self.config, "id.json"), "w") as handle:
            json.dump({"id": {"enable_verbose_logs": verbose}}, handle)

    def store_bytes(self):
        try:
            with open(self.file("tavostore.json"), "rb") as handle:
                return handle.read()
        except FileNotFoundError:
            return None

    def store(self):
        data = self.store_bytes()
        return json.loads(data) if data else {}

    def write_store(self, values):
        text = "{\r\n" + ",\r\n".join("\t%s:\t%s" % (json.dumps(k), json.dumps(v))
                                       for k, v in values.items()) + "\r\n}"
        with open(self.file("tavostore.json"), "wb") as handle:
            handle.write(text.encode())

    def log_lines(self, name="vrn_tavo.exe.log"):
        """(function, level, message) of every complete record of the agent's log. A record starts
        with "[" and may hold line feeds of its message (the usage text)."""
        try:
            with open(self.file(name), "rb") as handle:
                text = handle.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return []
        records = []
        for line in text.split("\n")[:-1]:
            line = line.rstrip("\r")
            if line.startswith("[") and " f: " in line and " :: " in line:
                records.append(line)
            elif records:
                records[-1] += "\n" + line
        lines = []
        for record in records:
            function, rest = record.split(" f: ", 1)[1].split(" S: ", 1)
            level, message = rest.split(" :: ", 1)
            # The message is followed by a blank and the (usually empty) system error text.
            lines.append((function, level, message[:-1] if message.endswith(" ") else message))
        return lines

    def messages(self):
        return [message for _, _, message in self.log_lines()]

    def count(self, message):
        return sum(1 for m in self.messages() if m == message)

    def wait_for_log(self, message, count=1, timeout=15):
        return wait_until(lambda: self.count(message) >= count, timeout)


class Agent:
    """vrn_tavo.exe with a pipe on its standard input, started in the Linux folder cwd (by default
    this process's own, which Wine shows on Z:)."""

    def __init__(self, prefix, exe, args, cwd=None):
        # Standard error goes to a file, not a pipe: see Prefix.run.
        self._stderr_file = tempfile.TemporaryFile()
        self.process = subprocess.Popen(prefix.wine + [exe] + list(args), env=prefix.env, stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=self._stderr_file, cwd=cwd)

    @property
    def stderr(self):
        self._stderr_file.seek(0)
        return self._stderr_file.read()

    def send_byte(self):
        self.process.stdin.write(b"x")
        self.process.stdin.flush()

    def close_stdin(self):
        self.process.stdin.close()

    def wait(self, timeout=30):
        return self.process.wait(timeout=timeout)

    def stop(self, timeout=30):
        """Stops the agent as its parent does; returns its exit code."""
        if self.process.poll() is None:
            with contextlib.suppress(BrokenPipeError, ValueError):
                self.send_byte()
        return self.wait(timeout)

    def kill(self):
        """Ends the agent however it is: asked through standard input first, so that Wine closes
        its port, then killed."""
        if self.process.poll() is None:
            with contextlib.suppress(BrokenPipeError, ValueError, OSError):
                self.close_stdin()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(timeout=10)
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class CrashServer:
    """The crash-server stand-in (tests/support/programs/crashserver.cpp) serving the agent's own
    pipe; it reports to a file what it receives and ends when its client does."""

    PIPE = r"\\.\PIPE\LARCHMERE_CRASH"

    def __init__(self, prefix, build, report_path):
        self.report_path = report_path
        self.process = subprocess.Popen(
            prefix.wine + [os.path.join(build, "bin", "crashserver.exe"), self.PIPE, "serve",
                           to_windows_path(report_path)],
            env=prefix.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def lines(self):
        try:
            with open(self.report_path) as handle:
                return handle.read().splitlines()
        except FileNotFoundError:
            return []

    def wait_for_line(self, prefix, timeout=15):
        """The first report line that begins with prefix, or None."""
        return wait_until(lambda: next((line for line in self.lines() if line.startswith(prefix)), None), timeout)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def report_field(line, key):
    """The value of "key=" in a crash-server report line, up to the next blank."""
    for word in line.split(" "):
        if word.startswith(key + "="):
            return word[len(key) + 1:]
    return None


class Client:
    """A local client asking for a token refresh."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))

    def send(self):
        self.sock.sendto(b"\x01\x00", ("127.0.0.1", AGENT_PORT))

    def receive(self, timeout=15):
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(4096)
        except socket.timeout:
            return None

    def refresh(self, timeout=15):
        self.send()
        return self.receive(timeout)

    def close(self):
        self.sock.close()


def reply(code):
    return bytes([2, 0, code & 0xFF, code >> 8])


def refresh_code(timeout=15):
    client = Client()
    try:
        data = client.refresh(timeout)
    finally:
        client.close()
    if data is None or len(data) != 4 or data[:2] != b"\x02\x00":
        return None
    return data[2] | (data[3] << 8)


class Service:
    """The identity and event service stand-in (tests/support/identityservice.py), run on threads
    of this process. Answers are JSON bodies; requests come back with their headers as a dict. An
    untrusted service shows a certificate of the CA that nobody trusts."""

    def __init__(self, untrusted=False):
        self.stand_in = identityservice().IdentityService(untrusted=untrusted)

    @property
    def port(self):
        return self.stand_in.port

    def start(self):
        self.stand_in.start()

    def stop(self):
        self.stand_in.stop()
        shutil.rmtree(self.stand_in.state_dir, ignore_errors=True)

    def url(self, path):
        return self.stand_in.url(path)

    def answer(self, path, status, body, headers=None, delay=0):
        text = body if isinstance(body, str) else json.dumps(body)
        self.stand_in.answer(path, {"status": status, "body": text, "delay": delay,
                                    "headers": [[k, v] for k, v in (headers or {}).items()]})

    def requests(self, path=None):
        found = []
        for request in self.stand_in.requests(path):
            request = dict(request)
            request["headers"] = dict(request["headers"])
            found.append(request)
        return found

    @staticmethod
    def closed_port():
        """A port of 127.0.0.1 that nothing listens on (bound a moment ago, then released)."""
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
            probe.bind(("127.0.0.1", 0))
            return probe.getsockname()[1]


class TlsPlant:
    """What a local user can leave for the TLS library: in every folder that the program file names
    (tests/support/programfolders.py), an "openssl.cnf" whose engine and provider sections name a
    DLL that leaves a trace when loaded (tests/support/markerdll), that DLL under the name a module
    is looked up by, and CA files of the untrusted test root. Each folder is planted where the
    program would find it: on Windows a name without a drive is on the current drive, so every name
    is planted on C: of the prefix (the agent runs from C:, as a service does); under Wine a name
    that begins with "/" is a Linux path, and a name with another drive is on that drive, so those
    are planted there as well, but only where the folder does not exist yet: a folder of this
    machine is never written into. Files that exist already are left alone too. Every planted file
    is left with an access time of 0, so that a read of it shows (the file system updates the
    access time of a file read after its last change)."""

    DLL = "marker.dll"
    CA_FILES = ("cert.pem", "curl-ca-bundle.crt", "ca-bundle.crt")

    def __init__(self, prefix, exe, marker_dll):
        self._prefix = prefix
        self.folders = sorted({place for name in programfolders().named_folders(exe) for place in self._places(name)})
        self._marker_dll = marker_dll
        self._created = []
        self._planted = []
        self._controls = []

    def _places(self, name):
        """(Windows name, Linux path) of each place where the named folder is found."""
        drive = re.match(r"^([A-Za-z]):", name)
        parts = [part for part in re.split(r"[\\/]", name[2:] if drive else name) if part]
        places = [("C:/" + "/".join(parts), self._resolve(os.path.join(self._prefix.path, "drive_c"), parts))]
        if drive is None:
            places.append((to_windows_path("/" + "/".join(parts)).replace("\\", "/"), "/" + "/".join(parts)))
        else:
            root = os.path.join(self._prefix.path, "dosdevices", drive.group(1).lower() + ":")
            if drive.group(1).lower() != "c" and os.path.isdir(root):
                places.append((drive.group(1) + ":/" + "/".join(parts), self._resolve(os.path.realpath(root), parts)))
        return [places[0]] + [place for place in places[1:] if not os.path.exists(place[1])]

    @staticmethod
    def _resolve(path, parts):
        """Existing parts are matched without regard to letter case, as Windows does."""
        for part in parts:
            existing = os.listdir(path) if os.path.isdir(path) else []
            path = os.path.join(path, next((e for e in existing if e.lower() == part.lower()), part))
        return path

    def _make_folders(self, path):
        missing = []
        while not os.path.isdir(path):
            missing.append(path)
            path = os.path.dirname(path)
        for folder in reversed(missing):
            os.mkdir(folder)
            self._created.append(folder)

    def _write(self, path, data):
        try:
            with open(path, "xb") as handle:
                handle.write(data)
        except FileExistsError:
            return
        self._created.append(path)
        self._planted.append(path)
        os.utime(path, ns=(0, os.stat(path).st_mtime_ns))

    def plant(self):
        module = identityservice()
        module.ensure_ca()
        root = os.path.join(module.DEFAULT_CA_DIR, "untrusted-ca.pem")
        with open(root, "rb") as handle:
            root_pem = handle.read()
        hashed = subprocess.run(["openssl", "x509", "-hash", "-noout", "-in", root], check=True,
                                capture_output=True, text=True).stdout.strip() + ".0"
        with open(self._marker_dll, "rb") as handle:
            dll = handle.read()
        for windows, path in self.folders:
            self._make_folders(path)
            self._write(os.path.join(path, "openssl.cnf"), CONFIG_TEMPLATE.format(dll=windows + "/" + self.DLL).encode())
            self._write(os.path.join(path, self.DLL), dll)
            for name in self.CA_FILES + (hashed,):
                self._write(os.path.join(path, name), root_pem)
            control = os.path.join(path, "control.txt")
            self._write(control, b"read by the test alone\n")
            self._controls.append(control)
        return self

    def reads(self):
        """The planted files that something read. The test reads each folder's control file first,
        which shows that the file system there records reads at all."""
        for control in self._controls:
            with open(control, "rb") as handle:
                handle.read()
            if os.stat(control).st_atime_ns == 0:
                raise RuntimeError("the file system records no reads in %s" % os.path.dirname(control))
        return sorted(path for path in self._planted
                      if path not in self._controls and os.stat(path).st_atime_ns != 0)

    def traces(self):
        """The trace files that loaded copies of the DLL left."""
        found = []
        for _, path in self.folders:
            if os.path.isdir(path):
                found += [os.path.join(path, n) for n in os.listdir(path) if n == self.DLL + ".loaded"]
        return sorted(found)

    def remove(self):
        for path in self.traces():
            os.remove(path)
        for path in reversed(self._created):
            if os.path.isdir(path):
                os.rmdir(path)
            elif os.path.exists(path):
                os.remove(path)
        self._created = []


# Loaded, it would load the DLL as a dynamic engine (by its path, and by its name from the engines
# folder) and as a provider module (by its path, and by its name from the modules folder).
CONFIG_TEMPLATE = """openssl_conf = planted_init

[planted_init]
engines = planted_engines
providers = planted_providers

[planted_engines]
markerbypath = planted_engine_by_path
marker = planted_engine_by_name

[planted_engine_by_path]
dynamic_path = {dll}
init = 1

[planted_engine_by_name]
init = 1

[planted_providers]
markerbypath = planted_provider_by_path
marker = planted_provider_by_name

[planted_provider_by_path]
module = {dll}
activate = 1

[planted_provider_by_name]
activate = 1
"""
