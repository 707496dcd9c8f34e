#!/usr/bin/python3
"""Searches through HAProxy with one node and with two, one node behind HAProxy against the same
node asked directly (the hop's cost), and the time from a write's answer until every node finds
it, all on one cluster of scripts/cluster in one run, side by side.

Each way of asking gets the same key mix from two client processes for a few seconds, the ways
interleaved and each run twice; beside q/s, the CPU time the cluster's processes (nodes and
HAProxy) spent per search, which the other work on the machine does not swell. Started by
scripts/bench-cluster; not part of the test run. Keeps the cluster's data under
build/cluster-bench-<N>/ for the next run and stops the cluster at the end.
"""
import argparse
import http.client
import json
import multiprocessing
import os
import statistics
import sys
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "deploy"))
import cluster as cl  # noqa: E402
from key_mix import LIMIT, queries  # noqa: E402


def query_path(q):
    fields = {"key": q["key"], "limit": LIMIT, "sort": "size", "desc": "t" if q["desc"] else "f", "in": q["type"]}
    return "/api/v1/?" + urllib.parse.urlencode(fields)


def client_loop(address, offset, seconds, out):
    """Searches the mix on one keep-alive connection for `seconds`; puts (answered, failed, ms)."""
    connection = http.client.HTTPConnection(*address, timeout=30)
    paths = [query_path(q) for q in queries()]
    answered, failed, times = 0, 0, []
    i = offset
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        began = time.perf_counter()
        try:
            connection.request("GET", paths[i % len(paths)])
            answer = connection.getresponse()
            answer.read()
            ok = answer.status == 200
        except (OSError, http.client.HTTPException):
            connection.close()
            ok = False
        times.append((time.perf_counter() - began) * 1000)
        answered += ok
        failed += not ok
        i += 1
    out.put((answered, failed, times))


def cpu_seconds(pids):
    total = 0.0
    for pid in pids:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total += sum(int(v) for v in fields[11:13]) / os.sysconf("SC_CLK_TCK")
    return total


def measure(address, seconds, pids, clients=2):
    out = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=client_loop, args=(address, w * 17, seconds, out))
               for w in range(clients)]
    cpu_before = cpu_seconds(pids)
    began = time.perf_counter()
    for w in workers:
        w.start()
    results = [out.get() for _ in workers]
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - began
    answered = sum(r[0] for r in results)
    return {"rate": answered / elapsed, "failed": sum(r[1] for r in results),
            "cpu_ms": 1000 * (cpu_seconds(pids) - cpu_before) / max(1, answered),
            "times": [t for r in results for t in r[2]]}


