#!/usr/bin/python3
"""The cluster of scripts/cluster under its faults, searches and writes through HAProxy as a client sends them:

- a share written is found on every node within a second (p99 over a few dozen writes), and
  gone from every node as quickly once removed;
- a node killed with SIGKILL under a load of searches costs no request beyond those it was
  answering; it starts again from its snapshot and takes in what was written meanwhile;
- the primary stopped for ten seconds: searches go on from every node, writes get 503 with a
  message saying nothing was written (and nothing is), and once it is back writes work again;
- the standby's replay paused: its node says it is behind, HAProxy stops sending it searches,
  and once replay resumes it catches up and is sent searches again;
- with no node to take a search, HAProxy answers 503 with a JSON error;
- nothing acknowledged is lost, and `stop` leaves nothing running.

Usage: cluster_faults_test.py CUMULO_SERVER. Exits 77 (skipped) when PostgreSQL 15 or HAProxy
is not installed. Standard library only.
"""
import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
DEPLOY = os.path.join(HERE, "..", "..", "server", "deploy")
sys.path.insert(0, DEPLOY)
import cluster as cl  # noqa: E402
import scratch_postgres  # noqa: E402

SKIPPED = 77
MAX_LAG = 2
SEARCHERS = 4


class Client:
    """One keep-alive connection to `address`, opened again after a failure."""

    def __init__(self, address, token=None):
        self.address = address
        self.token = token
        self.connection = None

    def request(self, method, path, body=None):
        """(status, body); status None when the exchange failed."""
        headers = {"Authorization": f"Bearer {self.token}"} if self.token else {}
        try:
            if self.connection is None:
                self.connection = http.client.HTTPConnection(*self.address, timeout=20)
            self.connection.request(method, path, body, headers)
            answer = self.connection.getresponse()
            return answer.status, answer.read()
        except (OSError, http.client.HTTPException) as error:
            self.connection.close()
            self.connection = None
            return None, str(error).encode()

    def found(self, share):
        """Whether a search for the share's name lists it; None when the search failed."""
        status, body = self.request("GET", "/api/v1/?" + urllib.parse.urlencode({"key": share["name"]}))
        if status != 200:
            return None
        return any(row["idAuk"] == id_of(share) for row in json.loads(body)["list"])


def share_line(share):
    return (json.dumps(share) + "\n").encode()


def id_of(share):
    return f"{share['shareid']}|{share['uk']}"


class Ledger:
    """Every write HAProxy answered, and what each promised: the shares that must be there and
    those that must not."""

    def __init__(self):
        self.present = {}
        self.absent = {}
        self.made = 0

    def new_share(self):
        self.made += 1
        return {"name": f"zqw cluster probe {self.made:05d} xv", "type": "file", "size": self.made,
                "shareid": 7_000_000 + self.made, "uk": 4242}

    def put(self, writer, share):
        status, body = writer.request("POST", "/api/v1/shares", share_line(share))
        if status == 200:
            self.present[id_of(share)] = share
            self.absent.pop(id_of(share), None)
        elif status == 503:
            self.absent.setdefault(id_of(share), share)
        return status, body

    def remove(self, writer, share):
        status, body = writer.request("DELETE", "/api/v1/shares", share_line(share))
        if status == 200:
            self.absent[id_of(share)] = self.present.pop(id_of(share))
        return status, body


def wait_for(what, seconds, check):
    """Seconds until `check()` held; fails the test after `seconds`."""
    began = time.monotonic()
    while not check():
        if time.monotonic() - began > seconds:
            raise AssertionError(f"{what}: not within {seconds} s")
        time.sleep(0.02)
    return time.monotonic() - began


def expect(condition, message):
    if not condition:
        raise AssertionError(message)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


class SearchLoad:
    """Clients searching through HAProxy without pause, each counting what failed."""

    def __init__(self, address, keys):
        self.address = address
        self.keys = keys
        self.failures = []
        self.answered = 0
        self.stopping = threading.Event()
        self.threads = [threading.Thread(target=self.search, args=(i,)) for i in range(SEARCHERS)]

    def search(self, number):
        client = Client(self.address)
        i = number
        while not self.stopping.is_set():
            key = self.keys[i % len(self.keys)]
            status, body = client.request("GET", "/api/v1/?" + urllib.parse.urlencode({"key": key, "limit": 20}))
            if status == 200:
                self.answered += 1
            else:
                self.failures.append((status, body[:200]))
            i += 1

    def __enter__(self):
        for thread in self.threads:
            thread.start()
        return self

    def __exit__(self, *_):
        self.stopping.set()
        for thread in self.threads:
            thread.join()


def visible_everywhere(nodes, share, wanted=True):
    return all(node.found(share) is wanted for node in nodes)


