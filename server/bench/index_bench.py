#!/usr/bin/python3
"""Two builds of the service side by side on one catalogue, in one run: how long each takes from
start to its first answer, the memory it holds then and at its peak, and the latency of every key
class of the mix (key_mix.py) sent to both in turn, checking they answer the same rows.

The second build ("after") is started twice: without a snapshot beside the catalogue (it builds its
index and keeps it there) and then with that snapshot. Started by scripts/bench-index; every
service listens on 127.0.0.1 only and is stopped at the end. Not part of the test run.
"""
import argparse
import http.client
import json
import os
import sqlite3
import statistics
import subprocess
import sys
import time
import urllib.parse

from key_mix import KEYS, LIMIT, label, queries


def step(text):
    print(f"{time.strftime('%H:%M:%S')} {text}", file=sys.stderr, flush=True)


def search_path(q):
    return "/api/v1/?" + urllib.parse.urlencode(
        {"key": q["key"], "limit": LIMIT, "sort": "size", "desc": "t" if q["desc"] else "f", "start": 0, "in": q["type"]})


class Client:
    def __init__(self, port):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)

    def rows(self, q):
        self.conn.request("GET", search_path(q))
        answer = self.conn.getresponse()
        body = answer.read()
        if answer.status != 200:
            raise RuntimeError(f"{label(q)}: status {answer.status}")
        return [row["idAuk"] for row in json.loads(body)["list"]]


def status_kib(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmHWM", "RssAnon", "RssFile"):
                fields[name] = int(value.split()[0])
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                fields["Pss"] = int(line.split()[1])
    return fields


class Started:
    """A service started on the catalogue, timed from the start to its first search answer."""

    def __init__(self, name, server, catalogue, port, log_path):
        self.name = name
        self.log_path = log_path
        began = time.perf_counter()
        with open(log_path, "w") as log:
            self.process = subprocess.Popen([server, "--db", catalogue, "--listen", f"127.0.0.1:{port}"],
                                            stdout=subprocess.DEVNULL, stderr=log)
        first = {"key": "电影", "type": "", "desc": False, "class": ""}
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"{name} ended: " + open(log_path).read())
            try:
                Client(port).rows(first)
                break
            except (OSError, http.client.HTTPException):
                time.sleep(0.05)
        self.start_seconds = time.perf_counter() - began
        self.memory = status_kib(self.process.pid)
        self.port = port

    def log_lines(self):
        return [line.strip() for line in open(self.log_path) if "index" in line]

    def stop(self):
        self.process.terminate()
        self.process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--before", required=True, help="the cumulo-server to compare against")
    parser.add_argument("--after", required=True, help="the cumulo-server measured")
    parser.add_argument("--db", required=True, help="the catalogue (made beforehand, e.g. with --sample N)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--port-base", type=int, default=21840)
    args = parser.parse_args()
    catalogue = os.path.abspath(args.db)
    snapshot = catalogue + ".index"
    with sqlite3.connect(f"file:{catalogue}?mode=ro", uri=True) as db:
        shares = db.execute("SELECT count(*) FROM shares").fetchone()[0]
    logs = os.path.dirname(catalogue)

    if os.path.exists(snapshot):
        os.remove(snapshot)
    step("after: start without a snapshot (builds the index and keeps it)")
    built = Started("after, index built", args.after, catalogue, args.port_base + 1, os.path.join(logs, "after-built.log"))
    built.stop()
    snapshot_bytes = os.path.getsize(snapshot)
    step("after: start with the snapshot")
    after = Started("after, snapshot loaded", args.after, catalogue, args.port_base + 1,
                    os.path.join(logs, "after-loaded.log"))
    step("before: start (builds the index)")
    before = Started("before", args.before, catalogue, args.port_base, os.path.join(logs, "before.log"))
    running = [before, after]
    try:
        step(f"the key mix, {args.rounds} rounds, to both in turn")
        clients = {s.name: Client(s.port) for s in running}
        mix = queries()
        times = {s.name: {label(q): [] for q in mix} for s in running}
        differing = [label(q) for q in mix if len({tuple(clients[s.name].rows(q)) for s in running}) != 1]
        for r in range(args.rounds):
            for i, q in enumerate(mix):
                for k in range(len(running)):
                    s = running[(i + r + k) % len(running)]
                    began = time.perf_counter()
                    clients[s.name].rows(q)
                    times[s.name][label(q)].append((time.perf_counter() - began) * 1000)
        after_mix = {s.name: status_kib(s.process.pid) for s in running}
    finally:
        for s in running:
            s.stop()

    mib = lambda kib: f"{kib / 1024:,.0f}"
    per_share = lambda kib: f"{kib * 1024 / shares:.0f}"
    print(f"\n### {shares:,} shares ({time.strftime('%Y-%m-%d %H:%M')}, load average at the end "
          f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)\n")
    print("| start | to first answer (s) | Pss MiB (bytes/share) | anon / file MiB | peak VmHWM MiB "
          "| peak / Pss | Pss after the mix MiB (bytes/share) |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for s in (before, built, after):
        m = s.memory
        mixed = after_mix.get(s.name)
        print(f"| {s.name} | {s.start_seconds:.1f} | {mib(m['Pss'])} ({per_share(m['Pss'])}) | "
              f"{mib(m['RssAnon'])} / {mib(m['RssFile'])} | {mib(m['VmHWM'])} | {m['VmHWM'] / m['Pss']:.2f} | "
              + (f"{mib(mixed['Pss'])} ({per_share(mixed['Pss'])})" if mixed else "stopped") + " |")
    print(f"\nSnapshot file: {snapshot_bytes / 2**20:,.0f} MiB ({snapshot_bytes / shares:.0f} bytes/share).")
    for s in (built, after):
        print(f"{s.name}: " + " / ".join(s.log_lines()))
    print(f"\nLatency over HTTP by key class, one client, {args.rounds} rounds, the two in turn "
          "(with and without a type, both orders):\n")
    print("| key class | before p50 ms | after p50 ms | before p90 ms | after p90 ms |")
    print("|---|---:|---:|---:|---:|")
    for key_class in KEYS:
        cells = {}
        for s in running:
            values = [t for q in mix if q["class"] == key_class for t in times[s.name][label(q)]]
            ordered = sorted(values)
            cells[s.name] = (statistics.median(values), ordered[min(len(ordered) - 1, int(len(ordered) * 0.9))])
        print(f"| {key_class} | {cells[before.name][0]:.2f} | {cells[after.name][0]:.2f} | "
              f"{cells[before.name][1]:.2f} | {cells[after.name][1]:.2f} |")
    print(f"\nSame rows from both for {len(mix) - len(differing)} of {len(mix)} queries"
          + (": differing " + "; ".join(differing) if differing else "."))
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
