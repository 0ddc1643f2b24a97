#!/usr/bin/env python3
"""Benchmark of vrn_tavo.exe under Wine against the identity-service stand-in, for each build given,
one after the other; prints a table with one row per figure and one column per build. Not part of
the test run.

usage: bench.py --run NAME DIR EXE [--run NAME DIR EXE ...]
  NAME: the column's heading; DIR: a test build of EXE's width (its prefix, the echo program, the
  test CA helper and the WMI test provider); EXE: the vrn_tavo.exe to measure"""

import argparse
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402

FIXTURE = os.path.join(ROOT, "tests", "e2e", "fixtures", "machine.wmi")
ECHO_PORT = 60111
IDENTITY = {"tavo": "tavo-bench", "tavo_token": "token-bench", "instance_key": "inst-bench",
            "urls": {"event": "https://127.0.0.1/e", "catalog": "https://127.0.0.1/c", "checkin": "https://127.0.0.1/k"}}


def percentile(values, q):
    ordered = sorted(values)
    return ordered[int(q * (len(ordered) - 1))]


def proc_status(pid, field):
    with open("/proc/%d/status" % pid) as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as handle:
        fields = handle.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def udpbench(prefix, build, args):
    return subprocess.Popen(prefix.wine + [os.path.join(build, "bin", "udpbench.exe")] + args, env=prefix.env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def parse_ping(output):
    values = dict(item.split("=") for item in output.decode().split())
    return int(values["p50_us"]), int(values["p99_us"]), int(values["replies"])


class Bench:
    """The figures of one build, by row name, as texts."""

    def __init__(self, build, exe):
        self.build = build
        self.prefix = harness.Prefix(os.path.join(build, "wineprefix"), harness.build_arch(build))
        self.service = harness.Service()
        self.data = harness.DataDir()
        self.exe = exe
        self.agent = None
        self.figures = {}

    def start_agent(self):
        self.agent = harness.Agent(self.prefix, self.exe, ["--config-path", harness.to_windows_path(self.data.config)])
        return self.agent

    def stop_agent(self):
        self.agent.stop()
        self.agent = None

    def run(self):
        self.prefix.start()
        harness.prepare_prefix(self.prefix, self.build)
        self.service.start()
        self.prefix.set_datadir(self.data.windows)
        self.prefix.env["TAVO_WMI_FIXTURE"] = harness.to_windows_path(FIXTURE)
        self.data.write_config({"business_id": "bench", "installer_key": "bench-key",
                                "identify_url": self.service.url("/identify"), "event_url": self.service.url("/e")},
                               verbose=False)
        self.service.answer("/identify", 200, IDENTITY)
        try:
            self.startup()
            self.full_refresh()
            self.concurrent_clients()
            self.idle_cpu()
            self.rate_limited_answer()
        finally:
            if self.agent is not None:
                self.agent.kill()
            self.service.stop()
            self.prefix.delete_datadir()
            self.prefix.stop()
            self.data.remove()

    def startup(self):
        started = time.monotonic()
        self.start_agent()
        harness.wait_until(lambda: self.service.requests("/identify"), 30, interval=0.001)
        self.figures[STARTUP] = "%.0f ms" % ((time.monotonic() - started) * 1000)
        # A refresh that arrives while the start-up answer is still being handled is answered by it,
        # and every later refresh would then measure the exchange before its own.
        harness.wait_until(lambda: "checkin_url" in self.data.store(), 15)
        time.sleep(0.5)

    def full_refresh(self):
        client = harness.Client()
        times = []
        for _ in range(100):
            started = time.perf_counter()
            answer = client.refresh()
            times.append((time.perf_counter() - started) * 1000)
            assert answer == harness.reply(1), answer
        client.close()
        self.figures[FULL_REFRESH] = "%.1f ms / %.1f ms" % (percentile(times, 0.5), percentile(times, 0.99))

    def concurrent_clients(self):
        before = len(self.service.requests("/identify"))
        clients = [harness.Client() for _ in range(100)]
        for client in clients:
            client.send()
        replies = [client.receive(15) for client in clients]
        for client in clients:
            client.close()
        time.sleep(0.5)
        sent = len(self.service.requests("/identify")) - before
        self.figures[CONCURRENT] = "%d (%d with code 1), %d" % (
            sum(r is not None for r in replies), sum(r == harness.reply(1) for r in replies), sent)

    def idle_cpu(self):
        pid = self.agent.process.pid
        time.sleep(1)
        before = cpu_seconds(pid)
        time.sleep(30)
        used = cpu_seconds(pid) - before
        self.figures[IDLE_CPU] = "%.2f s" % used
        self.figures[AGENT_MEMORY] = "%.1f MB" % (proc_status(pid, "VmHWM") / 1024)

    def rate_limited_answer(self):
        # A rate limit in force: every refresh is answered 4 without any exchange.
        self.stop_agent()
        self.data.write_store(dict(self.data.store(), **{"retry-after": str(int(time.time()) + 3600)}))
        hits = self.data.count("Cloud Rate Limit Hit.")
        self.start_agent()
        self.data.wait_for_log("Cloud Rate Limit Hit.", hits + 1, timeout=30)
        echo = udpbench(self.prefix, self.build, ["echo", str(ECHO_PORT)])
        try:
            time.sleep(1)
            ping = udpbench(self.prefix, self.build, ["ping", str(ECHO_PORT), "500"])
            echo_p50, echo_p99, _ = parse_ping(ping.communicate(timeout=120)[0])
            self.figures[ECHO_MEMORY] = "%.1f MB" % (proc_status(echo.pid, "VmHWM") / 1024)
        finally:
            echo.kill()
            echo.wait()
        ping = udpbench(self.prefix, self.build, ["ping", str(harness.AGENT_PORT), "500"])
        agent_p50, agent_p99, replies = parse_ping(ping.communicate(timeout=120)[0])
        self.figures[RATE_LIMITED] = "%d µs / %d µs (%d replies)" % (agent_p50, agent_p99, replies)
        self.figures[ECHO] = "%d µs / %d µs" % (echo_p50, echo_p99)
        self.figures[RATIO] = "%.2f" % (agent_p50 / max(echo_p50, 1))


STARTUP = "start-up to the first identity request"
FULL_REFRESH = "full refresh (collection, HTTPS exchange, store writes), 100 sequential, p50 / p99"
RATE_LIMITED = "answer without an exchange (rate limit in force, code 4), 500 refreshes, p50 / p99"
ECHO = "bare UDP echo of the same width, same run, p50 / p99"
RATIO = "code-4 answer p50 / echo p50"
CONCURRENT = "100 clients at once: replies, identity requests sent"
IDLE_CPU = "CPU time of the agent while idle for 30 s, no rate limit pending"
AGENT_MEMORY = "peak resident memory of the agent process"
ECHO_MEMORY = "peak resident memory of a bare Wine program (the echo) of the same width"
ROWS = [STARTUP, FULL_REFRESH, RATE_LIMITED, ECHO, RATIO, CONCURRENT, IDLE_CPU, AGENT_MEMORY, ECHO_MEMORY]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--run", nargs=3, action="append", required=True, metavar=("NAME", "DIR", "EXE"))
    args = parser.parse_args()
    columns = []
    for name, build, exe in args.run:
        print("measuring %s (%s) ..." % (name, exe), flush=True)
        bench = Bench(os.path.abspath(build), os.path.abspath(exe))
        bench.run()
        columns.append((name, bench.figures))
    print("| figure | " + " | ".join(name for name, _ in columns) + " |")
    print("|---|" + "---|" * len(columns))
    for row in ROWS:
        print("| %s | %s |" % (row, " | ".join(figures.get(row, "-") for _, figures in columns)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