def writes_are_seen_everywhere(cluster, ledger, writer, nodes):
    lags = []
    for _ in range(30):
        share = ledger.new_share()
        status, body = ledger.put(writer, share)
        expect(status == 200, f"a write through HAProxy answered {status} {body[:300]!r}")
        lags.append(wait_for(f"{share['name']} on every node", 10, lambda: visible_everywhere(nodes, share)))
    removals = []
    for share in list(ledger.present.values())[-10:]:
        status, body = ledger.remove(writer, share)
        expect(status == 200, f"a removal through HAProxy answered {status} {body[:300]!r}")
        removals.append(wait_for(f"{share['name']} gone from every node", 10,
                                 lambda: visible_everywhere(nodes, share, wanted=False)))
    expect(percentile(lags, 0.99) <= 1.0, f"writes took up to {max(lags):.2f} s to be found on every node")
    expect(percentile(removals, 0.99) <= 1.0, f"removals took up to {max(removals):.2f} s on every node")
    print(f"write to every node: p50 {percentile(lags, 0.5) * 1000:.0f} ms, max {max(lags) * 1000:.0f} ms; "
          f"removal max {max(removals) * 1000:.0f} ms", flush=True)


def killed_node_costs_nothing_and_catches_up(cluster, ledger, writer, nodes):
    node = cluster.node("node1")
    node_client = nodes[0]
    keys = [s["name"] for s in list(ledger.present.values())[:5]] + ["a", "e", "zqw"]
    with SearchLoad(cluster.haproxy_address, keys) as load:
        time.sleep(1)
        pid = cl.read_pid(cluster.pid_file("node1"))
        os.kill(pid, signal.SIGKILL)
        # A write HAProxy had sent to node1 as it died may have lost its answer; this writer alone
        # writes the share, so it may send it again.
        share = ledger.new_share()
        wait_for("a write acknowledged while node1 was down", 5, lambda: ledger.put(writer, share)[0] == 200)
        wait_for("node1 started again", 10, lambda: cl.read_pid(cluster.pid_file("node1")) not in (None, pid))
        wait_for("node1 healthy again", 30, lambda: cl.node_health(node)[0] == 200)
        wait_for("HAProxy sending node1 searches again", 10,
                 lambda: cl.haproxy_servers(cluster).get(("searches", "node1")) == "UP")
        time.sleep(1)
    expect(load.answered > 0, "no search was answered during the load")
    expect(len(load.failures) <= SEARCHERS,
           f"{len(load.failures)} searches failed around the kill (at most {SEARCHERS} were in flight): "
           f"{load.failures[:5]}")
    wait_for("node1 finding what was written while it was down", 5, lambda: node_client.found(share))
    with open(cluster.log_file("node1"), errors="replace") as f:
        restart = f.read().rsplit(cl.START_MARK, 1)[-1]
    snapshot = os.path.join(cluster.node_dir("node1"), "index.snapshot")
    expect(any(snapshot in line and "not used" not in line for line in restart.splitlines()),
           f"node1 did not start again from its snapshot {snapshot}:\n{restart}")
    print(f"kill -9 of node1 under {SEARCHERS} searching clients: {load.answered} answered, "
          f"{len(load.failures)} failed", flush=True)


def primary_away_keeps_searches_and_refuses_writes(cluster, ledger, writer, nodes):
    through_haproxy = Client(cluster.haproxy_address)
    keys = [s["name"] for s in list(ledger.present.values())[:3]]
    cl.stop_primary(cluster)
    stopped = time.monotonic()
    refused = 0
    try:
        while time.monotonic() - stopped < 10:
            for client in [through_haproxy, *nodes]:
                for key in keys:
                    status, body = client.request("GET", "/api/v1/?" + urllib.parse.urlencode({"key": key}))
                    expect(status == 200, f"a search with the primary away answered {status} {body[:300]!r}")
            status, body = ledger.put(writer, ledger.new_share())
            expect(status == 503, f"a write with the primary away answered {status} {body[:300]!r}")
            expect("nothing was written" in json.loads(body)["error"], f"unclear refusal: {body!r}")
            refused += 1
            time.sleep(0.2)
    finally:
        cl.start_primary(cluster)
    share = ledger.new_share()
    wait_for("writes working again after the primary returned", 30, lambda: ledger.put(writer, share)[0] == 200)
    wait_for("every node finding the first write after the primary returned", 10,
             lambda: visible_everywhere(nodes, share))
    print(f"primary away 10 s: searches answered throughout, {refused} writes refused with 503", flush=True)


