#!/usr/bin/python3
"""Ingest while serving: the share-search service's write API against Groonga's `load` and
PostgreSQL's `COPY`, each into a fresh store that keeps its search indexes up to date.

The same sample shares go into all three: to the service as POST /api/v1/shares in batches of
1,000 over one kept-alive connection (each answered once committed, synced and searchable),
while a second client runs the 80-query mix of engines_bench.py and a third looks for a share
of every tenth batch (one extra share of a name no other has) the moment its write is answered;
then once more with nothing else running. Groonga takes them as one `load`, and again as `load`
requests of 1,000 over its HTTP server (as the service takes them; Groonga does not sync).
Prints shares/s side by side, the mix's p99 during the ingest and quiet afterwards, and the time
from a write's answer to the share being found by another client. Started by
scripts/bench-server-ingest; not part of the test run.
"""
import argparse
import http.client
import json
import multiprocessing
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import time
import urllib.parse

import psycopg2

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import engines_bench as eb  # noqa: E402

BATCH = 1000
# The same table for every Groonga load: its full-text index exists before the shares come.
GROONGA_SCHEMA = ("table_create Shares TABLE_NO_KEY\n"
                  "column_create Shares name COLUMN_SCALAR ShortText\n"
                  "column_create Shares type COLUMN_SCALAR ShortText\n"
                  "column_create Shares size COLUMN_SCALAR UInt64\n"
                  "column_create Shares idauk COLUMN_SCALAR ShortText\n"
                  "table_create Terms TABLE_PAT_KEY ShortText --default_tokenizer TokenBigramSplitSymbolAlphaDigit "
                  "--normalizer NormalizerAuto\n"
                  "column_create Terms shares_name COLUMN_INDEX|WITH_POSITION Shares name\n")


