#!/usr/bin/env python3
"""The soak: the whole agent under steady, mixed load for SECONDS (default 600), then a verdict.

What runs (all on loopback, in a work directory of its own):
  - vorpane-agent with ZOTA_STARTUP_DP=ASFS: the host application, one SOCK and one FILE definition;
  - 8 vorpane-dp providers streaming rows from standard input: 6 into keyed tables (their keys cycle,
    so the tables stay the same size), one "ledger" into an S table, and one in action mode
    (--handler) whose rows make situations raise and clear, so their take-actions reach it;
  - a feeder writing lines to the SOCK definition's TCP port and one appending lines to the FILE
    definition's file;
  - 50 situations, 10 of them with a take-action on the action provider's table;
  - GET /metrics every 5 s; API clients reading rows, situations and health;
  - every 30 s one streaming provider is killed (SIGKILL) and started again; once, half-way, one
    streaming application is started with a description that has one more attribute (a new release).

What is comparable for "no row lost": the ledger provider is never killed and sends one row per
sequence number to an S table whose rows live 60 s; the API reads that table every 10 s (each read
under a second), so every row stored is seen by some read. At the end the ledger's input is closed,
vorpane-dp says how many lines it sent and how many the hub refused, a last read follows, and the
sequence numbers the API saw must be exactly those sent.

Goals (exit 1 when one fails): VmRSS at the end within RSS_GROWTH of VmRSS after the first minute
(5 % for runs of 300 s and more; 25 % for shorter ones, whose first minute is most of the run, so the
reference is taken half-way); descriptors and threads at the end no more than after the
first minute plus a small slack; no ledger row lost; every API answer within LATENCY (1 s; 3 s for
runs under 300 s, which CI runs on a loaded machine); no error line of the kinds that mean a loss or
a broken process. Error lines are counted by kind (numbers and names folded) and listed.
"""
import argparse
import collections
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

TOKEN = "soak-token"
# Error lines that mean rows were lost or the process is broken: any one fails the soak.
FATAL = re.compile(r"dropped by the kernel|took nothing for|AddressSanitizer|runtime error|"
                   r"LeakSanitizer|its oldest rows are dropped|Assertion|terminate called")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Api:
    """The management API, every call timed."""

    def __init__(self, port):
        self.base = "http://127.0.0.1:%d" % port
        self.lock = threading.Lock()
        self.latencies = collections.defaultdict(list)
        self.failures = collections.Counter()

    def call(self, kind, path, body=None, method=None, timeout=30):
        request = urllib.request.Request(self.base + path, method=method)
        request.add_header("Authorization", "Bearer " + TOKEN)
        data = None
        if body is not None:
            data = json.dumps(body).encode()
            request.add_header("Content-Type", "application/json")
        began = time.monotonic()
        status, payload = 0, b""
        try:
            with urllib.request.urlopen(request, data=data, timeout=timeout) as answer:
                status, payload = answer.status, answer.read()
        except urllib.error.HTTPError as e:
            status, payload = e.code, e.read()
        except Exception as e:  # a refused or cut connection: counted, and timed
            status, payload = -1, str(e).encode()
        elapsed = time.monotonic() - began
        with self.lock:
            self.latencies[kind].append(elapsed)
            if status < 200 or status >= 300:
                self.failures["%s %s" % (kind, status)] += 1
        return status, payload


