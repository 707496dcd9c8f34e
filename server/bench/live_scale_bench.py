#!/usr/bin/python3
"""The living catalogue at scale: the service's start, memory, and the peak of a merged new base.

On one sample catalogue of N shares (made once, kept under <work>/scale-<N>/), in one run:
  1. the service starts with no snapshot (it builds the index and keeps it beside the catalogue):
     seconds from exec to the first search answered 200, Pss, VmHWM;
  2. it starts again, mapping that snapshot: the same figures, and the 80-query mix's p99 quiet;
  3. on that running service, a bit more than half the base again goes in through the write API in
     batches of 1,000 (the sample's shares with fresh identities), which makes the service merge a
     new base from the published version. Its VmRSS, VmHWM, RssAnon, RssFile and Pss are sampled
     every 0.5 s; the new base is kept when the snapshot file is replaced. Then the peak during the
     merge, Pss once settled, bytes a share after, peak / resident, the mix's p99 quiet after, and
     a check that every probe share written (one every 10 batches) is found;
  4. it starts once more, mapping the merged base: seconds to the first answer, Pss, the mix's p99
     and the probes once more.
Prints the figures as Markdown tables with the load average. Started by scripts/bench-server-scale; not part
of the test run.
"""
import http.client
import json
import os
import shutil
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import engines_bench as eb  # noqa: E402
import ingest_bench as ib  # noqa: E402

BATCH = 1000
PROBE_EVERY = 10  # batches
SAMPLE_SECONDS = 0.5
MIX_SECONDS = 10.0
# Fresh identities for the shares written again: share ids past any the sample makes, codes with
# a suffix the sample's never have.
SHAREID_OFFSET = 10**12
CODE_SUFFIX = "-n"
# The service makes a new base once the overlay holds more than half the base or than this many
# changes, whichever is more (WriterSettings::rebuild_after, most_laid_over).
LEAST_LAID_OVER = 50_000
FIRST_ANSWER_PATH = "/api/v1/?" + urllib.parse.urlencode({"key": "电影", "limit": 20})


def most_laid_over(base_shares):
    return max(LEAST_LAID_OVER, base_shares // 2)


def proc_status_kib(pid, fields):
    """The named fields of /proc/PID/status in KiB."""
    found = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in fields:
                found[name] = int(value.split()[0])
    return found


def reset_peak(pid):
    """Starts VmHWM again from the present VmRSS (the kernel's clear_refs 5)."""
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


def fresh_lines(work, lines_path, count):
    """The first `count` sample shares with fresh identities as JSON Lines (made once, then kept)."""
    path = os.path.join(work, f"fresh-{count}.jsonl")
    if os.path.exists(path):
        return path
    eb.step(f"making {count:,} shares with fresh identities")
    with open(lines_path) as source, open(path + ".part", "w") as out:
        for number, line in enumerate(source):
            if number == count:
                break
            share = json.loads(line)
            if "shareid" in share:
                share["shareid"] += SHAREID_OFFSET
            else:
                share["code"] += CODE_SUFFIX
            out.write(json.dumps(share, ensure_ascii=False) + "\n")
    os.rename(path + ".part", path)
    return path


def fresh_home(work):
    """A copy of the sample catalogue of its own, with no snapshot and no token yet."""
    home = os.path.join(work, "service")
    shutil.rmtree(home, ignore_errors=True)
    os.makedirs(home)
    catalogue = os.path.join(home, "catalogue.sqlite")
    for suffix in ("", "-wal"):
        if os.path.exists(os.path.join(work, "sample.sqlite" + suffix)):
            shutil.copyfile(os.path.join(work, "sample.sqlite" + suffix), catalogue + suffix)
    return catalogue


class Service:
    """The service on one catalogue, from exec to the first search answered 200."""

    def __init__(self, server, catalogue, port, log_path):
        self.port = port
        self.log = open(log_path, "a")
        began = time.perf_counter()
        self.process = subprocess.Popen([server, "--db", catalogue, "--listen", f"127.0.0.1:{port}"],
                                        stdout=subprocess.DEVNULL, stderr=self.log)
        try:
            self.first_answer = self._wait_for_first_answer(began)
        except BaseException:
            self.stop()
            raise

    def _wait_for_first_answer(self, began, seconds=3600):
        while time.perf_counter() - began < seconds:
            if self.process.poll() is not None:
                raise RuntimeError(f"the service ended with {self.process.returncode} before answering")
            try:
                connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=5)
                connection.request("GET", FIRST_ANSWER_PATH)
                if connection.getresponse().status == 200:
                    return time.perf_counter() - began
            except OSError:
                pass
            time.sleep(0.02)
        raise RuntimeError(f"no answer on port {self.port} within {seconds} s")

    def memory(self):
        """Pss, VmHWM, RssAnon and RssFile in KiB."""
        return {"Pss": eb.pss_kib([self.process.pid]),
                **proc_status_kib(self.process.pid, ["VmHWM", "RssAnon", "RssFile"])}

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.log.close()


