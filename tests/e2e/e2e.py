#!/usr/bin/env python3
"""Whole-program scenarios of vrn_tavo.exe under Wine.

usage: e2e.py --build DIR [--exe EXE] [--list | SCENARIO]

DIR is a test build of either width (it holds the WMI test provider and the test CA helper of that
width, and its Wine prefix); EXE is the vrn_tavo.exe to run, by default DIR's own. Each scenario
starts the agent with a data directory of its own and the identity-service stand-in, acts as local
clients, and checks what the agent answered, logged, stored and sent."""

import argparse
import base64
import json
import os
import shutil
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402
from harness import reply  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
MACHINE_FIXTURE = os.path.join(HERE, "fixtures", "machine.wmi")
NO_WMI_FIXTURE = os.path.join(HERE, "fixtures", "nowmi.wmi")

BID = "biz-7f3a"
INSTALLER_KEY = "ik-59c1d2"
IDENTITY = {
    "tavo": "tavo-0a1b2c3d",
    "tavo_token": "tok-e4f5a6b7",
    "instance_key": "inst-c8d9",
    "urls": {"event": "https://127.0.0.1:%(port)d/events", "catalog": "https://catalog.example/c",
             "checkin": "https://checkin.example/k"},
}

SCENARIOS = {}


def scenario(function):
    SCENARIOS[function.__name__] = function
    return function


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def check_eq(actual, expected, what):
    if actual != expected:
        raise Failure("%s: expected %r, got %r" % (what, expected, actual))


def b64(text):
    return base64.b64encode(text.encode()).decode()


def expected_identity_document(received, bid=BID, installer_key=INSTALLER_KEY, cache=None):
    """The identity request that the machine fixture yields. The adapters come from the real
    enumeration under Wine, so they are taken from the received document (and checked for form)."""
    os_group = {
        "partition_id": "6f1d2c3e-8a4b-11ee-9c2d-806e6f6e6963",
        "major": "10", "minor": "0", "arch": "64-bit", "build": "19045",
        "name": "Microsoft Windows 10 Pro", "suite": "256", "product_type": "1",
        "hostname": "desk-0042", "domainname": "corp.example",
    }
    adapters = json.loads(received).get("os", {}).get("adapters")
    if adapters is not None:
        check(isinstance(adapters, list), "adapters is an array")
        for adapter in adapters:
            check(isinstance(adapter, dict) and "mac" in adapter, "an adapter has a mac: %r" % adapter)
        os_group["adapters"] = adapters
    misc = {"product": {}, "is_virtual": False}
    if cache:
        misc["cache"] = cache
    document = {
        "business": {"id": bid, "installer_key": installer_key},
        "hardware": {"serial_number": b64("5CD1234XYZ"), "uuid": "4C4C4544-0042-3510-8056-B2C04F4E4A32",
                     "disk_list": [{"serial_number": b64("S4EWNF0M812345"), "internal": True}]},
        "os": os_group,
        "misc": misc,
    }
    return json.dumps(document, separators=(",", ":"))


