#!/usr/bin/python3
"""The search service as a cluster on one machine, on loopback only, all in one directory:
a PostgreSQL 15 primary (the catalogue of record), one streaming hot standby, two search nodes
(node1 reads from the primary, node2 from the standby; both write through the primary and take
the same token) and HAProxy in front. Started by scripts/cluster:

  cluster.py --server PATH start DIR [--shares N] [--max-lag SECONDS]
  cluster.py stop DIR
  cluster.py status DIR

`start` runs a supervisor (`cluster.py supervise DIR`) that keeps the nodes and HAProxy running
and starts a node again when it ends; `stop` stops the supervisor, which stops what it runs, and
then the two PostgreSQL servers. Run as root, PostgreSQL runs as `postgres` and the nodes and
HAProxy as `nobody`. Standard library only: the fault test and the benchmark import it.
"""
import argparse
import http.client
import json
import os
import pwd
import random
import secrets
import select
import shutil
import signal
import socket
import string
import subprocess
import sys
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "bench"))
import scratch_postgres  # noqa: E402
HAPROXY = shutil.which("haproxy") or "/usr/sbin/haproxy"
DATABASE = "cumulo"
SLOT = "standby"
# As root, the nodes and HAProxy run as this account.
NODE_ACCOUNT_AS_ROOT = "nobody"
# How long a start waits for the nodes (a node builds its index from the catalogue when it has
# no snapshot: a minute or two at a million shares on two shared cores).
START_SECONDS = 900

# The line the supervisor writes into a part's log before each start of it.
START_MARK = "--- started by the cluster's supervisor at "
NO_SEARCH_NODE = "no search node can answer now (every node is down or behind the catalogue); try again later"
NO_WRITE_NODE = ("no node can write now: the catalogue of record cannot be reached; nothing was written; "
                 "try again later")


class ClusterError(Exception):
    pass


# ---------------------------------------------------------------- the directory and its state

class Cluster:
    """One cluster's directory: where each part keeps its files, and the ports in cluster.json."""

    def __init__(self, directory):
        self.dir = os.path.abspath(directory)
        self.primary_data = os.path.join(self.dir, "primary")
        self.standby_data = os.path.join(self.dir, "standby")
        self.token_file = os.path.join(self.dir, "token")
        self.haproxy_dir = os.path.join(self.dir, "haproxy")
        self.haproxy_config = os.path.join(self.haproxy_dir, "haproxy.cfg")
        self.haproxy_socket = os.path.join(self.haproxy_dir, "haproxy.sock")
        self.logs = os.path.join(self.dir, "logs")
        self.run = os.path.join(self.dir, "run")
        self.state_file = os.path.join(self.dir, "cluster.json")
        self.state = None

    def load(self):
        try:
            with open(self.state_file) as f:
                self.state = json.load(f)
        except FileNotFoundError:
            raise ClusterError(f"{self.dir} holds no cluster (no cluster.json); start one with: "
                               f"scripts/cluster start {self.dir}") from None
        return self

    def save(self):
        with open(self.state_file + ".new", "w") as f:
            json.dump(self.state, f, indent=2)
        os.replace(self.state_file + ".new", self.state_file)

    def node_dir(self, name):
        return os.path.join(self.dir, name)

    def pid_file(self, part):
        return os.path.join(self.run, part + ".pid")

    def log_file(self, part):
        return os.path.join(self.logs, part + ".log")

    @property
    def nodes(self):
        return self.state["nodes"]

    def node(self, name):
        return next(n for n in self.nodes if n["name"] == name)

    def catalogue(self, port):
        user = urllib.parse.quote(self.state["superuser"], safe="")
        return f"postgresql://{user}@127.0.0.1:{port}/{DATABASE}"

    @property
    def haproxy_address(self):
        return ("127.0.0.1", self.state["haproxy_port"])

    def node_command(self, node, listen=None):
        """The command line of `node`; `listen` replaces its address (the catalogue's load)."""
        command = [self.state["server"], "--catalogue", self.catalogue(self.state["primary_port"])]
        if node["reads_from"] == "standby":
            command += ["--follow", self.catalogue(self.state["standby_port"])]
        command += ["--snapshot", os.path.join(self.node_dir(node["name"]), "index.snapshot"),
                    "--token-file", self.token_file, "--max-lag", str(self.state["max_lag"])]
        if listen:
            return command + ["--listen", listen]
        haproxy_port = self.state["haproxy_port"]
        return command + ["--listen", f"127.0.0.1:{node['port']}",
                          "--host-name", f"127.0.0.1:{haproxy_port}", "--host-name", f"localhost:{haproxy_port}"]


