#!/usr/bin/env python3
"""Makes, starts and stops a scratch PostgreSQL cluster: the one road of the benchmarks, of the
service's tests and of scripts/cluster (which adds a hot standby). A cluster cannot run as root:
under root it belongs to the postgres user. Standard library only.

As a program (the tests' fixture):
  scratch_postgres.py start DIR   makes and starts a cluster in DIR/data on 127.0.0.1 at a random
                                  port from 20000-29999 and writes its connection string to
                                  DIR/conninfo; without PostgreSQL's programs it only says so
  scratch_postgres.py stop DIR    stops it and removes DIR
"""
import os
import pwd
import random
import shutil
import subprocess
import sys

PG_BIN = "/usr/lib/postgresql/15/bin"
OWNER = "postgres"


def as_owner(command):
    """`command` as the cluster's owner: the postgres user under root, else the caller."""
    return ["runuser", "-u", OWNER, "--"] + command if os.geteuid() == 0 else command


def superuser():
    """The cluster's superuser: initdb names it after the account that ran it."""
    return OWNER if os.geteuid() == 0 else pwd.getpwuid(os.geteuid()).pw_name


def missing_programs():
    """The PostgreSQL programs these helpers run that are not installed."""
    return [name for name in ("initdb", "pg_ctl", "pg_basebackup", "psql")
            if not os.access(os.path.join(PG_BIN, name), os.X_OK)]


def owned_directory(path):
    """An empty directory `path` the cluster's owner has, mode 0700 as PostgreSQL wants."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path, mode=0o700)
    if os.geteuid() == 0:
        shutil.chown(path, OWNER, OWNER)


def init_postgres(data):
    """A fresh, empty cluster in `data` (initdb refuses root)."""
    owned_directory(data)
    subprocess.run(as_owner([f"{PG_BIN}/initdb", "-D", data, "-E", "UTF8", "--locale", "C.UTF-8", "-A", "trust"]),
                   check=True, stdout=subprocess.DEVNULL, cwd="/")


def base_backup(data, primary_port, slot):
    """A hot standby of the primary on `primary_port` in `data`, streaming through the new
    replication slot `slot` (pg_basebackup -R writes its standby.signal and primary_conninfo);
    the primary's checkpoint is taken at once rather than spread over minutes."""
    owned_directory(data)
    subprocess.run(as_owner([f"{PG_BIN}/pg_basebackup", "-D", data, "-h", "127.0.0.1", "-p", str(primary_port),
                             "-U", superuser(), "-R", "-X", "stream", "-C", "-S", slot, "--checkpoint=fast"]),
                   check=True, stdout=subprocess.DEVNULL, cwd="/")


def run_postgres(data, options):
    """Starts the cluster in `data` with the server `options` and waits until it answers."""
    subprocess.run(as_owner([f"{PG_BIN}/pg_ctl", "-D", data, "-o", options, "-w", "-t", "300", "-l",
                             os.path.join(data, "log"), "start"]), check=True, stdout=subprocess.DEVNULL, cwd="/")


def stop_postgres(data):
    """Stops the cluster in `data` and waits until it has stopped."""
    subprocess.run(as_owner([f"{PG_BIN}/pg_ctl", "-D", data, "-m", "fast", "-w", "-t", "120", "stop"]),
                   stdout=subprocess.DEVNULL, cwd="/")


def postgres_is_running(data):
    """Whether the postmaster of `data` runs (pg_ctl status: 0 running, 3 not)."""
    if not os.path.exists(os.path.join(data, "PG_VERSION")):
        return False
    return subprocess.run(as_owner([f"{PG_BIN}/pg_ctl", "-D", data, "status"]), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, cwd="/").returncode == 0


def postgres_pids(data):
    """The postmaster of `data` and its children."""
    with open(os.path.join(data, "postmaster.pid")) as f:
        main = int(f.readline())
    children = subprocess.run(["pgrep", "-P", str(main)], capture_output=True, text=True).stdout.split()
    return [main] + [int(p) for p in children]


def psql(port, sql, database="postgres", timeout=30):
    """One statement's answer as text (unaligned, no headers); raises with psql's message."""
    done = subprocess.run([f"{PG_BIN}/psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1",
                           "-p", str(port), "-U", superuser(), "-d", database, "-c", sql],
                          capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"psql on port {port}: {done.stderr.strip()}")
    return done.stdout.strip()


def start_for_tests(directory):
    conninfo = os.path.join(directory, "conninfo")
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    if not os.access(f"{PG_BIN}/initdb", os.X_OK):
        print(f"scratch_postgres: no PostgreSQL in {PG_BIN} (Debian's postgresql-15, scripts/setup installs it); "
              "the tests that need it are skipped")
        return 0
    if os.geteuid() == 0:
        shutil.chown(directory, OWNER, OWNER)
    data = os.path.join(directory, "data")
    init_postgres(data)
    # Durability is not what these tests look at: no fsync, for speed.
    for attempt in range(5):
        port = random.randint(20000, 29999)
        options = (f"-c listen_addresses=127.0.0.1 -c port={port} -c unix_socket_directories={data} "
                   "-c fsync=off -c synchronous_commit=off -c full_page_writes=off -c max_connections=200")
        try:
            run_postgres(data, options)
        except subprocess.CalledProcessError:
            continue  # the port was taken: another one
        with open(conninfo, "w") as out:
            out.write(f"host=127.0.0.1 port={port} user={superuser()} dbname=postgres\n")
        return 0
    print("scratch_postgres: the scratch cluster did not start; see " + os.path.join(data, "log"), file=sys.stderr)
    return 1


def stop_for_tests(directory):
    data = os.path.join(directory, "data")
    if os.path.exists(os.path.join(data, "postmaster.pid")):
        stop_postgres(data)
    shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit(__doc__)
    sys.exit(start_for_tests(sys.argv[2]) if sys.argv[1] == "start" else stop_for_tests(sys.argv[2]))