class Run:
    """One scenario's world: the data directory, configuration, service and agent."""

    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build)
        self.exe = os.path.abspath(args.exe or os.path.join(self.build, "bin", "vrn_tavo.exe"))
        self.prefix = harness.Prefix(os.path.join(self.build, "wineprefix"), harness.build_arch(self.build))
        self.data = harness.DataDir()
        self.service = harness.Service()
        self.agents = []
        self.crash_servers = []

    def __enter__(self):
        harness.prepare_prefix(self.prefix, self.build)
        self.service.start()
        self.prefix.set_datadir(self.data.windows)
        self.use_fixture(MACHINE_FIXTURE)
        self.configure()
        return self

    def __exit__(self, *exc):
        for agent in self.agents:
            agent.kill()
        for server in self.crash_servers:
            server.kill()
        self.service.stop()
        self.prefix.delete_datadir()
        if exc[0] is None:
            self.data.remove()
        else:
            print("kept for inspection: %s" % self.data.path)
            print("--- agent log ---\n%s" % "\n".join("%s %s :: %s" % line for line in self.data.log_lines()))
        return False

    def use_fixture(self, path):
        self.prefix.env["TAVO_WMI_FIXTURE"] = harness.to_windows_path(path)

    def configure(self, **changes):
        bootstrap = {"business_id": BID, "installer_key": INSTALLER_KEY,
                     "identify_url": self.service.url("/identify"),
                     "event_url": self.service.url("/default-events")}
        bootstrap.update(changes)
        self.data.write_config(bootstrap)

    def identity_body(self):
        body = json.loads(json.dumps(IDENTITY))
        body["urls"]["event"] = body["urls"]["event"] % {"port": self.service.port}
        return body

    def start(self, args=None, cwd=None):
        agent = harness.Agent(self.prefix, self.exe,
                              args if args is not None else ["--config-path", harness.to_windows_path(self.data.config)],
                              cwd)
        self.agents.append(agent)
        return agent

    def start_and_settle(self, cwd=None):
        """Starts the agent and waits until it has registered its refresh handler."""
        registered = self.data.count("Registered refresh token handler")
        agent = self.start(cwd=cwd)
        check(self.data.wait_for_log("Registered refresh token handler", registered + 1),
              "the agent registered its handler")
        return agent

    def start_crash_server(self):
        """The crash-server stand-in on the agent's pipe, once it serves it."""
        server = harness.CrashServer(self.prefix, self.build, self.data.file("crashserver.txt"))
        self.crash_servers.append(server)
        check(server.wait_for_line("ready") is not None, "the crash server serves its pipe")
        return server

    def requests(self, path=None):
        return self.service.requests(path)

    def wait_requests(self, path, count, timeout=15):
        return harness.wait_until(lambda: len(self.requests(path)) >= count, timeout)

    def wait_handled(self, message, count=1, timeout=15):
        check(self.data.wait_for_log(message, count, timeout), "log line %r seen %d times" % (message, count))

    def wait_stored(self, count=1):
        """Waits until an answer that no client asked for has been handled: its last store write
        is logged, and a moment later the handling has ended. A refresh that arrives before that
        is answered with this answer's code, which is right for the agent but not what a scenario
        means to test."""
        self.wait_handled("Checkin URL updated", count)
        time.sleep(0.2)

    def stop(self, agent):
        code = agent.stop()
        check_eq(code, 0, "exit code after a byte on standard input")
        return code


# ---- The main road --------------------------------------------------------------------------

@scenario
def main_road(run):
    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    check(run.wait_requests("/identify", 1), "the first identity request at start-up")
    first = run.requests("/identify")[0]
    check_eq(first["method"], "POST", "method")
    check_eq(first["headers"].get("Content-Type"), "application/json", "content type")
    check_eq(first["headers"].get("User-Agent"), "Ostrel Quenlo/1.1.83", "user agent")
    check_eq(first["body"], expected_identity_document(first["body"]), "identity request document")
    run.wait_stored()

    identity = run.identity_body()
    expected_store = ("{\r\n\t\"business_id\":\t\"%s\",\r\n\t\"tavo_token\":\t\"%s\",\r\n\t\"tavo\":\t\"%s\",\r\n"
                      "\t\"instance_key\":\t\"%s\",\r\n\t\"event_url\":\t\"%s\",\r\n\t\"catalog_url\":\t\"%s\",\r\n"
                      "\t\"checkin_url\":\t\"%s\"\r\n}") % (
        BID, identity["tavo_token"], identity["tavo"], identity["instance_key"], identity["urls"]["event"],
        identity["urls"]["catalog"], identity["urls"]["checkin"])
    check_eq(run.data.store_bytes().decode(), expected_store, "store file after the first answer")

    # A client's refresh sends the stored identity back as the cache and is answered 1.
    client = harness.Client()
    check_eq(client.refresh(), reply(1), "reply to a refresh")
    client.close()
    second = run.requests("/identify")[1]
    cache = {"tavo": identity["tavo"], "tavo_token": identity["tavo_token"], "instance_key": identity["instance_key"]}
    check_eq(second["body"], expected_identity_document(second["body"], cache=cache), "refresh document")
    run.stop(agent)


@scenario
def coalescing(run):
    clients_count = 20
    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    check(run.wait_requests("/identify", 1), "start-up request")
    run.wait_stored()
    # The service answers slowly, so that every client asks while the one request is in flight.
    run.service.answer("/identify", 200, run.identity_body(), delay=1.5)
    clients = [harness.Client() for _ in range(clients_count)]
    for client in clients:
        client.send()
    replies = [client.receive() for client in clients]
    for client in clients:
        client.close()
    check_eq(replies, [reply(1)] * clients_count, "every client's reply")
    check_eq(len(run.requests("/identify")), 2, "identity requests (start-up and one for all clients)")
    run.stop(agent)


# ---- Rate limit -----------------------------------------------------------------------------