def sample_lines(server, work, shares, port):
    """The sample's shares as JSON Lines, in the catalogue's order (made once, then kept)."""
    path = os.path.join(work, "shares.jsonl")
    if os.path.exists(path):
        return path
    catalogue = os.path.join(work, "sample.sqlite")
    eb.step(f"making the sample of {shares:,} shares")
    sample = subprocess.Popen([server, "--db", catalogue, "--sample", str(shares), "--listen", f"127.0.0.1:{port}"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    eb.wait_for_port(port, 3600)
    sample.terminate()
    sample.wait()
    db = sqlite3.connect(f"file:{catalogue}?mode=ro", uri=True)
    with open(path + ".part", "w") as out:
        for name, type_, size, shareid, code, uk in db.execute(
                "SELECT name, type, size, shareid, code, uk FROM shares ORDER BY id"):
            share = {"name": name, "type": type_, "size": size, "uk": uk}
            share["shareid" if shareid is not None else "code"] = shareid if shareid is not None else code
            out.write(json.dumps(share, ensure_ascii=False) + "\n")
    os.rename(path + ".part", path)
    return path


def percentile(values, fraction):
    return eb.percentile(values, fraction) if values else float("nan")


class MixRunner:
    """Runs the query mix against the service until stopped, timing each query, in a process of
    its own: in the writer's process it would wait for the interpreter's lock whenever the writer
    holds it, and that wait would count as the service's latency."""

    def __init__(self, port):
        context = multiprocessing.get_context("fork")
        self.stopping = context.Event()
        self.receiver, sender = context.Pipe(duplex=False)
        self.process = context.Process(target=self._run, args=(port, sender), daemon=True)

    def _run(self, port, sender):
        eb.SERVICE_PORT = port
        client = eb.Service()
        mix = eb.queries()
        times = []
        i = 0
        while not self.stopping.is_set():
            began = time.perf_counter()
            client.run(mix[i % len(mix)])
            times.append((time.perf_counter() - began) * 1000)
            i += 1
        sender.send(times)

    def start(self):
        self.process.start()

    def stop(self):
        """Stops the mix and returns each query's milliseconds."""
        self.stopping.set()
        times = self.receiver.recv()
        self.process.join()
        return times


def write_headers(home):
    """The headers of a write to the service whose catalogue is in `home`, with its token."""
    with open(os.path.join(home, "token")) as f:
        token = f.read().strip()
    return {"Authorization": f"Bearer {token}", "Content-Type": "application/x-ndjson"}


def post_shares(connection, batch, headers, number):
    """Writes one batch of JSON Lines; raises unless it is answered 200."""
    connection.request("POST", "/api/v1/shares", batch, headers)
    answer = connection.getresponse()
    body = answer.read()
    if answer.status != 200:
        raise RuntimeError(f"batch {number}: {answer.status} {body[:300]!r}")


def service_ingest(server, work, lines_path, port, with_mix=True):
    """Shares/s through the write API, the mix's p99 during the ingest and quiet, and the time
    from a write's answer to another client finding the share; without the mix, the rate alone."""
    home = os.path.join(work, "service")
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(home)
    catalogue = os.path.join(home, "catalogue.sqlite")
    # One sample share, so the empty catalogue does not get the built-in sample at start.
    process = subprocess.Popen([server, "--db", catalogue, "--sample", "1", "--listen", f"127.0.0.1:{port}"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        eb.wait_for_port(port)
        with open(lines_path, "rb") as f:
            lines = f.readlines()
        writer = http.client.HTTPConnection("127.0.0.1", port)
        finder = eb.HttpClient(port)
        headers = write_headers(home)
        mix = MixRunner(port)
        if with_mix:
            mix.start()
        visible = []
        began = time.perf_counter()
        for number, first in enumerate(range(0, len(lines), BATCH)):
            batch = b"".join(lines[first:first + BATCH])
            # Every tenth batch carries one share of a name no other has, for the finder.
            probe = f"ingest probe {number} zxq"
            if number % 10 == 0:
                batch += json.dumps({"name": probe, "type": "file", "size": number, "code": f"probe{number}",
                                     "uk": 1}).encode() + b"\n"
            post_shares(writer, batch, headers, number)
            if number % 10 == 0:
                answered = time.perf_counter()
                wanted = f"probe{number}|1"
                path = "/api/v1/?" + urllib.parse.urlencode({"key": probe, "limit": 200})
                while wanted.encode() not in finder.get(path):
                    if time.perf_counter() - answered > 10:
                        raise RuntimeError(f"{wanted} not found 10 s after its write")
                visible.append((time.perf_counter() - answered) * 1000)
        seconds = time.perf_counter() - began
        if not with_mix:
            return {"rate": len(lines) / seconds, "seconds": seconds}
        during = mix.stop()
        quiet = MixRunner(port)
        quiet.start()
        time.sleep(max(5.0, min(20.0, seconds / 4)))
        quiet_times = quiet.stop()
        memory = eb.pss_kib([process.pid])
        return {"rate": len(lines) / seconds, "seconds": seconds, "during": during, "quiet": quiet_times,
                "visible": visible, "memory_mib": memory / 1024}
    finally:
        process.terminate()
        process.wait()


def groonga_ingest(work, lines_path):
    """Shares/s of one `load` into a table whose full-text index exists before the load."""
    home = os.path.join(work, "groonga-ingest")
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(home)
    db = os.path.join(home, "shares.db")
    subprocess.run(["groonga", "-n", db], input=GROONGA_SCHEMA.encode(), check=True, stdout=subprocess.DEVNULL)
    load = os.path.join(home, "load.grn")
    count = 0
    with open(lines_path) as source, open(load, "w") as out:
        out.write("load --table Shares --columns name,type,size,idauk\n[\n")
        for line in source:
            share = json.loads(line)
            idauk = f"{share.get('shareid', share.get('code'))}|{share['uk']}"
            out.write(("" if count == 0 else ",\n")
                      + json.dumps([share["name"], share["type"], share["size"], idauk], ensure_ascii=False))
            count += 1
        out.write("\n]\n")
    began = time.perf_counter()
    with open(load, "rb") as f:
        subprocess.run(["groonga", db], stdin=f, check=True, stdout=subprocess.DEVNULL)
    seconds = time.perf_counter() - began
    shutil.rmtree(home, ignore_errors=True)
    return {"rate": count / seconds, "seconds": seconds}


def groonga_batched_ingest(work, lines_path, port):
    """Shares/s of `load` over Groonga's HTTP server in batches of BATCH over one kept-alive
    connection, into a table whose full-text index exists before the load."""
    home = os.path.join(work, "groonga-batched")
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(home)
    db = os.path.join(home, "shares.db")
    subprocess.run(["groonga", "-n", db], input=GROONGA_SCHEMA.encode(), check=True, stdout=subprocess.DEVNULL)
    batches = []
    count = 0
    with open(lines_path) as source:
        rows = []
        for line in source:
            count += 1
            share = json.loads(line)
            rows.append([share["name"], share["type"], share["size"], f"{share.get('shareid', share.get('code'))}|{share['uk']}"])
            if len(rows) == BATCH:
                batches.append(json.dumps(rows, ensure_ascii=False).encode())
                rows = []
        if rows:
            batches.append(json.dumps(rows, ensure_ascii=False).encode())
    process = subprocess.Popen(["groonga", "-s", "--protocol", "http", "--bind-address", "127.0.0.1", "--port", str(port),
                                db], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        eb.wait_for_port(port)
        connection = http.client.HTTPConnection("127.0.0.1", port)
        began = time.perf_counter()
        for number, batch in enumerate(batches):
            connection.request("POST", "/d/load?table=Shares&columns=name,type,size,idauk", batch,
                               {"Content-Type": "application/json"})
            answer = connection.getresponse()
            body = answer.read()
            if answer.status != 200:
                raise RuntimeError(f"Groonga batch {number}: {answer.status} {body[:300]!r}")
        seconds = time.perf_counter() - began
    finally:
        process.terminate()
        process.wait()
        shutil.rmtree(home, ignore_errors=True)
    return {"rate": count / seconds, "seconds": seconds}


def postgres_ingest(work, lines_path, port):
    """Shares/s of one `COPY` into a table whose trigram and size indexes exist before it."""
    eb.POSTGRES_PORT = port
    data = os.path.join(work, "postgres-ingest")
    eb.init_postgres(data)
    options = (f"-c listen_addresses=127.0.0.1 -c port={port} -c unix_socket_directories={data} "
               "-c shared_buffers=2GB -c work_mem=64MB -c maintenance_work_mem=2GB -c jit=off")
    eb.run_postgres(data, options)
    try:
        conn = psycopg2.connect(host="127.0.0.1", port=port, user="postgres", dbname="postgres")
        conn.autocommit = True
        cur = conn.cursor()
        cur.execute("CREATE EXTENSION pg_trgm")
        cur.execute("CREATE TABLE shares (id bigint PRIMARY KEY, name text NOT NULL, type text NOT NULL, "
                    "size bigint NOT NULL, idauk text NOT NULL)")
        cur.execute("CREATE INDEX shares_name_trgm ON shares USING gin (name gin_trgm_ops)")
        cur.execute("CREATE INDEX shares_size ON shares (size, id)")
        cur.execute("CREATE INDEX shares_type_size ON shares (type, size, id)")
        csv_path = os.path.join(data, "shares.csv")
        count = 0
        import csv
        with open(lines_path) as source, open(csv_path, "w", newline="") as out:
            writer = csv.writer(out)
            for line in source:
                share = json.loads(line)
                count += 1
                writer.writerow([count, share["name"], share["type"], share["size"],
                                 f"{share.get('shareid', share.get('code'))}|{share['uk']}"])
        began = time.perf_counter()
        with open(csv_path) as f:
            cur.copy_expert("COPY shares FROM STDIN WITH (FORMAT csv)", f)
        seconds = time.perf_counter() - began
        conn.close()
        return {"rate": count / seconds, "seconds": seconds}
    finally:
        eb.stop_postgres(data)
        shutil.rmtree(data, ignore_errors=True)


def sample_arguments(description, default_shares, prefix):
    """The arguments of a benchmark on the sample (--server, --shares, --work, --port-base), and its
    folder <work>/<prefix>-<shares>, made readable by the scratch servers' users."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--server", required=True, help="the cumulo-server executable")
    parser.add_argument("--shares", type=int, default=default_shares)
    parser.add_argument("--work", required=True, help="directory for the sample and the stores")
    parser.add_argument("--port-base", type=int, default=random.randrange(20000, 29900))
    args = parser.parse_args()
    work = os.path.join(os.path.abspath(args.work), f"{prefix}-{args.shares}")
    os.makedirs(work, exist_ok=True)
    os.chmod(work, 0o755)
    return args, work


def main():
    args, work = sample_arguments(__doc__, 1_000_000, "ingest")
    lines = sample_lines(args.server, work, args.shares, args.port_base)
    eb.step("the service: writes in batches of 1,000, the mix beside them")
    service = service_ingest(args.server, work, lines, args.port_base)
    eb.step("the service: the same writes, nothing else running")
    service_alone = service_ingest(args.server, work, lines, args.port_base + 4, with_mix=False)
    eb.step("Groonga: load")
    groonga = groonga_ingest(work, lines)
    eb.step("Groonga: load over HTTP in batches of 1,000")
    groonga_batched = groonga_batched_ingest(work, lines, args.port_base + 6)
    eb.step("PostgreSQL: COPY")
    postgres = postgres_ingest(work, lines, args.port_base + 2)

    print(f"\n### Ingest of {args.shares:,} shares ({time.strftime('%Y-%m-%d %H:%M')}, load average at the end "
          f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)\n")
    print("| system | how | seconds | shares/s | vs Groonga |")
    print("|---|---|---:|---:|---:|")
    for name, how, figures in (("the service", f"POST /api/v1/shares, batches of {BATCH:,}, each synced, the mix "
                                "searching meanwhile", service),
                               ("the service", f"the same, nothing else running", service_alone),
                               ("Groonga", "one `load`, index built as it goes", groonga),
                               ("Groonga", f"`load` over HTTP, batches of {BATCH:,}, not synced", groonga_batched),
                               ("PostgreSQL + pg_trgm", "one `COPY`, indexes kept as it goes", postgres)):
        print(f"| {name} | {how} | {figures['seconds']:.1f} | {figures['rate']:,.0f} | "
              f"{figures['rate'] / groonga['rate']:.2f}x |")
    during, quiet, visible = service["during"], service["quiet"], service["visible"]
    print("\n| the service's search, the 80-query mix | queries | p50 ms | p99 ms | max ms |")
    print("|---|---:|---:|---:|---:|")
    for name, values in (("during the ingest", during), ("quiet, after it", quiet)):
        print(f"| {name} | {len(values)} | {percentile(values, 0.5):.2f} | {percentile(values, 0.99):.2f} | "
              f"{max(values):.1f} |")
    print(f"\nFrom a write's answer to another client finding its share ({len(visible)} writes): "
          f"p50 {percentile(visible, 0.5):.2f} ms, p99 {percentile(visible, 0.99):.2f} ms, max {max(visible):.1f} ms. "
          f"The service's memory after the ingest: {service['memory_mib']:.0f} MiB.")


if __name__ == "__main__":
    main()