class Provider:
    """One vorpane-dp run fed from a thread through its standard input."""

    def __init__(self, soak, name, desc, source, line, rate, extra=(), keep=True, quiet=True):
        self.soak, self.name, self.desc, self.source = soak, name, desc, source
        self.line, self.rate, self.extra = line, rate, list(extra)
        self.sent = 0
        self.process = None
        self.feeder = None
        self.stopping = threading.Event()
        self.output = b""  # the last of what it printed
        self.keep = keep
        self.quiet = quiet
        self.summary = threading.Event()  # it said how many lines of its input were refused

    def start(self):
        args = [self.soak.bin("vorpane-dp"), "--file", self.desc, "--online", self.source, "--stdin",
                "--keep-going"] + (["--quiet"] if self.quiet else []) + self.extra
        if self.keep:
            args.append("--wait")
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT, env=self.soak.env)
        self.stopping = threading.Event()
        self.feeder = threading.Thread(target=self.feed, daemon=True)
        self.feeder.start()
        threading.Thread(target=self.drain, args=(self.process,), daemon=True).start()

    def drain(self, process):
        """Reads what it prints, so that it never waits on a full pipe; keeps the end of it."""
        for line in process.stdout:
            self.output = (self.output + line)[-4096:]
            if b"lines refused" in line:
                self.summary.set()

    def feed(self):
        period = 0.1
        per = max(1, int(self.rate * period))
        next_at = time.monotonic()
        while not self.stopping.is_set():
            chunk = "".join(self.line(self.sent + i) + "\n" for i in range(per))
            try:
                self.process.stdin.write(chunk.encode())
                self.process.stdin.flush()
            except (BrokenPipeError, ValueError, OSError):
                return
            self.sent += per
            next_at += period
            self.stopping.wait(max(0.0, next_at - time.monotonic()))

    def kill(self):
        self.stopping.set()
        self.process.kill()
        self.process.wait()
        self.feeder.join()

    def close_input(self):
        """Ends the input; vorpane-dp then says how many lines were refused and waits (--wait)."""
        self.stopping.set()
        self.feeder.join()
        self.process.stdin.close()

    def stop(self):
        self.stopping.set()
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Soak:
    def __init__(self, seconds, programs, keep):
        self.seconds = seconds
        self.programs = programs
        self.keep = keep
        self.work = tempfile.mkdtemp(prefix="vorpane-soak.")
        self.hub_port, self.api_port, self.sock_port = free_port(), free_port(), free_port()
        self.env = dict(os.environ)
        for key in ("VORPANE_TIME_SPEEDUP", "VORPANE_API_BIND", "ZOTA_DCH_ADDR", "ZOTA_STARTUP_DP"):
            self.env.pop(key, None)
        self.env.update({
            "VORPANE_WORKDIR": self.work,
            "ZOTA_DCH_PORT": str(self.hub_port),
            "VORPANE_API_PORT": str(self.api_port),
            "VORPANE_API_TOKEN": TOKEN,
            "VORPANE_TRACE": "ERROR",
            "ZOTA_STARTUP_DP": "ASFS",
        })
        # Under AddressSanitizer freed memory waits in a quarantine of 256 MiB by default, which
        # would fill during the first minutes and read as growth; a small one keeps VmRSS about the
        # process's own memory. Other builds ignore the key.
        asan = self.env.get("ASAN_OPTIONS", "")
        self.env["ASAN_OPTIONS"] = (asan + ":" if asan else "") + "quarantine_size_mb=8"
        self.api = Api(self.api_port)
        self.stop = threading.Event()
        self.samples = []  # (seconds since start, rss kB, descriptors, threads)
        self.thread_names = []  # per sample: threads by name
        self.notes = []
        self.failed = []
        self.ledger_seen = set()
        self.ledger_lock = threading.Lock()
        self.kills = 0
        self.last_event = 0
        self.actions_seen = 0

    def bin(self, name):
        return self.programs[name]

    def write(self, path, text):
        with open(os.path.join(self.work, path), "w") as f:
            f.write(text)
        return os.path.join(self.work, path)

    # ---- set-up
    def describe(self):
        os.makedirs(os.path.join(self.work, "providers"))
        os.makedirs(os.path.join(self.work, "feed"))
        self.write("providers/soaksock.desc",
                   "application SKSOCK help=\"soak SOCK\"\ngroup LINES K 300\nattribute @Slot C 4\n"
                   "attribute Seq C 4\nattribute Text D 32\nsource SOCK port=%d protocol=tcp\n" % self.sock_port)
        self.write("providers/soakfile.desc",
                   "application SKFILE help=\"soak FILE\"\ngroup LINES K 300\nattribute @Slot C 4\n"
                   "attribute Seq C 4\nattribute Text D 32\nsource FILE format=keyvalue interval=1\n"
                   "path %s/feed/lines.log\n" % self.work)
        self.streamers_desc = []
        for i in range(1, 7):
            self.streamers_desc.append(self.write(
                "q%d.desc" % i, "application Q%dSOAK help=\"streamer\"\ngroup DATA K 300\nattribute @Slot C 4\n"
                "attribute Seq C 4\nattribute Load G 4\nattribute Text D 64\n" % i))
        self.release2_desc = self.write(
            "q6v2.desc", "application Q6SOAK help=\"streamer\"\ngroup DATA K 300\nattribute @Slot C 4\n"
            "attribute Seq C 4\nattribute Load G 4\nattribute Text D 64\nattribute Extra C 4\n")
        self.ledger_desc = self.write(
            "ledger.desc", "application LEDGER help=\"soak ledger\"\ngroup SEQ S 60\nattribute Seq C 4\n"
            "attribute Text D 16\n")
        self.action_desc = self.write(
            "act.desc", "application ACTSOAK help=\"soak actions\"\ngroup STATE K 300\nattribute @Id C 4\n"
            "attribute Level G 4\n")

    def start_agent(self):
        self.agent_log = open(os.path.join(self.work, "agent.out"), "wb")
        self.agent = subprocess.Popen([self.bin("vorpane-agent")], stdout=self.agent_log,
                                      stderr=subprocess.STDOUT, env=self.env)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                with urllib.request.urlopen(self.api.base + "/v1/health", timeout=2) as r:
                    if json.loads(r.read()).get("status") == "ok":
                        return True
            except Exception:
                pass
            if self.agent.poll() is not None:
                break
            time.sleep(0.2)
        return False

    def start_providers(self):
        self.streamers = []
        for i, desc in enumerate(self.streamers_desc, start=1):
            p = Provider(self, "q%d" % i, desc, "src%d" % i,
                         lambda n, i=i: "DATA Slot=%d Seq=%d Load=%d Text=row%d" % (n % 500, n, n % 97, n),
                         rate=200)
            p.start()
            self.streamers.append(p)
        self.ledger = Provider(self, "ledger", self.ledger_desc, "ledger",
                               lambda n: "SEQ Seq=%d Text=l%d" % (n, n), rate=50, quiet=False)
        self.ledger.start()
        handler = "echo done"
        self.actor = Provider(self, "actor", self.action_desc, "actor",
                              lambda n: "STATE Id=%d Level=%d" % (n % 10, 0 if (n // 200) % 2 else 100),
                              rate=20, extra=["--handler", handler])
        self.actor.start()

    def define_situations(self):
        made = 0
        for i in range(40):
            appl = "Q%dSOAK" % (i % 5 + 1)
            body = {"name": "Soak_%02d" % i, "application": appl, "table": "DATA",
                    "where": "Load > %d" % (i % 90), "interval": 15 + 15 * (i % 4), "action": "",
                    "atomic": "", "subnodes": []}
            status, payload = self.api.call("situation add", "/v1/situations", body, timeout=30)
            made += status == 201
            if status != 201:
                self.notes.append("situation Soak_%02d: %s %s" % (i, status, payload[:200]))
        for i in range(10):
            body = {"name": "Soak_Act_%02d" % i, "application": "ACTSOAK", "table": "STATE",
                    "where": "Level > %d" % (10 + i), "interval": 15, "action": "Soak_Action %d" % i,
                    "atomic": "", "subnodes": []}
            status, payload = self.api.call("situation add", "/v1/situations", body, timeout=30)
            made += status == 201
            if status != 201:
                self.notes.append("situation Soak_Act_%02d: %s %s" % (i, status, payload[:200]))
        return made

    # ---- load
    def sock_feeder(self):
        n = 0
        while not self.stop.is_set():
            try:
                with socket.create_connection(("127.0.0.1", self.sock_port), timeout=10) as s:
                    while not self.stop.is_set():
                        lines = "".join("LINES sock%d Slot=%d Seq=%d Text=s%d\n" % (n % 4, (n + k) % 300, n + k, n + k)
                                        for k in range(20))
                        s.sendall(lines.encode())
                        n += 20
                        self.stop.wait(0.1)
            except OSError:
                self.stop.wait(1)

    def file_feeder(self):
        path = os.path.join(self.work, "feed", "lines.log")
        n = 0
        while not self.stop.is_set():
            with open(path, "a") as f:
                f.write("".join("Slot=%d Seq=%d Text=f%d\n" % ((n + k) % 300, n + k, n + k) for k in range(20)))
            n += 20
            self.stop.wait(0.1)

    def metrics_scraper(self):
        while not self.stop.wait(5):
            self.api.call("metrics", "/metrics")

    def reader(self, which):
        n = 0
        while not self.stop.wait(1 + which * 0.5):
            n += 1
            appl = "Q%dSOAK" % (n % 6 + 1)
            # A streamer that is killed (or changes its release) takes its application with it until
            # it registers again: a 404 for its table in that moment is no failure.
            self.api.call("rows, restarted provider", "/v1/tables/%s/DATA/rows" % appl)
            self.api.call("health", "/v1/health")
            if n % 5 == 0:
                self.api.call("situations", "/v1/situations")
            if n % 7 == 0:
                self.api.call("rows", "/v1/tables/SKSOCK/LINES/rows")
                self.api.call("rows", "/v1/tables/SKFILE/LINES/rows")

    def read_ledger(self):
        status, payload = self.api.call("ledger rows", "/v1/tables/LEDGER/SEQ/rows")
        if status != 200:
            return
        try:
            rows = json.loads(payload)["rows"]
        except (ValueError, KeyError):
            return
        with self.ledger_lock:
            for r in rows:
                if isinstance(r.get("Seq"), int):
                    self.ledger_seen.add(r["Seq"])

    def ledger_reader(self):
        while not self.stop.wait(10):
            self.read_ledger()

    def sampler(self, began):
        while True:
            self.sample(began)
            if self.stop.wait(5):
                return

    def sample(self, began):
        pid = self.agent.pid
        try:
            status = open("/proc/%d/status" % pid).read()
            rss = int(re.search(r"VmRSS:\s+(\d+)", status).group(1))
            threads = int(re.search(r"Threads:\s+(\d+)", status).group(1))
            fds = len(os.listdir("/proc/%d/fd" % pid))
        except (OSError, AttributeError):
            return
        self.samples.append((time.monotonic() - began, rss, fds, threads))
        try:
            names = collections.Counter(open("/proc/%d/task/%s/comm" % (pid, t)).read().strip()
                                        for t in os.listdir("/proc/%d/task" % pid))
        except OSError:
            return
        self.thread_names.append(names)

    def events_reader(self):
        after = 0
        while not self.stop.is_set():
            status, payload = self.api.call("events", "/v1/events?after=%d&wait=5" % after, timeout=30)
            if status == 200:
                try:
                    after = json.loads(payload).get("lastSeq", after)
                except ValueError:
                    pass
                self.last_event = after
            else:
                self.stop.wait(1)

    # ---- the run
    def run(self):
        self.describe()
        if not self.start_agent():
            self.failed.append("the agent did not become healthy (see %s/agent.out)" % self.work)
            return self.finish()
        self.start_providers()
        threads = [threading.Thread(target=t, daemon=True) for t in
                   (self.sock_feeder, self.file_feeder, self.metrics_scraper, self.ledger_reader,
                    self.events_reader, lambda: self.reader(0), lambda: self.reader(1))]
        for t in threads:
            t.start()
        # The applications register with their first rows; situations need their tables.
        time.sleep(5)
        made = self.define_situations()
        self.notes.append("situations defined: %d of 50" % made)
        began = time.monotonic()
        sampler = threading.Thread(target=self.sampler, args=(began,), daemon=True)
        sampler.start()
        next_kill = began + 30
        release_at = began + self.seconds / 2
        released = False
        victim = 0
        while time.monotonic() < began + self.seconds:
            now = time.monotonic()
            if now >= next_kill:
                p = self.streamers[victim % 5]  # the sixth changes its release instead
                p.kill()
                p.start()
                self.kills += 1
                victim += 1
                next_kill += 30
            if not released and now >= release_at:
                p = self.streamers[5]
                p.kill()
                p.desc = self.release2_desc
                p.line = lambda n: "DATA Slot=%d Seq=%d Load=%d Text=r%d Extra=%d" % (n % 500, n, n % 97, n, n)
                p.start()
                released = True
            time.sleep(0.2)
        # The end: the ledger's input closes, vorpane-dp tells what the hub took, a last read.
        self.ledger.close_input()
        self.ledger.summary.wait(60)
        m = re.search(rb"stdin: (\d+) of (\d+) lines refused", self.ledger.output)
        self.ledger_sent = int(m.group(2)) - int(m.group(1)) if m else -1
        self.ledger_refused = int(m.group(1)) if m else -1
        if m and int(m.group(2)) != self.ledger.sent:
            self.notes.append("the ledger wrote %d lines, vorpane-dp read %s" % (self.ledger.sent, m.group(2)))
        # Rows the hub took are in the store within moments; every one lives 60 s.
        self.stop.wait(3)
        self.read_ledger()
        self.stop.set()
        self.sample(began)
        for t in threads:
            t.join(timeout=40)
        for p in self.streamers + [self.ledger, self.actor]:
            p.stop()
        return self.finish()

    def finish(self):
        if hasattr(self, "agent") and self.agent.poll() is None:
            self.agent.send_signal(signal.SIGTERM)
            try:
                self.agent.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.agent.kill()
                self.failed.append("the agent did not stop within 60 s of SIGTERM")
                self.agent.wait()
        report = self.report()
        if not self.keep and not self.failed:
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            print("work directory kept: %s" % self.work)
        return report

    def report(self):
        short = self.seconds < 300
        growth_limit = 0.25 if short else 0.05
        latency_limit = 3.0 if short else 1.0
        ref_at = min(60, self.seconds / 2)
        print("soak of %d s (%s)" % (self.seconds, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
        if self.samples:
            first = self.samples[0]
            ref = next((s for s in self.samples if s[0] >= ref_at), self.samples[-1])
            last = self.samples[-1]
            print("| | start | after %d s | end (%d s) |" % (ref_at, last[0]))
            print("|---|---|---|---|")
            print("| VmRSS | %d kB | %d kB | %d kB (%+.1f %%) |" % (first[1], ref[1], last[1],
                                                                 100.0 * (last[1] - ref[1]) / ref[1]))
            print("| descriptors | %d | %d | %d |" % (first[2], ref[2], last[2]))
            print("| threads | %d | %d | %d |" % (first[3], ref[3], last[3]))
            peak = max(s[1] for s in self.samples)
            print("peak VmRSS %d kB over %d samples" % (peak, len(self.samples)))
            minutes = [next(s for s in self.samples if s[0] >= m * 60)[1] for m in range(int(last[0] // 60) + 1)]
            print("VmRSS each minute (kB): %s" % " ".join(str(r) for r in minutes))
            print("events the API handed out (the framework keeps the last 10,000): %d" % self.last_event)
            if last[1] > ref[1] * (1 + growth_limit):
                self.failed.append("VmRSS grew %.1f %% after %d s (limit %.0f %%)" %
                                   (100.0 * (last[1] - ref[1]) / ref[1], ref_at, 100 * growth_limit))
            # Killed providers' connections and API clients come and go: a little slack.
            window = [s for s in self.samples if s[0] <= ref_at] or [ref]
            if last[2] > max(s[2] for s in window) + 8:
                self.failed.append("descriptors grew from %d to %d" % (max(s[2] for s in window), last[2]))
            if last[3] > max(s[3] for s in window) + 4:
                self.failed.append("threads grew from %d to %d" % (max(s[3] for s in window), last[3]))
            if self.thread_names:
                at = self.thread_names[min(len(window), len(self.thread_names)) - 1]
                end = self.thread_names[-1]
                changed = {k: (at.get(k, 0), end.get(k, 0)) for k in set(at) | set(end) if at.get(k, 0) != end.get(k, 0)}
                if changed:
                    print("threads by name, after %d s -> end: %s" % (ref_at, changed))
        else:
            self.failed.append("no samples of the agent process")
        sent = getattr(self, "ledger_sent", -1)
        with self.ledger_lock:
            seen = set(self.ledger_seen)
        expected = set(range(sent)) if sent > 0 else set()
        lost = expected - seen
        print("ledger: %d rows sent (%d refused), %d seen through the API, %d lost, %d unexpected" %
              (sent, getattr(self, "ledger_refused", -1), len(seen), len(lost), len(seen - expected)))
        if sent <= 0 or lost or seen - expected:
            self.failed.append("ledger rows: %d sent, %d lost (first %s), %d unexpected" %
                               (sent, len(lost), sorted(lost)[:5], len(seen - expected)))
        print("streamer rows sent: %s; providers killed and restarted: %d; one release change" %
              (", ".join("%s %d" % (p.name, p.sent) for p in self.streamers), self.kills))
        print("| API call | answers | max | p99 |")
        print("|---|---|---|---|")
        worst = 0.0
        with self.api.lock:
            for kind, values in sorted(self.api.latencies.items()):
                values = sorted(values)
                worst = max(worst, values[-1])
                print("| %s | %d | %.3f s | %.3f s |" % (kind, len(values), values[-1],
                                                        values[min(len(values) - 1, len(values) * 99 // 100)]))
            failures = dict(self.api.failures)
        # Waiting reads of events wait on purpose; their time is not an answer time.
        slowest = max((max(v) for k, v in self.api.latencies.items() if k != "events"), default=0)
        if slowest > latency_limit:
            self.failed.append("an API answer took %.2f s (limit %.1f s)" % (slowest, latency_limit))
        if failures:
            print("API answers other than 2xx: %s" % failures)
            if any(k != "rows, restarted provider 404" for k in failures):
                self.failed.append("API answers other than 2xx: %s" % failures)
        kinds = self.error_kinds()
        print("error lines in the trace by kind (%d kinds):" % len(kinds))
        for kind, n in kinds.most_common():
            print("  %6d  %s" % (n, kind))
            if FATAL.search(kind):
                self.failed.append("error line: %s" % kind)
        for note in self.notes:
            print("note: %s" % note)
        if self.failed:
            print("SOAK FAILED:")
            for f in self.failed:
                print("  - %s" % f)
            return 1
        print("soak passed")
        return 0

    def error_kinds(self):
        kinds = collections.Counter()
        for name in ("vorpane-agent.log", "agent.out"):
            path = os.path.join(self.work, name)
            if not os.path.exists(path):
                continue
            with open(path, errors="replace") as f:
                for line in f:
                    if "Error" not in line and "Warning" not in line and "Sanitizer" not in line:
                        continue
                    text = re.sub(r"^\S+ \S+ \[\d+\] ", "", line.strip())
                    text = re.sub(r"<[^>]*>", "<>", text)
                    text = re.sub(r"\d+", "N", text)
                    kinds["%s: %s" % (name, text[:160])] += 1
        return kinds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("seconds", nargs="?", type=int, default=600)
    parser.add_argument("--build", default=os.environ.get("VORPANE_BUILD", ""),
                        help="a build directory holding src/agent/vorpane-agent and tools/vorpane-dp/vorpane-dp")
    parser.add_argument("--agent", help="the vorpane-agent program (default: from --build)")
    parser.add_argument("--dp", help="the vorpane-dp program (default: from --build)")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    a = parser.parse_args()
    programs = {
        "vorpane-agent": a.agent or os.path.join(a.build, "src", "agent", "vorpane-agent"),
        "vorpane-dp": a.dp or os.path.join(a.build, "tools", "vorpane-dp", "vorpane-dp"),
    }
    for name, path in programs.items():
        if not os.access(path, os.X_OK):
            print("soak: no %s at %s (give --build DIR, or --agent and --dp)" % (name, path), file=sys.stderr)
            return 2
    return Soak(max(30, a.seconds), programs, a.keep).run()


if __name__ == "__main__":
    sys.exit(main())