@scenario
def rate_limit(run):
    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    run.wait_stored()
    run.service.answer("/identify", 429, {"code": 42, "msg": "slow down"}, headers={"Retry-After": "4"})
    before = int(time.time())
    check_eq(harness.refresh_code(), 4, "refresh answered by a 429 with Retry-After")
    after = int(time.time())
    stored = int(run.data.store().get("retry-after", "0"))
    check(before + 4 <= stored <= after + 4, "stored retry time %d within [%d, %d]" % (stored, before + 4, after + 4))
    # While the limit holds, refreshes are answered 4 at once and nothing is sent.
    run.service.answer("/identify", 200, run.identity_body())
    for _ in range(3):
        check_eq(harness.refresh_code(), 4, "refresh during the limit")
    check_eq(len(run.requests("/identify")), 2, "requests during the limit")
    # When the limit is over, the loop sends by itself.
    check(run.wait_requests("/identify", 3, timeout=15), "the loop sends when the limit is over")
    check(time.time() >= stored, "not sent before the stored time")
    run.wait_stored(2)
    check_eq(harness.refresh_code(), 1, "refresh after the limit")
    run.stop(agent)


@scenario
def rate_limit_survives_restart(run):
    # The largest Retry-After the service can give ends beyond 2038.
    run.service.answer("/identify", 429, {"code": 42, "msg": "slow down"}, headers={"Retry-After": "2147483647"})
    agent = run.start_and_settle()
    # The store write's own line, not the answer's: the agent logs the answer before it stores it.
    run.wait_handled("Setting Retry After timestamp done")
    stored = int(run.data.store()["retry-after"])
    check(stored > 2 ** 31, "retry time beyond 2038: %d" % stored)
    check_eq(harness.refresh_code(), 4, "refresh during the limit")
    run.stop(agent)

    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    check_eq(harness.refresh_code(), 4, "refresh after a restart")
    check(run.data.count("Cloud Rate Limit Hit.") >= 3, "start-up step and refreshes hit the limit")
    check_eq(len(run.requests("/identify")), 1, "requests sent across the restart")
    run.stop(agent)


# ---- Errors ---------------------------------------------------------------------------------

@scenario
def service_error(run):
    run.service.answer("/identify", 503, {"code": 17, "msg": "identity store offline"})
    agent = run.start_and_settle()
    run.wait_handled("Error response received from  cloud: identity store offline")
    check_eq(harness.refresh_code(), 3, "refresh answered by a service error")
    check("retry-after" not in run.data.store(), "no rate limit stored")
    run.stop(agent)


@scenario
def no_service(run):
    run.configure(identify_url="https://127.0.0.1:%d/identify" % run.service.closed_port())
    agent = run.start_and_settle()
    run.wait_handled("Error occured in communication with cloud service: -3")
    check_eq(harness.refresh_code(), 2, "refresh without a service")
    run.wait_handled("Error occured in communication with cloud service: -3", 2)
    run.stop(agent)


@scenario
def invalid_identity_body(run):
    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    run.wait_stored()
    before = run.data.store_bytes()
    # A 2xx answer without a token is not stored over the identity the agent holds.
    run.service.answer("/identify", 200, {"tavo": "tavo-other", "urls": {"event": "", "catalog": "", "checkin": ""}})
    check_eq(harness.refresh_code(), 2, "refresh answered by an invalid identity")
    check_eq(run.data.store_bytes(), before, "store after an invalid answer")
    run.stop(agent)


@scenario
def store_write_failure(run):
    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    run.wait_stored()
    # A folder in the place of the store's companion file makes every write fail.
    blocker = run.data.file("tavostore.json.tmp")
    os.mkdir(blocker)
    renewed = dict(run.identity_body(), tavo_token="tok-renewed")
    run.service.answer("/identify", 200, renewed)
    check_eq(harness.refresh_code(), 2, "refresh whose identity could not be stored")
    check("Failed to update Token" in run.data.messages(), "the failed write is logged")
    check_eq(run.data.store()["tavo_token"], run.identity_body()["tavo_token"], "stored token")
    os.rmdir(blocker)
    check_eq(harness.refresh_code(), 1, "refresh once the store can be written")
    check_eq(run.data.store()["tavo_token"], "tok-renewed", "stored token")
    run.stop(agent)