# ---------------------------------------------------------------- accounts and processes

def as_node_account(argv):
    """`argv` run as the nodes' account: `nobody` when we are root, else ourself."""
    if os.geteuid() != 0:
        return argv
    account = pwd.getpwnam(NODE_ACCOUNT_AS_ROOT)
    return ["setpriv", f"--reuid={account.pw_uid}", f"--regid={account.pw_gid}", "--clear-groups"] + argv


def node_environment(home):
    """The environment of a part of the cluster: its data directory in the cluster (whatever the
    service keeps by default lands there: nothing of the cluster belongs in the user's home), and
    as root a home of its own, never root's."""
    environment = dict(os.environ, XDG_DATA_HOME=os.path.join(home, ".local", "share"))
    if os.geteuid() == 0:
        environment["HOME"] = home
    return environment


def give_to_node_account(path):
    if os.geteuid() == 0:
        account = pwd.getpwnam(NODE_ACCOUNT_AS_ROOT)
        os.chown(path, account.pw_uid, account.pw_gid)


def read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().strip())
    except (FileNotFoundError, ValueError):
        return None


def is_alive(pid):
    """Whether `pid` runs (a zombie has ended)."""
    if pid is None:
        return False
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, IndexError):
        return False


def runs_from(pid, cluster):
    """Whether `pid` is one of this cluster's processes (its command line names the directory),
    so that a pid file left behind never ends a process that took the number since."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return cluster.dir.encode() in f.read()
    except FileNotFoundError:
        return False


def end_process(pid, grace):
    """SIGTERM, then SIGKILL after `grace` seconds; returns once it has ended."""
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    end = time.monotonic() + grace
    while is_alive(pid) and time.monotonic() < end:
        time.sleep(0.05)
    if is_alive(pid):
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            return
        while is_alive(pid):
            time.sleep(0.05)


def log_tail(path, lines=15):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except FileNotFoundError:
        return "(no log)\n"


# ---------------------------------------------------------------- ports

def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def pick_ports(count):
    """`count` distinct free loopback ports, at random in 20000-29999 (below the range the
    system hands out to outgoing connections, so none of those takes a node's port)."""
    picked = []
    while len(picked) < count:
        port = random.randint(20000, 29999)
        if port not in picked and port_is_free(port):
            picked.append(port)
    return picked


# ---------------------------------------------------------------- HTTP

def http_get(address, path, timeout=2.0):
    """(status, body) of one GET, or (None, why) when nothing answered."""
    connection = http.client.HTTPConnection(*address, timeout=timeout)
    try:
        connection.request("GET", path)
        answer = connection.getresponse()
        return answer.status, answer.read()
    except (OSError, http.client.HTTPException) as error:
        return None, str(error).encode()
    finally:
        connection.close()


def node_health(node):
    """(status, body) of the node's GET /healthz."""
    return http_get(("127.0.0.1", node["port"]), "/healthz")


# ---------------------------------------------------------------- HAProxy

def http_error_file(status_line, message, extra_headers=()):
    """An answer HAProxy sends as it is: a JSON error, never cached, the connection closed."""
    body = json.dumps({"error": message}) + "\n"
    headers = [status_line, "Content-Type: application/json; charset=utf-8", "Cache-Control: no-store",
               *extra_headers, f"Content-Length: {len(body.encode())}", "Connection: close"]
    return "\r\n".join(headers) + "\r\n\r\n" + body


def write_haproxy_config(cluster):
    state = cluster.state
    search_servers = "\n".join(f"    server {n['name']} 127.0.0.1:{n['port']} check" for n in cluster.nodes)
    with open(os.path.join(HERE, "haproxy.cfg.in")) as f:
        config = string.Template(f.read()).substitute(
            state_dir=cluster.haproxy_dir, listen=f"127.0.0.1:{state['haproxy_port']}", check_host="localhost",
            search_servers=search_servers, write_servers=search_servers)
    files = {"haproxy.cfg": config,
             "no-search-node.http": http_error_file("HTTP/1.1 503 Service Unavailable", NO_SEARCH_NODE,
                                                    ["Retry-After: 1"]),
             "no-write-node.http": http_error_file("HTTP/1.1 503 Service Unavailable", NO_WRITE_NODE,
                                                   ["Retry-After: 5"])}
    for name, text in files.items():
        with open(os.path.join(cluster.haproxy_dir, name), "w") as f:
            f.write(text)
    checked = subprocess.run([HAPROXY, "-c", "-q", "-f", cluster.haproxy_config], capture_output=True, text=True)
    if checked.returncode != 0:
        raise ClusterError(f"HAProxy refuses {cluster.haproxy_config}:\n{checked.stdout}{checked.stderr}")


def haproxy_ask(cluster, command):
    """HAProxy's answer to one command on its admin socket ("show stat", "disable server
    searches/node2", ...); raises OSError when HAProxy does not answer."""
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(2)
        s.connect(cluster.haproxy_socket)
        s.sendall(command.encode() + b"\n")
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return data.decode()


def haproxy_servers(cluster):
    """{(backend, server): status} as HAProxy sees its servers ("UP", "DOWN", "UP 1/2", "MAINT",
    ...); empty when HAProxy does not answer."""
    try:
        lines = haproxy_ask(cluster, "show stat").splitlines()
    except OSError:
        return {}
    if not lines or not lines[0].startswith("# "):
        return {}
    columns = lines[0][2:].split(",")
    servers = {}
    for line in lines[1:]:
        row = dict(zip(columns, line.split(",")))
        if row.get("svname") not in (None, "FRONTEND", "BACKEND"):
            servers[(row["pxname"], row["svname"])] = row["status"]
    return servers


# ---------------------------------------------------------------- PostgreSQL

def primary_options(cluster):
    return (f"-c listen_addresses=127.0.0.1 -c port={cluster.state['primary_port']} "
            "-c unix_socket_directories='' -c wal_level=replica -c max_wal_senders=4 "
            "-c max_replication_slots=4")


def standby_options(cluster):
    # The standby asks the primary again every half second once the primary has gone.
    return (f"-c listen_addresses=127.0.0.1 -c port={cluster.state['standby_port']} "
            "-c unix_socket_directories='' -c hot_standby=on "
            "-c wal_retrieve_retry_interval=500ms")


def start_primary(cluster):
    scratch_postgres.run_postgres(cluster.primary_data, primary_options(cluster))


def stop_primary(cluster):
    scratch_postgres.stop_postgres(cluster.primary_data)


def start_standby(cluster):
    scratch_postgres.run_postgres(cluster.standby_data, standby_options(cluster))


def make_databases(cluster):
    scratch_postgres.init_postgres(cluster.primary_data)
    start_primary(cluster)
    scratch_postgres.psql(cluster.state["primary_port"], f"CREATE DATABASE {DATABASE}")
    scratch_postgres.base_backup(cluster.standby_data, cluster.state["primary_port"], SLOT)
    start_standby(cluster)


# ---------------------------------------------------------------- start

def reachable_by_others(path):
    """Whether accounts other than ours can reach into `path` (each directory above it lets
    others through), as PostgreSQL's and the nodes' accounts must when we are root."""
    path = os.path.abspath(path)
    while True:
        if not os.stat(path).st_mode & 0o001:
            return path
        parent = os.path.dirname(path)
        if parent == path:
            return None
        path = parent


def make_token(cluster):
    """The one token every node takes (256 random bits), readable by the nodes' account only."""
    if os.path.exists(cluster.token_file):
        return
    descriptor = os.open(cluster.token_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "w") as f:
        f.write(secrets.token_hex(32) + "\n")
    give_to_node_account(cluster.token_file)


def load_catalogue(cluster, shares):
    """Makes the catalogue the sample of `shares` shares (or, with None, the first start's
    sample of an empty catalogue) before any node serves: one run of the server on a port of
    its own, stopped once it serves. It keeps node1's snapshot of what it loaded."""
    command = cluster.node_command(cluster.nodes[0], listen="127.0.0.1:0")
    if shares:
        command += ["--sample", str(shares)]
    with open(cluster.log_file("load"), "ab") as log:
        process = subprocess.Popen(as_node_account(command), stdout=subprocess.PIPE, stderr=log, cwd="/",
                                   env=node_environment(cluster.node_dir(cluster.nodes[0]["name"])))
    try:
        deadline = time.monotonic() + START_SECONDS
        output = b""
        while b"listening on" not in output:
            waited = select.select([process.stdout], [], [], max(0, deadline - time.monotonic()))[0]
            chunk = os.read(process.stdout.fileno(), 4096) if waited else None
            if chunk is None:
                raise ClusterError(f"loading the catalogue took longer than {START_SECONDS} s:\n"
                                   + log_tail(cluster.log_file("load")))
            if not chunk:
                process.wait()
                raise ClusterError(f"loading the catalogue failed ({describe_status(process.returncode)}):\n"
                                   + log_tail(cluster.log_file("load")))
            output += chunk
    finally:
        if process.poll() is None:
            process.terminate()
            process.wait()
        process.stdout.close()


def new_state(cluster, server, max_lag):
    primary, standby, haproxy, node1, node2 = pick_ports(5)
    cluster.state = {
        "server": os.path.abspath(server), "superuser": scratch_postgres.superuser(), "max_lag": max_lag,
        "primary_port": primary, "standby_port": standby, "haproxy_port": haproxy,
        "nodes": [{"name": "node1", "port": node1, "reads_from": "primary"},
                  {"name": "node2", "port": node2, "reads_from": "standby"}]}


def check_programs(server):
    missing = scratch_postgres.missing_programs()
    if missing:
        raise ClusterError(f"PostgreSQL 15 is not installed (no {', '.join(missing)} in {scratch_postgres.PG_BIN}); "
                           "scripts/setup installs postgresql-15")
    if not os.access(HAPROXY, os.X_OK):
        raise ClusterError("HAProxy is not installed; scripts/setup installs haproxy")
    if not os.access(server, os.X_OK):
        raise ClusterError(f"{server} is not an executable cumulo-server; build it first")


def start(directory, server, shares, max_lag):
    check_programs(server)
    cluster = Cluster(directory)
    os.makedirs(cluster.dir, exist_ok=True)
    if is_alive(read_pid(cluster.pid_file("supervisor"))) or any(
            scratch_postgres.postgres_is_running(data) for data in (cluster.primary_data, cluster.standby_data)):
        raise ClusterError(f"a cluster, or part of one, already runs in {cluster.dir}; see: scripts/cluster status "
                           f"{cluster.dir}, or stop it first")
    if os.geteuid() == 0:
        os.chmod(cluster.dir, 0o755)
        blocked = reachable_by_others(cluster.dir)
        if blocked:
            raise ClusterError(f"{blocked} does not let other accounts through (mode o+x), and as root PostgreSQL "
                               f"and the nodes run as {scratch_postgres.OWNER} and "
                               f"{NODE_ACCOUNT_AS_ROOT}; pick a directory under /tmp or /srv")
    fresh = not os.path.exists(os.path.join(cluster.primary_data, "PG_VERSION"))
    if fresh:
        new_state(cluster, server, max_lag)
    else:
        # The standby's primary_conninfo names the primary's port: the ports stay.
        cluster.load()
        cluster.state.update(server=os.path.abspath(server), max_lag=max_lag)
        taken = [p for p in (cluster.state["primary_port"], cluster.state["standby_port"],
                             cluster.state["haproxy_port"], *(n["port"] for n in cluster.nodes)) if not port_is_free(p)]
        if taken:
            raise ClusterError(f"the cluster in {cluster.dir} listens on ports now taken: {taken}; "
                               "stop what uses them, or start a new cluster in another directory")
    for path in (cluster.logs, cluster.run):
        os.makedirs(path, exist_ok=True)
    for path in (cluster.haproxy_dir, *(cluster.node_dir(n["name"]) for n in cluster.nodes)):
        os.makedirs(path, exist_ok=True)
        give_to_node_account(path)
    cluster.save()
    try:
        if fresh:
            print(f"making the primary and its standby in {cluster.dir}", flush=True)
            make_databases(cluster)
        else:
            print(f"starting the primary and its standby in {cluster.dir}", flush=True)
            start_primary(cluster)
            start_standby(cluster)
        make_token(cluster)
        if fresh or shares:
            print("loading the catalogue" + (f" with the sample of {shares} shares" if shares else ""), flush=True)
            load_catalogue(cluster, shares)
        write_haproxy_config(cluster)
        with open(cluster.log_file("supervisor"), "ab") as log:
            supervisor = subprocess.Popen([sys.executable, os.path.abspath(__file__), "supervise", cluster.dir],
                                          stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True,
                                          cwd="/")
        wait_until_serving(cluster, supervisor)
    except BaseException:
        stop(cluster.dir, quiet=True)
        raise
    print_addresses(cluster)
    return cluster


def starts_logged(cluster, part):
    try:
        with open(cluster.log_file(part), errors="replace") as f:
            return f.read().count(START_MARK)
    except FileNotFoundError:
        return 0


def wait_until_serving(cluster, supervisor):
    """Returns once every node answers /healthz with 200 and HAProxy has every server up; fails
    early when the supervisor ends or a part keeps ending."""
    parts = ["haproxy", *(n["name"] for n in cluster.nodes)]
    starts_before = {part: starts_logged(cluster, part) for part in parts}
    began = time.monotonic()
    told = False
    while time.monotonic() < began + START_SECONDS:
        if supervisor.poll() is not None:
            raise ClusterError("the supervisor ended:\n" + log_tail(cluster.log_file("supervisor")))
        for part in parts:
            if starts_logged(cluster, part) - starts_before[part] > 3:
                raise ClusterError(f"{part} keeps ending; its log {cluster.log_file(part)} ends with:\n"
                                   + log_tail(cluster.log_file(part)))
        if not told and time.monotonic() > began + 10:
            print(f"waiting for the nodes to serve (a node without a snapshot builds its index first; "
                  f"logs in {cluster.logs})", flush=True)
            told = True
        healthy = all(node_health(n)[0] == 200 for n in cluster.nodes)
        servers = haproxy_servers(cluster)
        if healthy and servers and all(status == "UP" for status in servers.values()):
            return
        time.sleep(0.2)
    tails = "".join(f"--- {part}\n{log_tail(cluster.log_file(part))}"
                    for part in ["haproxy", *(n["name"] for n in cluster.nodes)])
    raise ClusterError(f"the nodes did not all come up within {START_SECONDS} s:\n{tails}")


def print_addresses(cluster):
    state = cluster.state
    host, port = cluster.haproxy_address
    print(f"cluster running in {cluster.dir}")
    print(f"  HAProxy     http://{host}:{port}/  (searches; writes: POST/DELETE /api/v1/shares)")
    print(f"  token file  {cluster.token_file}")
    print(f"  primary     {cluster.catalogue(state['primary_port'])}")
    print(f"  standby     {cluster.catalogue(state['standby_port'])}")
    for node in cluster.nodes:
        print(f"  {node['name']}       http://127.0.0.1:{node['port']}/  (reads from the {node['reads_from']})")
    print(f"stop it with: scripts/cluster stop {cluster.dir}")


# ---------------------------------------------------------------- supervise

class Supervisor:
    """Keeps HAProxy and the nodes running: a part that ends is started again (after a second
    when it ended within five seconds of its start, so that one that cannot start does not spin)."""

    def __init__(self, cluster):
        self.cluster = cluster
        self.parts = {"haproxy": [HAPROXY, "-db", "-f", cluster.haproxy_config]}
        for node in cluster.nodes:
            self.parts[node["name"]] = cluster.node_command(node)
        self.processes = {}
        self.started = {}
        self.stopping = False

    def log(self, text):
        print(time.strftime("%H:%M:%S ") + text, flush=True)

    def launch(self, part):
        with open(self.cluster.log_file(part), "ab") as log:
            log.write(f"{START_MARK}{time.strftime('%H:%M:%S')}\n".encode())
            log.flush()
            home = self.cluster.haproxy_dir if part == "haproxy" else self.cluster.node_dir(part)
            process = subprocess.Popen(as_node_account(self.parts[part]), stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=log, cwd="/", env=node_environment(home))
        self.processes[part] = process
        self.started[part] = time.monotonic()
        with open(self.cluster.pid_file(part), "w") as f:
            f.write(f"{process.pid}\n")

    def run(self):
        with open(self.cluster.pid_file("supervisor"), "w") as f:
            f.write(f"{os.getpid()}\n")
        signal.signal(signal.SIGTERM, self.stop)
        signal.signal(signal.SIGINT, self.stop)
        for part in self.parts:
            self.launch(part)
            self.log(f"{part} started (pid {self.processes[part].pid})")
        restart_at = {}
        while not self.stopping:
            for part, process in self.processes.items():
                if process.poll() is None or self.stopping:
                    continue
                if part not in restart_at:
                    lived = time.monotonic() - self.started[part]
                    restart_at[part] = time.monotonic() + (1.0 if lived < 5 else 0.0)
                    self.log(f"{part} ended ({describe_status(process.returncode)}); starting it again")
                if time.monotonic() >= restart_at[part]:
                    del restart_at[part]
                    self.launch(part)
                    self.log(f"{part} started again (pid {self.processes[part].pid})")
            time.sleep(0.05)
        for part, process in self.processes.items():
            end_process(process.pid, grace=10)
            process.wait()
            os.unlink(self.cluster.pid_file(part))
            self.log(f"{part} stopped")
        os.unlink(self.cluster.pid_file("supervisor"))

    def stop(self, *_):
        self.stopping = True


def describe_status(returncode):
    if returncode < 0:
        return f"signal {signal.Signals(-returncode).name}"
    return f"status {returncode}"


# ---------------------------------------------------------------- stop and status

def stop(directory, quiet=False):
    """Stops every part of the cluster in `directory`; true when anything was running."""
    cluster = Cluster(directory)
    if not os.path.exists(cluster.state_file):
        raise ClusterError(f"{cluster.dir} holds no cluster (no cluster.json)")
    cluster.load()
    stopped = []
    supervisor = read_pid(cluster.pid_file("supervisor"))
    if is_alive(supervisor) and runs_from(supervisor, cluster):
        end_process(supervisor, grace=30)
        stopped.append("the supervisor with " + ", ".join(["haproxy", *(n["name"] for n in cluster.nodes)]))
    # Whatever the supervisor could not stop (it was killed, say) is stopped here.
    for part in ["haproxy", *(n["name"] for n in cluster.nodes), "supervisor"]:
        pid = read_pid(cluster.pid_file(part))
        if is_alive(pid) and runs_from(pid, cluster):
            end_process(pid, grace=10)
            stopped.append(part)
        if os.path.exists(cluster.pid_file(part)):
            os.unlink(cluster.pid_file(part))
    for name, data in (("standby", cluster.standby_data), ("primary", cluster.primary_data)):
        if scratch_postgres.postgres_is_running(data):
            scratch_postgres.stop_postgres(data)
            stopped.append(name)
    if not quiet:
        print(f"stopped {', '.join(stopped)} in {cluster.dir}" if stopped else f"nothing was running in {cluster.dir}")
    return bool(stopped)


def status(directory):
    """Prints each part and each node's /healthz; true when every part runs and is healthy."""
    cluster = Cluster(directory).load()
    state = cluster.state
    well = True

    def line(part, ok, text):
        nonlocal well
        well = well and ok
        print(f"  {part:<10} {'ok  ' if ok else 'FAIL'}  {text}")

    print(f"cluster in {cluster.dir}")
    for name, data, port in (("primary", cluster.primary_data, state["primary_port"]),
                             ("standby", cluster.standby_data, state["standby_port"])):
        running = scratch_postgres.postgres_is_running(data)
        detail = f"127.0.0.1:{port}"
        if running and name == "standby":
            try:
                paused = scratch_postgres.psql(port, "SELECT pg_is_wal_replay_paused()") == "t"
                detail += ", replay paused" if paused else ", replaying"
            except (RuntimeError, subprocess.TimeoutExpired) as error:
                detail += f", {error}"
        line(name, running, detail if running else "not running")
    supervisor = read_pid(cluster.pid_file("supervisor"))
    line("supervisor", is_alive(supervisor), f"pid {supervisor}" if is_alive(supervisor) else "not running")
    servers = haproxy_servers(cluster)
    host, port = cluster.haproxy_address
    line("haproxy", bool(servers) and all(s == "UP" for s in servers.values()), f"http://{host}:{port}/  " + "  ".join(
        f"{backend}/{server}: {s}" for (backend, server), s in sorted(servers.items())) if servers else "not answering")
    for node in cluster.nodes:
        code, body = node_health(node)
        line(node["name"], code == 200, f"127.0.0.1:{node['port']} /healthz: "
             + (f"{code} {body.decode(errors='replace').strip()}" if code else f"no answer ({body.decode()})"))
    print(f"  token file: {cluster.token_file}")
    return well


# ---------------------------------------------------------------- command line

def main():
    parser = argparse.ArgumentParser(description="A primary, a standby, two search nodes and HAProxy on loopback.")
    parser.add_argument("--server", help="the cumulo-server executable (for start)")
    commands = parser.add_subparsers(dest="command", required=True)
    start_command = commands.add_parser("start", help="make or start the cluster in DIR")
    start_command.add_argument("dir", metavar="DIR")
    start_command.add_argument("--shares", type=int, help="make the catalogue the sample of N shares first")
    start_command.add_argument("--max-lag", type=int, default=5,
                               help="seconds behind past which a node's /healthz says behind (default 5)")
    for name, text in (("stop", "stop every part of the cluster in DIR"),
                       ("status", "show each part and each node's /healthz"),
                       ("supervise", "keep the nodes and HAProxy of DIR running (started by start)")):
        commands.add_parser(name, help=text).add_argument("dir", metavar="DIR")
    args = parser.parse_args()
    try:
        if args.command == "start":
            if not args.server:
                parser.error("start needs --server PATH")
            if args.shares is not None and args.shares < 1:
                parser.error("--shares needs a number of shares from 1")
            if args.max_lag <= 0:
                parser.error("--max-lag needs a number of seconds above 0")
            start(args.dir, args.server, args.shares, args.max_lag)
        elif args.command == "stop":
            stop(args.dir)
        elif args.command == "status":
            return 0 if status(args.dir) else 3
        else:
            Supervisor(Cluster(args.dir).load()).run()
    except (ClusterError, subprocess.CalledProcessError) as error:
        print(f"cluster: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("cluster: interrupted; what had been started was stopped", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