def visibility(cluster, token, writes, first_id, load_address=None):
    """ms from each write's answer through HAProxy until every node finds its share; with
    `load_address`, while two clients search there."""
    stop = threading.Event()

    def searching():
        connection = http.client.HTTPConnection(*load_address, timeout=30)
        paths = [query_path(q) for q in queries()]
        i = 0
        while not stop.is_set():
            connection.request("GET", paths[i % len(paths)])
            connection.getresponse().read()
            i += 1

    loaders = [threading.Thread(target=searching) for _ in range(2 if load_address else 0)]
    for t in loaders:
        t.start()
    writer = http.client.HTTPConnection(*cluster.haproxy_address, timeout=60)
    finders = [http.client.HTTPConnection("127.0.0.1", n["port"], timeout=30) for n in cluster.nodes]
    lags = []
    try:
        for number in range(writes):
            name = f"bench visible {time.time_ns()} {number} qz"
            share = {"name": name, "type": "file", "size": number, "shareid": first_id + number, "uk": 77}
            writer.request("POST", "/api/v1/shares", json.dumps(share) + "\n", {"Authorization": f"Bearer {token}"})
            answer = writer.getresponse()
            body = answer.read()
            if answer.status != 200:
                raise RuntimeError(f"a write answered {answer.status} {body[:200]!r}")
            answered = time.perf_counter()
            wanted = f"{share['shareid']}|77".encode()
            path = "/api/v1/?" + urllib.parse.urlencode({"key": name})
            for finder in finders:
                while True:
                    finder.request("GET", path)
                    if wanted in finder.getresponse().read():
                        break
                    if time.perf_counter() - answered > 30:
                        raise RuntimeError(f"{name} not on every node 30 s after its write")
            lags.append((time.perf_counter() - answered) * 1000)
    finally:
        stop.set()
        for t in loaders:
            t.join()
    return lags


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def pss_mib(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Pss:"):
                return int(line.split()[1]) / 1024
    return 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--server", required=True, help="the cumulo-server executable")
    parser.add_argument("--work", required=True, help="where the cluster's directory is kept")
    parser.add_argument("--shares", type=int, default=1_000_000)
    parser.add_argument("--seconds", type=float, default=8, help="seconds per way of asking and pass")
    parser.add_argument("--writes", type=int, default=50, help="writes timed until visible on every node")
    args = parser.parse_args()
    directory = os.path.join(args.work, f"cluster-bench-{args.shares}")
    loaded_mark = os.path.join(directory, "bench-loaded")
    loaded = os.path.exists(loaded_mark)
    began = time.time()
    cluster = cl.start(directory, args.server, None if loaded else args.shares, max_lag=5)
    start_seconds = time.time() - began
    open(loaded_mark, "w").close()
    try:
        with open(cluster.token_file) as f:
            token = f.read().strip()
        node1, node2 = cluster.nodes
        pids = {part: cl.read_pid(cluster.pid_file(part)) for part in ("haproxy", "node1", "node2")}
        direct = ("127.0.0.1", node1["port"])
        ways = {"node1 asked directly": (direct, [pids["node1"]], "disable"),
                "HAProxy, node1 only": (cluster.haproxy_address, [pids["node1"], pids["haproxy"]], "disable"),
                "HAProxy, node1 and node2": (cluster.haproxy_address, list(pids.values()), "enable")}
        figures = {name: [] for name in ways}
        for _ in range(2):
            for name, (address, counted, node2_state) in ways.items():
                cl.haproxy_ask(cluster, f"{node2_state} server searches/node2")
                time.sleep(1)
                figures[name].append(measure(address, args.seconds, counted))
        cl.haproxy_ask(cluster, "enable server searches/node2")
        # Share ids of this run's own, above the sample's.
        first_id = 8_000_000_000 + int(time.time()) % 1_000_000 * 1000
        quiet = visibility(cluster, token, args.writes, first_id)
        loaded_lags = visibility(cluster, token, args.writes, first_id + args.writes, cluster.haproxy_address)
        memory = {part: pss_mib(pid) for part, pid in pids.items()}
    finally:
        cl.stop(directory, quiet=True)

    print(f"\n### cluster of scripts/cluster, {args.shares:,} shares ({time.strftime('%Y-%m-%d %H:%M')}, "
          f"{os.cpu_count()} cores, load average at the end {os.getloadavg()[0]:.1f}; cluster start "
          f"{start_seconds:.0f} s{'' if not loaded else ', catalogue kept from before'})\n")
    print("| searches asked | q/s, 2 clients | failed | cluster CPU ms/search | p50 ms | p99 ms |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, runs in figures.items():
        times = [t for r in runs for t in r["times"]]
        print(f"| {name} | {statistics.mean(r['rate'] for r in runs):.0f} | {sum(r['failed'] for r in runs)} | "
              f"{statistics.mean(r['cpu_ms'] for r in runs):.3f} | {statistics.median(times):.2f} | "
              f"{percentile(times, 0.99):.1f} |")
    print("\n| write through HAProxy until every node finds it | p50 ms | p99 ms | max ms |")
    print("|---|---:|---:|---:|")
    for name, lags in (("quiet", quiet), ("while two clients search through HAProxy", loaded_lags)):
        print(f"| {name} ({len(lags)} writes) | {percentile(lags, 0.5):.0f} | {percentile(lags, 0.99):.0f} | "
              f"{max(lags):.0f} |")
    print("\nmemory (PSS MiB): " + ", ".join(f"{part} {mib:.0f}" for part, mib in memory.items()))


if __name__ == "__main__":
    main()