def paused_standby_takes_its_node_out(cluster, ledger, writer, nodes):
    standby_port = cluster.state["standby_port"]
    node2 = cluster.node("node2")
    # Written through node1: a node takes in its own writes at once, so one written through node2
    # would not leave it behind.
    through_node1 = Client(("127.0.0.1", cluster.node("node1")["port"]), writer.token)
    scratch_postgres.psql(standby_port, "SELECT pg_wal_replay_pause()")
    try:
        share = ledger.new_share()
        status, body = ledger.put(through_node1, share)
        expect(status == 200, f"a write with the standby paused answered {status} {body[:300]!r}")
        wait_for("node2 saying it is behind", MAX_LAG + 5, lambda: cl.node_health(node2)[0] == 503)
        status, body = cl.node_health(node2)
        expect(json.loads(body)["status"] == "behind", f"node2's /healthz while behind: {body!r}")
        wait_for("HAProxy taking node2 out", 5,
                 lambda: cl.haproxy_servers(cluster).get(("searches", "node2"), "").startswith("DOWN"))
        through_haproxy = Client(cluster.haproxy_address)
        for _ in range(20):
            expect(through_haproxy.found(share), "a search through HAProxy missed a share while node2 was behind")
    finally:
        scratch_postgres.psql(standby_port, "SELECT pg_wal_replay_resume()")
    wait_for("node2 healthy again", 10, lambda: cl.node_health(node2)[0] == 200)
    wait_for("HAProxy sending node2 searches again", 5,
             lambda: cl.haproxy_servers(cluster).get(("searches", "node2")) == "UP")
    expect(nodes[1].found(share), "node2 did not catch up")
    print("standby paused: node2 behind, out of HAProxy, back after the replay resumed", flush=True)


def no_node_left_gets_a_clear_answer(cluster, ledger, writer, nodes):
    servers = [f"searches/{n['name']}" for n in cluster.nodes]
    for server in servers:
        cl.haproxy_ask(cluster, f"disable server {server}")
    try:
        status, body = Client(cluster.haproxy_address).request("GET", "/api/v1/?key=a")
        expect(status == 503 and "no search node" in json.loads(body)["error"],
               f"a search with no node to take it answered {status} {body[:300]!r}")
    finally:
        for server in servers:
            cl.haproxy_ask(cluster, f"enable server {server}")
    wait_for("HAProxy sending searches again", 5,
             lambda: all(cl.haproxy_servers(cluster).get(("searches", n["name"])) == "UP" for n in cluster.nodes))


def nothing_acknowledged_is_lost(ledger, nodes):
    for share in ledger.present.values():
        expect(visible_everywhere(nodes, share), f"the acknowledged share {share['name']} is missing")
    for share in ledger.absent.values():
        expect(visible_everywhere(nodes, share, wanted=False), f"{share['name']} was refused or removed, yet found")


def cluster_processes(cluster):
    pids = [cl.read_pid(cluster.pid_file(part)) for part in ("supervisor", "haproxy", "node1", "node2")]
    return [p for p in pids if p] + scratch_postgres.postgres_pids(cluster.primary_data) \
        + scratch_postgres.postgres_pids(cluster.standby_data)


def run_cluster(server, command, directory, *options, check=True):
    done = subprocess.run([sys.executable, os.path.join(DEPLOY, "cluster.py"), "--server", server, command,
                           directory, *options], capture_output=True, text=True)
    if check and done.returncode != 0:
        raise AssertionError(f"cluster {command} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done


def main(server):
    missing = scratch_postgres.missing_programs() + ([] if os.access(cl.HAPROXY, os.X_OK) else ["haproxy"])
    if missing:
        print(f"skipped: not installed: {', '.join(missing)} (scripts/setup installs postgresql-15 and haproxy)")
        return SKIPPED
    directory = tempfile.mkdtemp(prefix="cumulo-cluster-test-")
    passed = False
    try:
        run_cluster(server, "start", directory, "--shares", "2000", "--max-lag", str(MAX_LAG))
        cluster = cl.Cluster(directory).load()
        with open(cluster.token_file) as f:
            token = f.read().strip()
        writer = Client(cluster.haproxy_address, token)
        nodes = [Client(("127.0.0.1", n["port"])) for n in cluster.nodes]
        ledger = Ledger()
        for case in (writes_are_seen_everywhere, killed_node_costs_nothing_and_catches_up,
                     primary_away_keeps_searches_and_refuses_writes, paused_standby_takes_its_node_out,
                     no_node_left_gets_a_clear_answer):
            case(cluster, ledger, writer, nodes)
        nothing_acknowledged_is_lost(ledger, nodes)
        expect(run_cluster(server, "status", directory).returncode == 0, "status says something is wrong")
        processes = cluster_processes(cluster)
        run_cluster(server, "stop", directory)
        left = [pid for pid in processes if cl.is_alive(pid)]
        expect(not left, f"stop left processes running: {left}")
        expect(run_cluster(server, "status", directory, check=False).returncode == 3,
               "status of a stopped cluster says ok")
        passed = True
    finally:
        if not passed:
            for part in ("supervisor", "haproxy", "node1", "node2", "load"):
                print(f"--- {part} log\n{cl.log_tail(os.path.join(directory, 'logs', part + '.log'), 30)}")
            run_cluster(server, "stop", directory, check=False)
        shutil.rmtree(directory, ignore_errors=True)
    print("passed")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: cluster_faults_test.py CUMULO_SERVER")
    sys.exit(main(os.path.abspath(sys.argv[1])))