@scenario
def no_wmi_event(run):
    run.use_fixture(NO_WMI_FIXTURE)
    run.service.answer("/default-events/1", 200, {"event_count": 1})
    agent = run.start_and_settle()
    check(run.wait_requests("/default-events/1", 1), "the no-wmi event at start-up")
    event = json.loads(run.requests("/default-events/1")[0]["body"])["event"]
    check_eq(list(event), ["bid", "iid", "type", "tse", "tstx", "hostname"], "event members")
    check_eq((event["bid"], event["iid"], event["type"]), (BID, INSTALLER_KEY, "no-wmi"), "event values")
    check_eq(event["tse"], event["tstx"], "timestamps")
    run.wait_handled("Event Count received from cloud 1")

    # Sent once: a refresh while WMI stays unusable sends nothing and is answered 2.
    check_eq(harness.refresh_code(), 2, "refresh after the event was sent")
    check_eq(len(run.requests("/default-events/1")), 1, "events after a refresh")

    # An error answer allows it again; a rate-limit answer does not.
    run.service.answer("/default-events/1", 500, {"code": 5, "msg": "event store busy"})
    run.stop(agent)
    agent = run.start_and_settle()
    check(run.wait_requests("/default-events/1", 2), "event at the restart")
    run.wait_handled("Error response received from cloud: event store busy")
    run.service.answer("/default-events/1", 429, {"code": 6, "msg": "quiet"}, headers={"Retry-After": "60"})
    check_eq(harness.refresh_code(), 2, "refresh that sends the event again")
    check(run.wait_requests("/default-events/1", 3), "event sent again after the error answer")
    run.wait_handled("Error occured in communication with cloud service: -12")
    check_eq(harness.refresh_code(), 2, "refresh after a rate-limited event")
    check_eq(len(run.requests("/default-events/1")), 3, "no event after the rate-limited one")
    check("retry-after" not in run.data.store(), "an event's Retry-After is not stored")
    run.stop(agent)


@scenario
def no_wmi_event_without_network(run):
    run.use_fixture(NO_WMI_FIXTURE)
    run.configure(event_url="https://127.0.0.1:%d/events" % run.service.closed_port())
    agent = run.start_and_settle()
    run.wait_handled("Error occured in communication with cloud service: -3")
    # The exchange never completed, so the next refresh tries the event again, now reachable.
    run.configure()
    run.service.answer("/default-events/1", 200, {"event_count": 2})
    check_eq(harness.refresh_code(), 2, "refresh that sends the event")
    check(run.wait_requests("/default-events/1", 1), "event sent once the network is there")
    run.stop(agent)


# ---- Configuration --------------------------------------------------------------------------

@scenario
def configuration_edit(run):
    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    run.wait_stored()
    run.configure(business_id="biz-renamed", identify_url=run.service.url("/identify-v2"))
    run.service.answer("/identify-v2", 200, run.identity_body())
    check_eq(harness.refresh_code(), 1, "refresh after the edit")
    request = run.requests("/identify-v2")
    check_eq(len(request), 1, "request to the new URL")
    check_eq(json.loads(request[0]["body"])["business"]["id"], "biz-renamed", "business id sent")
    check_eq(run.data.store()["business_id"], "biz-renamed", "business id stored")
    run.stop(agent)


# ---- Exit codes -----------------------------------------------------------------------------

@scenario
def exit_codes(run):
    usage = run.start(["--config-path"])
    check_eq(usage.wait(), 1, "exit code with too few arguments")
    check(run.data.count("Error: not enough arguments.\nUsage: vrn_tavo.exe --config-path PathToJSONConfigDirectory") == 1,
          "usage message in the log")

    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    check_eq(agent.stop(), 0, "exit code after a byte on standard input")
    agent = run.start_and_settle()
    agent.close_stdin()
    check_eq(agent.wait(), 0, "exit code after standard input closed")
    # A byte written before the agent is up ends it as soon as it waits for one, after its first step.
    agent = run.start()
    agent.send_byte()
    check_eq(agent.wait(), 0, "exit code after an early byte")
    check_eq(run.data.count("TAVO agent main thread is exiting with status: 0"), 3, "the agent thread ended each time")

    # A log file that cannot be opened: its folder does not exist.
    run.prefix.set_datadir(run.data.windows + "missing\\")
    agent = run.start()
    check_eq(agent.wait(), 1, "exit code when the log cannot be opened")
    check(agent.stderr.startswith(b"Fatal error: "), "standard error: %r" % agent.stderr)

    # No data directory: the log goes to the current folder, and the agent cannot start.
    run.prefix.delete_datadir()
    cwd = os.getcwd()
    os.chdir(run.data.path)
    try:
        agent = run.start()
    finally:
        os.chdir(cwd)
    check_eq(agent.wait(), 2, "exit code without a data directory")
    check(b"Failed to get TAVO Directory Path\n" in agent.stderr.replace(b"\r\n", b"\n"),
          "standard error: %r" % agent.stderr)
    check(("wmain", "error", "Fatal error [Could not get TAVO Directory Path]") in run.data.log_lines(),
          "fatal error in the log, logged by wmain")


