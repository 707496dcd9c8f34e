#!/usr/bin/python3
"""The share-search service side by side with Groonga and PostgreSQL + pg_trgm.

Loads one sample catalogue into all three (each on loopback, in a work directory of its own),
then sends the same key mix to each, interleaved: one client (every query in turn to each
system, several rounds) and two clients (each system in turn for a few seconds, twice).
Prints load times, memory, q/s, p50/p99, p90 per key class and the worst keys as Markdown, and
checks that the three answer the same rows. Started by scripts/bench-server-engines, which
installs the packages; not part of the test run.
"""
import argparse
import csv
import http.client
import json
import multiprocessing
import os
import shutil
import signal
import sqlite3
import statistics
import subprocess
import sys
import time
import urllib.parse

import psycopg2

from key_mix import KEYS, LIMIT, label, queries
# ingest_bench uses them too.
from scratch_postgres import init_postgres, postgres_pids, run_postgres, stop_postgres  # noqa: F401

# Loopback ports of the service, Groonga and PostgreSQL: --port-base and the two after it.
SERVICE_PORT, GROONGA_PORT, POSTGRES_PORT = 18930, 18931, 18932

def pss_kib(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def wait_for_port(port, seconds=600):
    end = time.time() + seconds
    while time.time() < end:
        try:
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
            c.request("GET", "/")
            c.getresponse().read()
            return
        except OSError:
            time.sleep(0.2)
    raise RuntimeError(f"nothing answers on port {port}")


def step(text):
    print(f"{time.strftime('%H:%M:%S')} {text}", file=sys.stderr, flush=True)


def du_mib(path):
    total = 0
    for root, _, files in os.walk(path):
        for name in files:
            try:
                total += os.path.getsize(os.path.join(root, name))
            except OSError:
                pass
    return total / 2**20


# ---------------------------------------------------------------- clients, one per system

class HttpClient:
    """One kept-alive connection, opened again when the server has closed it while idle."""

    def __init__(self, port):
        self.port = port
        self.conn = http.client.HTTPConnection("127.0.0.1", port)

    def get(self, path):
        try:
            self.conn.request("GET", path)
            return self.conn.getresponse().read()
        except (http.client.RemoteDisconnected, BrokenPipeError, ConnectionResetError):
            self.conn.close()
            self.conn = http.client.HTTPConnection("127.0.0.1", self.port)
            self.conn.request("GET", path)
            return self.conn.getresponse().read()


class Service:
    name = "the service"

    def __init__(self):
        self.http = HttpClient(SERVICE_PORT)

    def run(self, q):
        path = "/api/v1/?" + urllib.parse.urlencode(
            {"key": q["key"], "limit": LIMIT, "sort": "size", "desc": "t" if q["desc"] else "f", "start": 0,
             "in": q["type"]})
        return [row["idAuk"] for row in json.loads(self.http.get(path))["list"]]


def groonga_literal(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Groonga:
    name = "Groonga"

    def __init__(self):
        self.http = HttpClient(GROONGA_PORT)

    def run(self, q):
        condition = "name @ " + groonga_literal(q["key"])
        if q["type"]:
            condition += " && type == " + groonga_literal(q["type"])
        order = "-size,-_id" if q["desc"] else "size,_id"
        path = "/d/select?" + urllib.parse.urlencode(
            {"table": "Shares", "filter": condition, "sort_keys": order, "offset": 0, "limit": LIMIT,
             "output_columns": "idauk", "cache": "no"})
        answer = json.loads(self.http.get(path))
        return [row[0] for row in answer[1][0][2:]]


class Postgres:
    name = "PostgreSQL + pg_trgm"

    def __init__(self):
        self.conn = psycopg2.connect(host="127.0.0.1", port=POSTGRES_PORT, user="postgres", dbname="shares")
        self.conn.autocommit = True
        self.cur = self.conn.cursor()

    def run(self, q):
        pattern = "%" + q["key"].replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
        order = "size DESC, id DESC" if q["desc"] else "size, id"
        if q["type"]:
            self.cur.execute(f"SELECT idauk FROM shares WHERE name ILIKE %s AND type = %s ORDER BY {order} "
                             f"LIMIT {LIMIT}", (pattern, q["type"]))
        else:
            self.cur.execute(f"SELECT idauk FROM shares WHERE name ILIKE %s ORDER BY {order} LIMIT {LIMIT}",
                             (pattern,))
        return [row[0] for row in self.cur.fetchall()]


SYSTEMS = [Service, Groonga, Postgres]


# ---------------------------------------------------------------- loading

def export_catalogue(catalogue, work):
    """The catalogue's shares in id order as CSV (PostgreSQL) and a Groonga load command."""
    csv_path, groonga_path = os.path.join(work, "shares.csv"), os.path.join(work, "shares.grn")
    if os.path.exists(csv_path) and os.path.exists(groonga_path):
        return csv_path, groonga_path
    db = sqlite3.connect(f"file:{catalogue}?mode=ro", uri=True)
    with open(csv_path + ".part", "w", newline="") as c, open(groonga_path + ".part", "w") as g:
        writer = csv.writer(c)
        g.write("load --table Shares --columns name,type,size,idauk\n[\n")
        first = True
        for id_, name, type_, size, shareid, code, uk in db.execute(
                "SELECT id, name, type, size, shareid, code, uk FROM shares ORDER BY id"):
            idauk = f"{shareid if shareid is not None else code}|{uk}"
            writer.writerow([id_, name, type_, size, idauk])
            g.write(("" if first else ",\n") + json.dumps([name, type_, size, idauk], ensure_ascii=False))
            first = False
        g.write("\n]\n")
    os.rename(csv_path + ".part", csv_path)
    os.rename(groonga_path + ".part", groonga_path)
    return csv_path, groonga_path


def start_service(server, catalogue):
    began = time.time()
    process = subprocess.Popen([server, "--db", catalogue, "--listen", f"127.0.0.1:{SERVICE_PORT}"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(SERVICE_PORT)
    return process, {"start (index built)": time.time() - began}


def start_groonga(work, groonga_load):
    home = os.path.join(work, "groonga")
    db = os.path.join(home, "shares.db")
    times = {}
    if not os.path.exists(os.path.join(home, "loaded")):
        shutil.rmtree(home, ignore_errors=True)
        os.makedirs(home)
        schema = ("table_create Shares TABLE_NO_KEY\n"
                  "column_create Shares name COLUMN_SCALAR ShortText\n"
                  "column_create Shares type COLUMN_SCALAR ShortText\n"
                  "column_create Shares size COLUMN_SCALAR UInt64\n"
                  "column_create Shares idauk COLUMN_SCALAR ShortText\n")
        subprocess.run(["groonga", "-n", db], input=schema.encode(), check=True, stdout=subprocess.DEVNULL)
        began = time.time()
        with open(groonga_load, "rb") as load:
            subprocess.run(["groonga", db], stdin=load, check=True, stdout=subprocess.DEVNULL)
        times["load"] = time.time() - began
        began = time.time()
        index = ("table_create Terms TABLE_PAT_KEY ShortText --default_tokenizer TokenBigramSplitSymbolAlphaDigit "
                 "--normalizer NormalizerAuto\n"
                 "column_create Terms shares_name COLUMN_INDEX|WITH_POSITION Shares name\n")
        subprocess.run(["groonga", db], input=index.encode(), check=True, stdout=subprocess.DEVNULL)
        times["index"] = time.time() - began
        open(os.path.join(home, "loaded"), "w").close()
    process = subprocess.Popen(["groonga", "-s", "--protocol", "http", "--bind-address", "127.0.0.1", "--port",
                                str(GROONGA_PORT), db], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(GROONGA_PORT)
    return process, times, home


def start_postgres(work, csv_path):
    data = os.path.join(work, "postgres")
    times = {}
    fresh = not os.path.exists(os.path.join(data, "PG_VERSION"))
    if fresh:
        init_postgres(data)
    # Settings a careful operator would pick for a read-mostly catalogue on this machine.
    options = (f"-c listen_addresses=127.0.0.1 -c port={POSTGRES_PORT} -c unix_socket_directories={data} "
               "-c shared_buffers=2GB -c effective_cache_size=8GB -c work_mem=64MB "
               "-c maintenance_work_mem=2GB -c jit=off -c max_parallel_workers_per_gather=0")
    run_postgres(data, options)
    if fresh or not os.path.exists(os.path.join(data, "loaded")):
        admin = psycopg2.connect(host="127.0.0.1", port=POSTGRES_PORT, user="postgres", dbname="postgres")
        admin.autocommit = True
        admin.cursor().execute("DROP DATABASE IF EXISTS shares")
        admin.cursor().execute("CREATE DATABASE shares")
        admin.close()
        conn = psycopg2.connect(host="127.0.0.1", port=POSTGRES_PORT, user="postgres", dbname="shares")
        conn.autocommit = True
        cur = conn.cursor()
        cur.execute("CREATE EXTENSION pg_trgm")
        cur.execute("CREATE TABLE shares (id bigint PRIMARY KEY, name text NOT NULL, type text NOT NULL, "
                    "size bigint NOT NULL, idauk text NOT NULL)")
        began = time.time()
        with open(csv_path) as f:
            cur.copy_expert("COPY shares FROM STDIN WITH (FORMAT csv)", f)
        times["load"] = time.time() - began
        began = time.time()
        cur.execute("CREATE INDEX shares_name_trgm ON shares USING gin (name gin_trgm_ops)")
        cur.execute("CREATE INDEX shares_size ON shares (size, id)")
        cur.execute("CREATE INDEX shares_type_size ON shares (type, size, id)")
        cur.execute("VACUUM ANALYZE shares")
        times["index"] = time.time() - began
        conn.close()
        open(os.path.join(data, "loaded"), "w").close()
    return times, data


# ---------------------------------------------------------------- measuring

def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def one_client(rounds):
    """Every query to each system in turn (rotating who goes first), `rounds` times."""
    clients = [system() for system in SYSTEMS]
    mix = queries()
    times = {c.name: {label(q): [] for q in mix} for c in clients}
    answers = {c.name: {} for c in clients}
    for c in clients:  # warm up: every query once
        for q in mix:
            answers[c.name][label(q)] = c.run(q)
    for r in range(rounds):
        for i, q in enumerate(mix):
            for k in range(len(clients)):
                c = clients[(i + r + k) % len(clients)]
                began = time.perf_counter()
                c.run(q)
                times[c.name][label(q)].append((time.perf_counter() - began) * 1000)
    return times, answers


def _client_loop(system_index, offset, seconds, out):
    client = SYSTEMS[system_index]()
    mix = queries()
    done, i = 0, offset
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        client.run(mix[i % len(mix)])
        i += 1
        done += 1
    out.put(done)


def cpu_seconds(pid):
    """CPU time of a process and of its children that have ended (PostgreSQL's backends)."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return sum(int(v) for v in fields[11:15]) / os.sysconf("SC_CLK_TCK")


def two_clients(seconds, server_pids, passes=2):
    """q/s of two clients at once, each system in turn for `seconds`, `passes` times, and the
    servers' CPU time per query (which the load from other work on the machine does not swell)."""
    rates = {system.name: [] for system in SYSTEMS}
    cpu = {system.name: [0.0, 0] for system in SYSTEMS}
    for _ in range(passes):
        for index, system in enumerate(SYSTEMS):
            out = multiprocessing.Queue()
            workers = [multiprocessing.Process(target=_client_loop, args=(index, w * 17, seconds, out))
                       for w in range(2)]
            cpu_before = cpu_seconds(server_pids[system.name])
            began = time.perf_counter()
            for w in workers:
                w.start()
            total = sum(out.get() for _ in workers)
            for w in workers:
                w.join()
            rates[system.name].append(total / (time.perf_counter() - began))
            time.sleep(0.5)  # PostgreSQL's backends end and are counted
            cpu[system.name][0] += cpu_seconds(server_pids[system.name]) - cpu_before
            cpu[system.name][1] += total
    return ({name: statistics.mean(values) for name, values in rates.items()},
            {name: 1000 * used / max(1, count) for name, (used, count) in cpu.items()})


def report(shares, loads, memory, disk, times, answers, rates, cpu):
    mix = queries()
    names = [s.name for s in SYSTEMS]
    print(f"\n### {shares:,} shares ({time.strftime('%Y-%m-%d %H:%M')}, load average at the end "
          f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)\n")
    print("| system | q/s, 1 client | q/s, 2 clients | server CPU ms/query | p50 ms | p99 ms | worst key (median ms) "
          "| memory MiB | disk MiB | load |")
    print("|---|---:|---:|---:|---:|---:|---|---:|---:|---|")
    for name in names:
        every = [t for values in times[name].values() for t in values]
        worst = max(times[name].items(), key=lambda item: statistics.median(item[1]))
        load = ", ".join(f"{step} {seconds:.0f} s" for step, seconds in loads[name].items()) or "kept from before"
        print(f"| {name} | {1000 / statistics.mean(every):.0f} | {rates[name]:.0f} | {cpu[name]:.2f} | "
              f"{statistics.median(every):.2f} | {percentile(every, 0.99):.1f} | {worst[0]} ({statistics.median(worst[1]):.1f}) | "
              f"{memory[name] / 1024:.0f} | {disk[name]:.0f} | {load} |")
    print("\np90 ms by key class (with and without a type, both orders):\n")
    print("| key class | " + " | ".join(names) + " |")
    print("|---|" + "---:|" * len(names))
    for key_class in KEYS:
        cells = []
        for name in names:
            values = [t for q in mix if q["class"] == key_class for t in times[name][label(q)]]
            cells.append(f"{percentile(values, 0.9):.2f}")
        print(f"| {key_class} | " + " | ".join(cells) + " |")
    print("\nSlowest queries of each system (median ms over the rounds; the others' time for the same query):\n")
    print("| query | " + " | ".join(names) + " |")
    print("|---|" + "---:|" * len(names))
    listed = []
    for name in names:
        slowest = sorted(times[name].items(), key=lambda item: -statistics.median(item[1]))[:3]
        listed += [lab for lab, _ in slowest if lab not in listed]
    for lab in listed:
        print(f"| {lab} | " + " | ".join(f"{statistics.median(times[n][lab]):.1f}" for n in names) + " |")
    differing = [label(q) for q in mix if len({tuple(answers[n][label(q)]) for n in names}) != 1]
    matched = sum(len(answers[names[0]][label(q)]) for q in mix)
    print(f"\nSame rows from all three for {len(mix) - len(differing)} of {len(mix)} queries ({matched} rows in all)"
          + (": differing " + "; ".join(differing) if differing else "."))
    for lab in differing[:5]:
        print(f"  {lab}: " + ", ".join(f"{n} {len(answers[n][lab])} rows" for n in names), file=sys.stderr)


def main():
    global SERVICE_PORT, GROONGA_PORT, POSTGRES_PORT
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--server", required=True, help="the cumulo-server executable")
    parser.add_argument("--shares", type=int, default=1_000_000)
    parser.add_argument("--work", required=True, help="directory for the catalogues and the engines' data")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--port-base", type=int, default=SERVICE_PORT)
    args = parser.parse_args()
    SERVICE_PORT, GROONGA_PORT, POSTGRES_PORT = args.port_base, args.port_base + 1, args.port_base + 2
    work = os.path.join(os.path.abspath(args.work), str(args.shares))
    os.makedirs(work, exist_ok=True)
    os.chmod(work, 0o755)

    catalogue = os.path.join(work, "catalogue.sqlite")
    loads = {s.name: {} for s in SYSTEMS}
    if not os.path.exists(catalogue + ".done"):
        step("making the sample catalogue")
        began = time.time()
        sample = subprocess.Popen([args.server, "--db", catalogue, "--sample", str(args.shares), "--listen",
                                   f"127.0.0.1:{SERVICE_PORT}"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(SERVICE_PORT, 3600)
        sample.send_signal(signal.SIGTERM)
        sample.wait()
        loads[Service.name]["sample made, index built"] = time.time() - began
        open(catalogue + ".done", "w").close()
    step("exporting the catalogue for the engines")
    csv_path, groonga_load = export_catalogue(catalogue, work)
    step("starting the service")

    service, times = start_service(args.server, catalogue)
    loads[Service.name].update(times)
    step("starting Groonga")
    groonga, times, groonga_home = start_groonga(work, groonga_load)
    loads[Groonga.name].update(times)
    step("starting PostgreSQL")
    times, postgres_data = start_postgres(work, csv_path)
    loads[Postgres.name].update(times)
    try:
        step("one client")
        latencies, answers = one_client(args.rounds)
        step("two clients")
        rates, cpu = two_clients(args.seconds, {Service.name: service.pid, Groonga.name: groonga.pid,
                                                Postgres.name: postgres_pids(postgres_data)[0]})
        memory = {Service.name: pss_kib([service.pid]), Groonga.name: pss_kib([groonga.pid]),
                  Postgres.name: pss_kib(postgres_pids(postgres_data))}
        disk = {Service.name: os.path.getsize(catalogue) / 2**20, Groonga.name: du_mib(groonga_home),
                Postgres.name: du_mib(os.path.join(postgres_data, "base"))}
        report(args.shares, loads, memory, disk, latencies, answers, rates, cpu)
    finally:
        service.terminate()
        groonga.terminate()
        stop_postgres(postgres_data)
        service.wait()
        groonga.wait()


if __name__ == "__main__":
    main()