def quiet_mix(port):
    mix = ib.MixRunner(port)
    mix.start()
    time.sleep(MIX_SECONDS)
    return mix.stop()


class MemorySampler(threading.Thread):
    """Memory of one process every SAMPLE_SECONDS: its time ("at", seconds since the sampler
    began), VmRSS, VmHWM, RssAnon, RssFile (KiB) and Pss (KiB)."""
    FIELDS = ["VmRSS", "VmHWM", "RssAnon", "RssFile"]

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.samples = []
        self.began = time.perf_counter()
        self.stopping = threading.Event()

    def run(self):
        while not self.stopping.wait(SAMPLE_SECONDS):
            sample = {"at": time.perf_counter() - self.began, **proc_status_kib(self.pid, self.FIELDS)}
            sample["Pss"] = eb.pss_kib([self.pid])
            self.samples.append(sample)

    def between(self, first, last=float("inf")):
        return [s for s in self.samples if first <= s["at"] <= last]


def snapshot_version(path):
    try:
        status = os.stat(path)
        return (status.st_ino, status.st_mtime_ns)
    except FileNotFoundError:
        return None


def write_and_merge(service, catalogue, fresh_path, base_shares):
    """Writes the fresh shares in batches while sampling memory, waits until the merged base is
    kept and the memory has settled; returns the figures and the probes written."""
    headers = ib.write_headers(os.path.dirname(catalogue))
    snapshot = catalogue + ".index"
    kept_before = snapshot_version(snapshot)
    reset_peak(service.process.pid)
    sampler = MemorySampler(service.process.pid)
    sampler.start()
    writer = http.client.HTTPConnection("127.0.0.1", service.port)
    probes, written, merge_due_at = [], 0, None
    with open(fresh_path, "rb") as source:
        number = 0
        while True:
            lines = [line for _, line in zip(range(BATCH), source)]
            if not lines:
                break
            batch = b"".join(lines)
            shares = len(lines)
            if number % PROBE_EVERY == 0:
                probe = {"name": f"scale probe {number} zxq", "type": "file", "size": number,
                         "code": f"scaleprobe{number}", "uk": 1}
                probes.append(probe)
                batch += json.dumps(probe).encode() + b"\n"
                shares += 1
            ib.post_shares(writer, batch, headers, number)
            written += shares
            # The change that takes the overlay past half the base makes the new base due.
            if merge_due_at is None and written > most_laid_over(base_shares):
                merge_due_at = time.perf_counter() - sampler.began
            number += 1
    writes_ended = time.perf_counter() - sampler.began
    eb.step(f"{written:,} shares written in {writes_ended:.0f} s; waiting for the new base to be kept")
    while snapshot_version(snapshot) == kept_before:
        if service.process.poll() is not None:
            raise RuntimeError("the service ended while making the new base")
        if time.perf_counter() - sampler.began - writes_ended > 3600:
            raise RuntimeError("no new base kept within an hour of the last write")
        time.sleep(0.2)
    kept_at = time.perf_counter() - sampler.began
    eb.step(f"new base kept {kept_at - merge_due_at:.0f} s after it was due; waiting for the memory to settle")
    settled = wait_until_settled(sampler, kept_at)
    sampler.stopping.set()
    sampler.join()
    before_merge = sampler.between(0, merge_due_at)
    since_due = sampler.between(merge_due_at)
    return {"written": written, "write_seconds": writes_ended, "merge_seconds": kept_at - merge_due_at,
            "peak_hwm": proc_status_kib(service.process.pid, ["VmHWM"])["VmHWM"],
            "at_due": before_merge[-1] if before_merge else since_due[0],
            "peak": max(since_due, key=lambda s: s["Pss"]),
            "settled": settled, "settle_seconds": settled["at"] - kept_at}, probes