@scenario
def arguments(run):
    run.service.answer("/identify", 200, run.identity_body())
    config = harness.to_windows_path(run.data.config)
    # The option's value is examined too, so the second occurrence takes the directory.
    agent = run.start(["--config-path", "--config-path", config])
    check(run.wait_requests("/identify", 1), "identity request with the configuration found")
    run.stop(agent)
    # Arguments without the option leave the configuration directory empty; the agent still runs.
    agent = run.start(["--Config-Path", "--config-path=" + config])
    run.wait_handled("Empty Config Directory Path.")
    run.wait_handled("Mandatory Business data missing.")
    run.stop(agent)
    check_eq(len(run.requests("/identify")), 1, "identity requests")


# ---- Crash handling -------------------------------------------------------------------------

@scenario
def crash_server_registration(run):
    # At start-up the agent registers with the crash server for full-memory dumps.
    server = run.start_crash_server()
    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    registration = server.wait_for_line("register ")
    check(registration is not None, "the crash server received a registration")
    check_eq(harness.report_field(registration, "dumpType"), "2", "dump type of the registration")
    check(server.wait_for_line("ack ") is not None, "the agent acknowledged the server's answer")
    check(" OOP Crash Handler Created" in run.data.messages(), "the agent's crashes go to the server")
    run.stop(agent)


# ---- Data directory -------------------------------------------------------------------------

class NamedDataDir(harness.DataDir):
    """A data directory with the given folder name, inside a fresh temporary folder that also holds
    the configuration."""

    def __init__(self, name):
        super().__init__()
        self.top = self.path
        self.path = os.path.join(self.top, name)
        os.makedirs(self.path)
        self.windows = harness.to_windows_path(self.path, trailing_backslash=True)

    def remove(self):
        shutil.rmtree(self.top, ignore_errors=True)


@scenario
def non_ascii_data_directory(run):
    # "DataDir" is read as UTF-8; no ANSI code page spells this name whole.
    run.data.remove()
    run.data = NamedDataDir("d\u00e4t\u00e4-\u6570\u636e")
    run.prefix.set_datadir(run.data.windows)
    run.configure()
    run.service.answer("/identify", 200, run.identity_body())
    agent = run.start_and_settle()
    run.wait_stored()
    check_eq(run.data.store()["tavo_token"], run.identity_body()["tavo_token"], "stored token")
    check("version: 1.1.83" in run.data.messages(), "the log is in the data directory")
    check_eq(harness.refresh_code(), 1, "refresh")
    run.stop(agent)
    check_eq(agent.stderr, b"", "standard error")
    check_eq(sorted(os.listdir(run.data.path)), ["tavostore.json", "tavostore.json.lck", "vrn_tavo.exe.log"],
             "files in the data directory")


# ---- Files that other users can leave ------------------------------------------------------

@scenario
def planted_tls_files(run):
    # Any user may create folders on C:. Whatever was left in the folders that the program file
    # names is read by nobody: no configuration file, no CA file that would make the untrusted
    # service's certificate pass, no DLL.
    run.service.stop()
    run.service = harness.Service(untrusted=True)
    run.service.start()
    run.configure()
    run.service.answer("/identify", 200, run.identity_body())
    plant = harness.TlsPlant(run.prefix, run.exe, os.path.join(run.build, "bin", "markerdll.dll")).plant()
    try:
        check(plant.folders, "the program names folders to plant in")
        # Started from C:, as a service is: a folder named without a drive is on C:.
        agent = run.start_and_settle(cwd=os.path.join(run.prefix.path, "drive_c", "windows", "system32"))
        check_eq(harness.refresh_code(), 2, "refresh against the untrusted service")
        check(any(m.startswith("libcurl error: 60 ") for m in run.data.messages()),
              "the service's certificate is refused")
        check_eq(run.requests(), [], "requests that reached the service")
        check_eq(sorted(run.data.store()), ["business_id"], "keys in the store")
        run.stop(agent)
        check_eq(plant.traces(), [], "planted DLLs loaded")
        check_eq(plant.reads(), [], "planted files read")
    finally:
        plant.remove()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--exe")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("scenario", nargs="?")
    args = parser.parse_args()
    if args.list:
        print("\n".join(SCENARIOS))
        return 0
    if args.scenario not in SCENARIOS:
        parser.error("unknown scenario %r" % args.scenario)
    try:
        with Run(args) as run:
            SCENARIOS[args.scenario](run)
    except Failure as failure:
        print("FAILED: %s" % failure)
        return 1
    except Exception:
        traceback.print_exc()
        return 1
    print("passed: %s" % args.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
