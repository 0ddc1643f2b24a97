#!/usr/bin/env python3
"""The demo: vrn_tavo.exe under Wine obtains an identity from the identity service stand-in and
answers a local client's refresh.

usage: demo.py --build DIR --exe EXE
  DIR: a test build tree of EXE's width, for its test CA helper and WMI test provider;
  EXE: the vrn_tavo.exe to run (the 32-bit product where the machine can start it)

Stand-ins, said plainly: the identity service is a local Python HTTPS server with a test CA
(tests/support/identityservice.py), and the machine's WMI data (firmware, disk, operating system,
host name) comes from a fixture served by the WMI test provider (tests/support/wmiprovider), because
Wine lacks some of it. The agent, its store, its log and the UDP exchange are the real ones."""

import argparse
import json
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

FIXTURE = os.path.join(ROOT, "tests", "e2e", "fixtures", "machine.wmi")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--exe", required=True)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    exe = os.path.abspath(args.exe)

    prefix = harness.Prefix(os.path.join(build, "demoprefix"), harness.build_arch(build))
    service = harness.Service()
    data = harness.DataDir()
    agent = None
    exit_code = 1
    print("== Preparing a Wine prefix (%s): the test CA trusted, the WMI test provider registered" % prefix.path)
    prefix.start()
    try:
        harness.prepare_prefix(prefix, build)
        service.start()
        print("== Stand-in identity service (local Python HTTPS server): %s" % service.url("/identify"))
        identity = {"tavo": "tavo-demo-0001", "tavo_token": "token-demo-9f8e7d", "instance_key": "inst-demo-42",
                    "urls": {"event": service.url("/events"), "catalog": "https://catalog.example/v1",
                             "checkin": "https://checkin.example/v1"}}
        service.answer("/identify", 200, identity)
        prefix.set_datadir(data.windows)
        data.write_config({"business_id": "demo-business", "installer_key": "demo-installer-key",
                           "identify_url": service.url("/identify"), "event_url": service.url("/events")},
                          verbose=False)
        prefix.env["TAVO_WMI_FIXTURE"] = harness.to_windows_path(FIXTURE)
        print("== Data directory (\"DataDir\"): %s" % data.windows)
        print("== Configuration: %s\\bs.json and id.json" % harness.to_windows_path(data.config))
        print("== Sample machine for the WMI test provider (a stand-in): %s" % os.path.relpath(FIXTURE, ROOT))

        print("== Starting %s --config-path %s" % (os.path.relpath(exe, ROOT), harness.to_windows_path(data.config)))
        agent = harness.Agent(prefix, exe, ["--config-path", harness.to_windows_path(data.config)])
        # The start-up request's identity in the store says the agent is up and its handler registered.
        if not harness.wait_until(lambda: "checkin_url" in data.store(), 30):
            print("no identity stored at start-up; the agent's log:\n" + "\n".join(data.messages()))
            return 1

        print("== Asking for a token refresh as a local client (UDP 127.0.0.1:%d)" % harness.AGENT_PORT)
        client = harness.Client()
        answer = client.refresh()
        client.close()
        if answer is None:
            print("   no reply within 15 s")
        else:
            code = answer[2] | (answer[3] << 8)
            print("   reply bytes %s: code %d (%s)" % (answer.hex(" "), code, harness.CODE_NAMES.get(code, "unknown")))

        harness.wait_until(lambda: len(service.requests()) >= 2, 5)
        print("== Stored identity (%s):" % harness.to_windows_path(data.file("tavostore.json")))
        for key, value in data.store().items():
            print("   %-13s %s" % (key, value))

        print("== Requests the service received:")
        for request in service.requests():
            body = json.loads(request["body"] or "{}")
            hardware = body.get("hardware", {})
            print("   %s  %d bytes: business %s, serial %s, host %s, %d adapters, cached identity: %s" % (
                request["request_line"], len(request["body"]), body.get("business", {}).get("id"),
                hardware.get("serial_number"), body.get("os", {}).get("hostname"),
                len(body.get("os", {}).get("adapters", [])), "cache" in body.get("misc", {})))

        print("== Stopping the agent through its standard input")
        exit_code = agent.stop()
        print("   vrn_tavo.exe exited with %d" % exit_code)
        return exit_code
    finally:
        if agent is not None:
            agent.kill()
        service.stop()
        prefix.delete_datadir()
        prefix.stop()
        data.remove()


if __name__ == "__main__":
    sys.exit(main())
