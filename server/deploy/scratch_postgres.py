"""A scratch PostgreSQL 15 cluster on loopback: made, started, asked and stopped.

The one helper the benchmarks and scripts/cluster share. initdb refuses to run as root, so as
root every server program runs as the `postgres` account (which Debian's postgresql-common
makes) and the data directory is handed to it; an ordinary user runs them as themself.
Standard library only.
"""
import os
import pwd
import shutil
import subprocess

PG_BIN = "/usr/lib/postgresql/15/bin"
ACCOUNT_AS_ROOT = "postgres"


def missing_programs():
    """The PostgreSQL programs this helper needs that are not installed."""
    return [name for name in ("initdb", "pg_ctl", "pg_basebackup", "psql")
            if not os.access(os.path.join(PG_BIN, name), os.X_OK)]


def running_as_root():
    return os.geteuid() == 0


def superuser():
    """The cluster's superuser: initdb names it after the account that ran it."""
    return ACCOUNT_AS_ROOT if running_as_root() else pwd.getpwuid(os.geteuid()).pw_name


def _run_as_owner(argv, **options):
    """Runs a server program as the cluster's account, from a directory that account can read."""
    if running_as_root():
        argv = ["runuser", "-u", ACCOUNT_AS_ROOT, "--"] + argv
    return subprocess.run(argv, cwd="/", **options)


def _owned_directory(path):
    """An empty directory `path` the cluster's account owns, mode 0700 as PostgreSQL wants."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path, mode=0o700)
    if running_as_root():
        shutil.chown(path, ACCOUNT_AS_ROOT, ACCOUNT_AS_ROOT)


def init(data):
    """A fresh, empty cluster in `data` (anything there before is removed); trust on loopback."""
    _owned_directory(data)
    _run_as_owner([f"{PG_BIN}/initdb", "-D", data, "-E", "UTF8", "--locale", "C.UTF-8", "-A", "trust"],
                  check=True, stdout=subprocess.DEVNULL)


def base_backup(data, primary_port, slot):
    """A hot standby of the primary on `primary_port` in `data`, streaming through the new
    replication slot `slot`: pg_basebackup -R writes its standby.signal and primary_conninfo."""
    _owned_directory(data)
    _run_as_owner([f"{PG_BIN}/pg_basebackup", "-D", data, "-h", "127.0.0.1", "-p", str(primary_port),
                   "-U", superuser(), "-R", "-X", "stream", "-C", "-S", slot, "--checkpoint=fast"], check=True,
                  stdout=subprocess.DEVNULL)


def start(data, options, log=None):
    """Starts the cluster in `data` with the server `options` and waits until it answers."""
    log = log or os.path.join(data, "log")
    _run_as_owner([f"{PG_BIN}/pg_ctl", "-D", data, "-o", options, "-w", "-t", "300", "-l", log, "start"],
                  check=True, stdout=subprocess.DEVNULL)


def stop(data, mode="fast"):
    """Stops the cluster in `data` if it runs; waits until it has stopped."""
    if is_running(data):
        _run_as_owner([f"{PG_BIN}/pg_ctl", "-D", data, "-m", mode, "-w", "-t", "120", "stop"],
                      stdout=subprocess.DEVNULL)


def is_running(data):
    """Whether the postmaster of `data` runs (pg_ctl status: 0 running, 3 not)."""
    if not os.path.exists(os.path.join(data, "PG_VERSION")):
        return False
    return _run_as_owner([f"{PG_BIN}/pg_ctl", "-D", data, "status"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def pids(data):
    """The postmaster of `data` and its children."""
    with open(os.path.join(data, "postmaster.pid")) as f:
        main = int(f.readline())
    children = subprocess.run(["pgrep", "-P", str(main)], capture_output=True, text=True).stdout.split()
    return [main] + [int(p) for p in children]


def psql(port, sql, database="postgres", timeout=30):
    """One statement's answer as text (unaligned, no headers); raises with psql's message."""
    done = subprocess.run([f"{PG_BIN}/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1",
                           "-h", "127.0.0.1", "-p", str(port), "-U", superuser(), "-d", database, "-c", sql],
                          capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"psql on port {port}: {done.stderr.strip()}")
    return done.stdout.strip()