def wait_until_settled(sampler, kept_at, window=6, tolerance=0.01, seconds=120):
    """The first sample after the new base was kept from which the next `window` lie within
    `tolerance` of each other in Pss (the replaced base and overlay are freed once no search
    holds them)."""
    began = time.perf_counter()
    while time.perf_counter() - began < seconds:
        time.sleep(SAMPLE_SECONDS)
        after = sampler.between(kept_at)
        for first in range(len(after) - window + 1):
            recent = [s["Pss"] for s in after[first:first + window]]
            if max(recent) - min(recent) <= tolerance * max(recent):
                return after[first]
    return sampler.samples[-1]


def missing_probes(port, probes):
    client = eb.HttpClient(port)
    missing = []
    for probe in probes:
        path = "/api/v1/?" + urllib.parse.urlencode({"key": probe["name"], "limit": 20})
        if f"{probe['code']}|1".encode() not in client.get(path):
            missing.append(probe["code"])
    return missing


def mib(kib):
    return kib / 1024


def per_share(kib, shares):
    return kib * 1024 / shares


def main():
    args, work = ib.sample_arguments(__doc__, 10_000_000, "scale")
    # The shares written again are the sample's own, renamed: they must outnumber the least overlay.
    if args.shares <= 2 * LEAST_LAID_OVER:
        sys.exit(f"live_scale_bench.py: --shares must be more than {2 * LEAST_LAID_OVER:,}: with fewer, "
                 "the writes never make the service merge a new base")
    lines = ib.sample_lines(args.server, work, args.shares, args.port_base)
    # A bit more than the overlay a base may carry: the change past it makes a new base due.
    more = most_laid_over(args.shares) + max(BATCH, args.shares // 100)
    fresh = fresh_lines(work, lines, more)
    catalogue = fresh_home(work)
    log_path = os.path.join(work, "service.log")
    open(log_path, "w").close()
    port = args.port_base + 1

    eb.step("start with no snapshot: the index is built")
    service = Service(args.server, catalogue, port, log_path)
    try:
        built = {"first_answer": service.first_answer, **service.memory()}
    finally:
        service.stop()

    eb.step("start again, mapping the snapshot")
    service = Service(args.server, catalogue, port, log_path)
    mapped = {"first_answer": service.first_answer}
    try:
        quiet_before = quiet_mix(port)
        mapped.update(service.memory())
        eb.step(f"writing {more:,} new shares in batches of {BATCH:,}")
        merge, probes = write_and_merge(service, catalogue, fresh, args.shares)
        quiet_after = quiet_mix(port)
        after_mix = service.memory()
        lost = missing_probes(port, probes)
    finally:
        service.stop()
    after_shares = args.shares + merge["written"]

    eb.step("start again, mapping the merged base")
    service = Service(args.server, catalogue, port, log_path)
    try:
        quiet_mix_on_merged = quiet_mix(port)
        remapped = {"first_answer": service.first_answer, **service.memory()}
        lost_on_start = missing_probes(port, probes)
    finally:
        service.stop()
    with open(log_path) as f:
        log = f.read()

    n = args.shares
    print(f"\n### {n:,} shares, then {merge['written']:,} more through the write API "
          f"({time.strftime('%Y-%m-%d %H:%M')}, load average at the end {os.getloadavg()[0]:.1f} "
          f"on {os.cpu_count()} cores)\n")
    print("| step | first answer s | Pss MiB | bytes/share | VmHWM MiB | peak / resident |")
    print("|---|---:|---:|---:|---:|---:|")
    print(f"| start, no snapshot (index built) | {built['first_answer']:.1f} | {mib(built['Pss']):,.0f} | "
          f"{per_share(built['Pss'], n):.0f} | {mib(built['VmHWM']):,.0f} | {built['VmHWM'] / built['Pss']:.2f}x |")
    print(f"| start, matching snapshot (mapped), after the mix | {mapped['first_answer']:.1f} | "
          f"{mib(mapped['Pss']):,.0f} | {per_share(mapped['Pss'], n):.0f} | {mib(mapped['VmHWM']):,.0f} | "
          f"{mapped['VmHWM'] / mapped['Pss']:.2f}x |")
    print(f"| start again, mapping the merged base ({after_shares:,} shares), after the mix | "
          f"{remapped['first_answer']:.1f} | {mib(remapped['Pss']):,.0f} | {per_share(remapped['Pss'], after_shares):.0f} | "
          f"{mib(remapped['VmHWM']):,.0f} | {remapped['VmHWM'] / remapped['Pss']:.2f}x |")
    settled = merge["settled"]
    print(f"\nWrites: {merge['written']:,} shares in {merge['write_seconds']:.0f} s "
          f"({merge['written'] / merge['write_seconds']:,.0f} shares/s). The new base was kept "
          f"{merge['merge_seconds']:.0f} s after it fell due; the memory settled {merge['settle_seconds']:.0f} s "
          f"after that.\n")
    print("| the service while the new base is merged | Pss MiB | RssAnon MiB | RssFile MiB | bytes/share (Pss) |")
    print("|---|---:|---:|---:|---:|")
    for name, sample, shares in (("when the new base fell due (the overlay at its largest)", merge["at_due"], n),
                                 ("the highest Pss sampled from then on", merge["peak"], after_shares),
                                 ("settled after the new base was kept", settled, after_shares),
                                 ("after the mix that followed", after_mix, after_shares)):
        print(f"| {name} | {mib(sample['Pss']):,.0f} | {mib(sample['RssAnon']):,.0f} | {mib(sample['RssFile']):,.0f} | "
              f"{per_share(sample['Pss'], shares):.0f} |")
    print(f"\nPeak (VmHWM from the first write): {mib(merge['peak_hwm']):,.0f} MiB, "
          f"{merge['peak_hwm'] / settled['Pss']:.2f}x the settled Pss, "
          f"{merge['peak_hwm'] / remapped['Pss']:.2f}x the Pss of a start on the merged base, "
          f"{merge['peak_hwm'] / mapped['Pss']:.2f}x the Pss before the writes.")
    print("\n| the 80-query mix, quiet | queries | p50 ms | p99 ms | max ms |")
    print("|---|---:|---:|---:|---:|")
    for name, values in (("before the writes", quiet_before), ("after the merged base", quiet_after),
                         ("after a start on the merged base", quiet_mix_on_merged)):
        print(f"| {name} | {len(values)} | {ib.percentile(values, 0.5):.2f} | {ib.percentile(values, 0.99):.2f} | "
              f"{max(values):.1f} |")
    for when, missing in (("after the merge", lost), ("after a start on the merged base", lost_on_start)):
        print(f"\nProbe shares found {when}: {len(probes) - len(missing)} of {len(probes)}"
              + (f"; missing {', '.join(missing[:10])}" if missing else "."))
    print("\nThe service's log:\n\n" + "".join("    " + line + "\n" for line in log.splitlines()))
    if lost or lost_on_start:
        sys.exit(1)


if __name__ == "__main__":
    main()
