#!/usr/bin/env python3
"""Times the install road on an emulated real link, against the wire and against curl.

Run through bench/run --link, which builds first. Two network namespaces, client and server,
are joined by the delay line (delay_line.c: per direction a rate, a one-way delay, a drop-tail
queue of one bandwidth-delay product and optional random loss), with the kernel's own TCP on
both ends and CUBIC on the server's. nginx serves the bench release in the server's namespace;
this process, the program and curl run in the client's. For each link shape it takes, over
ROUNDS interleaved rounds, the medians of: the install (net of the designed pause), curl over
one kept-alive connection and curl over 8 parallel ones on the same package URLs, each against
the release's bytes / rate. On the first shape also an update that fetches about a tenth of the
release (against 1.15 x its bytes / rate + ten round trips; curl over 8 connections fetches
the packages it fetched, for reference) and, once, an install whose
connection is cut halfway through the largest package (the bytes fetched for that package in
all, against the package; see cut_run). The last line is the link-ratios line.
"""
import argparse
import contextlib
import ctypes
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass

from bench import DESIGNED_PAUSE_S, Release, list_only, log, run, served

NETNS_DIR = "/run/netns"  # where ip netns keeps the namespaces it names
NAME_PREFIX = "korvel-link"
DEVICE = "wire"
# The benchmarking range (RFC 2544): no host anywhere has these, and they stay in the
# namespaces made here.
CLIENT_ADDRESS, SERVER_ADDRESS = "198.18.0.1", "198.18.0.2"
ALLOWED_CC = "/proc/sys/net/ipv4/tcp_allowed_congestion_control"
AVAILABLE_CC = "/proc/sys/net/ipv4/tcp_available_congestion_control"
CLONE_NEWNET = 0x40000000
PACKAGE_STORE = "packages"  # the program's store in its data directory, one file a package
# The update: one file changed in each of these packages (in the manifest's order) and the
# version file; about a tenth of the release's bytes. Rename the tree when this changes.
UPDATE_TREE, UPDATE_VERSION, UPDATE_EVERY, UPDATE_FIRST = "www-tenth", "1.1.0", 10, 2
UPDATE_WIRE_FACTOR, UPDATE_ROUND_TRIPS = 1.15, 10  # its bound: this x bytes / rate + these
CURL_PARALLEL = 8


@dataclass
class Shape:
    name: str
    down_bit_s: float
    up_bit_s: float
    round_trip_ms: float
    loss: float
    limit: float  # the install's target, times bytes / rate
    key: str  # its name in the link-ratios line


SHAPES = (
    Shape("100/20 Mbit/s, 60 ms", 100e6, 20e6, 60, 0, 1.15, "wire"),
    Shape("100/20 Mbit/s, 60 ms, 0.05 % loss", 100e6, 20e6, 60, 0.0005, 1.5, "loss"),
    Shape("20/4 Mbit/s, 150 ms", 20e6, 4e6, 150, 0, 1.15, "slow"),
)
UPDATE_LIMIT, CUT_LIMIT = 1.0, 1.1  # against their own bounds (see the module's text)
CUT_WITHIN_PIECE = 1 << 20  # well inside any piece the road asks for

_libc = ctypes.CDLL(None, use_errno=True)


def cannot_host(reason):
    raise SystemExit(f"bench: this machine cannot host the link benchmark: {reason}")


def setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns")


def ip(*args, check=True):
    proc = subprocess.run(["ip", *args], capture_output=True, text=True)
    if check and proc.returncode != 0:
        raise SystemExit(f"bench: ip {' '.join(args)}: {proc.stderr.strip()}")
    return proc.stdout


def remove_namespace(ns):
    """Kills every process in the namespace (by PID), this one excepted, and removes it; on
    the way out, so it fails quietly."""
    for pid in ip("netns", "pids", ns, check=False).split():
        if int(pid) != os.getpid():
            with contextlib.suppress(ProcessLookupError):
                os.kill(int(pid), signal.SIGKILL)
    ip("netns", "del", ns, check=False)


def check_host():
    if os.geteuid() != 0:
        cannot_host("it needs root (network namespaces, TUN devices, sysctls)")
    for tool in ("ip", "sysctl", "nginx", "curl", "7zz"):
        if not shutil.which(tool):
            cannot_host(f"no {tool} on the PATH")
    try:
        os.close(os.open("/dev/net/tun", os.O_RDWR))
    except OSError as e:
        cannot_host(f"no TUN device (/dev/net/tun: {e.strerror})")
    if "cubic" not in open(AVAILABLE_CC).read().split():
        subprocess.run(["modprobe", "tcp_cubic"], capture_output=True)
        if "cubic" not in open(AVAILABLE_CC).read().split():
            cannot_host("the kernel has no CUBIC congestion control")
    if subprocess.run(["ip", "netns", "list"], capture_output=True).returncode != 0:
        cannot_host("ip cannot name network namespaces (ip netns)")


def sweep_stale():
    """Removes the namespaces (and their processes) of runs that were killed outright."""
    for line in ip("netns", "list").splitlines():
        m = re.match(rf"({NAME_PREFIX}-(\d+)-\w+)", line)
        if m and not os.path.exists(f"/proc/{m.group(2)}"):
            log(f"bench: removing {m.group(1)}, left by a run that was killed")
            remove_namespace(m.group(1))


class Link:
    """The two namespaces and the delay line between them. While it is open, this process and
    whatever it starts are in the client's namespace; in_server starts a command in the
    server's. watch, cut_after: see delay_line.c."""

    def __init__(self, build, shape, seed, watch="", cut_after=None):
        self.delay_line = os.path.join(build, "bench", "delay_line")
        self.shape, self.seed, self.watch, self.cut_after = shape, seed, watch, cut_after
        tag = f"{NAME_PREFIX}-{os.getpid()}"
        self.client, self.server = f"{tag}-client", f"{tag}-server"
        self.made, self.proc, self.home_ns = [], None, None

    @property
    def in_server(self):
        return ["ip", "netns", "exec", self.server]

    def __enter__(self):
        try:
            self._open()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _open(self):
        for ns in (self.client, self.server):
            ip("netns", "add", ns)
            self.made.append(ns)
        s = self.shape
        args = [os.path.join(NETNS_DIR, self.client), os.path.join(NETNS_DIR, self.server), DEVICE,
                str(s.down_bit_s), str(s.up_bit_s), str(int(s.round_trip_ms * 1000)), str(s.loss),
                str(self.seed), self.watch]
        if self.cut_after is not None:
            args.append(str(self.cut_after))
        self.proc = subprocess.Popen([self.delay_line, *args], stdout=subprocess.PIPE, text=True)
        if self.proc.stdout.readline() != "ready\n":
            cannot_host("the delay line could not make its TUN devices (see above)")
        for ns, local, peer in ((self.client, CLIENT_ADDRESS, SERVER_ADDRESS),
                                (self.server, SERVER_ADDRESS, CLIENT_ADDRESS)):
            ip("-n", ns, "address", "add", local, "peer", peer, "dev", DEVICE)
            ip("-n", ns, "link", "set", DEVICE, "up")
            ip("-n", ns, "link", "set", "lo", "up")
            # Each connection starts from nothing, as a user's first one would.
            self.sysctl(ns, "net.ipv4.tcp_no_metrics_save", "1")
        self._server_cubic()
        self.home_ns = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        fd = os.open(os.path.join(NETNS_DIR, self.client), os.O_RDONLY)
        try:
            setns(fd)
        finally:
            os.close(fd)

    @staticmethod
    def sysctl(ns, key, value):
        ip("netns", "exec", ns, "sysctl", "-q", "-w", f"{key}={value}")

    def _server_cubic(self):
        """CUBIC, what most servers run, as the server namespace's default. A namespace may
        only choose what the machine allows unprivileged sockets; the machine's list is widened
        for that moment and restored at once (the namespace keeps its choice)."""
        allowed = open(ALLOWED_CC).read().strip()
        if "cubic" in allowed.split():
            self.sysctl(self.server, "net.ipv4.tcp_congestion_control", "cubic")
            return
        try:
            with open(ALLOWED_CC, "w") as f:
                f.write(f"{allowed} cubic")
        except OSError as e:
            cannot_host(f"cannot allow CUBIC in {ALLOWED_CC}: {e.strerror}")
        try:
            self.sysctl(self.server, "net.ipv4.tcp_congestion_control", "cubic")
        finally:
            with open(ALLOWED_CC, "w") as f:
                f.write(allowed)

    def counters(self):
        """The delay line's counters so far (see delay_line.c), as ints."""
        self.proc.send_signal(signal.SIGUSR1)
        return {k: int(v) for k, v in (w.split("=") for w in self.proc.stdout.readline().split())}

    def close(self):
        if self.home_ns is not None:
            setns(self.home_ns)
            os.close(self.home_ns)
            self.home_ns = None
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.communicate(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None
        while self.made:
            remove_namespace(self.made.pop())


def curl_command(urls, parallel):
    cmd = ["curl", "-s", "-f"]
    if parallel > 1:
        cmd += ["--parallel", "--parallel-immediate", "--parallel-max", str(parallel)]
    for url in urls:
        cmd += ["-o", "/dev/null", url]
    return cmd


def tenth_update(release):
    """The version file and one file in each of every UPDATE_EVERY-th package changed."""
    chosen = release.packages[UPDATE_FIRST::UPDATE_EVERY]

    def edit(source):
        changes = {}
        for name, _, _, _, path in chosen:
            listing = subprocess.run(["7zz", "l", "-ba", "-slt", path], check=True,
                                     capture_output=True, text=True).stdout
            rel = next(line[7:] for line in listing.splitlines() if line.startswith("Path = "))
            with open(os.path.join(source, rel), "rb") as f:
                changes[rel] = f.read() + f"\n// changed in {UPDATE_VERSION}\n".encode()
        return changes

    return release.derived_tree(UPDATE_TREE, [(UPDATE_VERSION, edit)])


def package_url(base, name, no):
    return f"{base}/component/{name}/{no}/{name}_{no}.7z"


def changed_bytes(www, old, new):
    """The bytes of the packages of version new that version old does not have."""
    before = {(p[0], p[3]) for p in Release.listed(www, old)}
    return sum(os.path.getsize(p[4]) for p in Release.listed(www, new) if (p[0], p[3]) not in before)


def install(bench, link, www, check=True):
    """A fresh install of 1.0.0; returns (seconds net of the pause, what the delay line counted
    meanwhile (its counters' differences: connections opened, queue drops, ...), seconds from the
    last package's arrival to the end, net of the pause, env, data directory); the seconds are
    None when it failed and check is false."""
    list_only(www, "1.0.0")
    env, data = bench.home("link")
    before = link.counters()
    seconds = run([os.path.join(bench.work, "installer", "Korvel.exe")], env, lock=True,
                  check=check)[0]
    ended = time.time()
    counted = {key: value - before[key] for key, value in link.counters().items()}
    installed = os.path.isfile(os.path.join(data, "1.0.0", "manifest.xml"))
    if check and not installed:
        raise SystemExit("bench: the road did not install the release")
    if not installed:
        return None, counted, None, env, data
    # What the road does after the download (extraction, commit): the store keeps each
    # package as it was written.
    arrived = [os.path.getmtime(os.path.join(d, f))
               for d, _, files in os.walk(os.path.join(data, PACKAGE_STORE)) for f in files]
    tail = ended - max(arrived) - DESIGNED_PAUSE_S if arrived else None
    return seconds - DESIGNED_PAUSE_S, counted, tail, env, data


def measure_shape(build, release, www, shape, rounds, with_update, with_curl=True):
    """Medians of rounds interleaved runs on one link shape: {run: (seconds, connections)},
    and with_update the update's (seconds, bytes fetched); curl's runs only with_curl."""
    times = {"install": [], "tail": [], "curl1": [], "curl8": [], "update": [], "update_curl8": []}
    connections, fetched, drops = {}, [], []
    with Link(build, shape, seed=1) as link, \
            served(build, release, www, address=(SERVER_ADDRESS, 80),
                   launcher=link.in_server) as bench:
        urls = [package_url(bench.nginx.url, p[0], p[2]) for p in release.packages]

        def ours():
            seconds, counted, tail, env, data = install(bench, link, www)
            connections["install"] = counted["connections"]
            drops.append(counted["down_queue_drops"])
            times["install"].append(seconds)
            if tail is not None:
                times["tail"].append(tail)
            if with_update:
                list_only(www, UPDATE_VERSION)
                seen = len(bench.nginx.requests())
                times["update"].append(bench.update(env, data)[0])
                if not os.path.isfile(os.path.join(data, UPDATE_VERSION, "manifest.xml")):
                    raise SystemExit(f"bench: the update did not install {UPDATE_VERSION}")
                packages = [(t, n) for t, _, n in bench.nginx.requests()[seen:] if t.endswith(".7z")]
                fetched.append(sum(n for _, n in packages))
                # The same packages for curl, as the reference of what the transfer alone takes.
                if with_curl:
                    urls_fetched = [bench.nginx.url + t for t, _ in packages]
                    times["update_curl8"].append(run(curl_command(urls_fetched, CURL_PARALLEL))[0])

        def curl(key, parallel):
            def step():
                before = link.counters()["connections"]
                times[key].append(run(curl_command(urls, parallel))[0])
                connections[key] = link.counters()["connections"] - before
            return step

        for r in range(rounds):
            steps = [ours] + ([curl("curl1", 1), curl("curl8", CURL_PARALLEL)] if with_curl else [])
            for step in (steps if r % 2 == 0 else steps[::-1]):
                step()
            # The round's own times (its runs alternate in order) and the packets the line's
            # queue dropped during the install: what makes one round slower than another shows
            # here, not in the medians.
            ran = ", ".join(f"{key} {times[key][-1]:.2f} s" for key in times if len(times[key]) > r)
            log(f"bench: {shape.name}: round {r + 1}/{rounds} done: {ran}; install's queue drops {drops[-1]}")
    med = {k: statistics.median(v) for k, v in times.items() if v}
    spread = {k: (max(v) - min(v)) / med[k] for k, v in times.items() if v}
    return med, spread, connections, (statistics.median(fetched) if fetched else None)


def cut_run(build, release, www):
    """An install whose connection is cut halfway through the largest package (the road may
    fetch it in pieces, each an answer of its own: then CUT_WITHIN_PIECE bytes into the first
    answer that carries it); returns (the package, bytes fetched for it in all, install seconds
    or None)."""
    name, _, no, _, path = max(release.packages, key=lambda p: os.path.getsize(p[4]))
    size = os.path.getsize(path)
    cut_after = min(size // 2, CUT_WITHIN_PIECE)
    with Link(build, SHAPES[0], seed=1, watch=f"/{name}_{no}.7z", cut_after=cut_after) as link, \
            served(build, release, www, address=(SERVER_ADDRESS, 80),
                   launcher=link.in_server) as bench:
        seconds = install(bench, link, www, check=False)[0]
        counters = link.counters()
    if counters["cuts"] != 1:
        raise SystemExit(f"bench: the connection carrying {name} was not cut")
    return name, size, counters["watched_bytes"], seconds


def report(shapes, results, update_bytes, cut, release, rounds, load, with_update):
    mib = 1048576.0
    total = sum(os.path.getsize(p[4]) for p in release.packages)
    ratios = []
    print(f"the install road on an emulated link: {len(release.packages)} packages,"
          f" {total / mib:.1f} MiB; medians of {rounds} interleaved rounds; install net of the"
          f" {DESIGNED_PAUSE_S * 1000:.0f} ms pause; load average (1 min) before {load[0]:.2f},"
          f" after {load[1]:.2f}")
    print(f"{'link':<35}{'bytes/rate':>11}{'install':>22}{'curl, 1 conn.':>22}"
          f"{'curl, 8 conns.':>22}{'ours/curl 8':>12}{'conns':>6}{'tail':>8}")
    for shape, (med, spread, connections, _) in zip(shapes, results):
        wire = total * 8 / shape.down_bit_s
        cells = "".join(f"{med[k]:>8.1f} s{med[k] / wire:>6.2f} x{spread[k] * 100:>4.0f} %"
                        if k in med else f"{'-':>22}" for k in ("install", "curl1", "curl8"))
        against_curl = f"{med['install'] / med['curl8']:>12.2f}" if "curl8" in med else f"{'-':>12}"
        tail = f"{med['tail']:>6.1f} s" if "tail" in med else f"{'-':>8}"
        print(f"{shape.name:<35}{wire:>9.2f} s{cells}{against_curl}"
              f"{connections['install']:>6}{tail}")
        ratios.append(f"{shape.key}={med['install'] / wire:.2f}(limit {shape.limit:.2f})")
    print("  each: median, x bytes/rate, spread ((slowest - fastest) / median); conns: TCP"
          " connections the install opened; tail: from its last package's arrival to its end"
          " (extraction, commit)")
    if with_update:
        report_update(shapes[0], results[0], update_bytes, ratios)
    if cut:
        report_cut(cut, ratios)
    print("link-ratios: " + " ".join(ratios))


def report_update(shape, result, update_bytes, ratios):
    mib = 1048576.0
    med, _, _, fetched = result
    bound = (UPDATE_WIRE_FACTOR * update_bytes * 8 / shape.down_bit_s
             + UPDATE_ROUND_TRIPS * shape.round_trip_ms / 1000)
    print(f"update to {UPDATE_VERSION} on the first link: {med['update']:.2f} s for"
          f" {fetched / mib:.1f} MiB fetched ({update_bytes / mib:.1f} MiB changed); bound {UPDATE_WIRE_FACTOR} x its"
          f" bytes/rate + {UPDATE_ROUND_TRIPS} round trips = {bound:.2f} s")
    if "update_curl8" in med:
        print(f"  curl over {CURL_PARALLEL} connections fetches the same packages (the transfer alone, no"
              f" catalogue or manifest) in {med['update_curl8']:.2f} s")
    ratios.append(f"update={med['update'] / bound:.2f}(limit {UPDATE_LIMIT:.2f})")


def report_cut(cut, ratios):
    mib = 1048576.0
    name, size, watched, seconds = cut
    outcome = f"installed in {seconds:.1f} s" if seconds is not None else "the install failed"
    print(f"connection cut in {name} ({size / mib:.1f} MiB) on the first link:"
          f" {watched / mib:.1f} MiB fetched for it in all; {outcome}")
    ratios.append(f"cut={watched / size:.2f}(limit {CUT_LIMIT:.2f})")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--link", action="store_true")  # how bench/run chose this script
    # A part of the run, while working on one figure: the keys of the link-ratios line, and
    # curl to leave curl's runs out.
    keys = [shape.key for shape in SHAPES] + ["update", "cut", "curl"]
    parser.add_argument("--only", type=lambda text: text.split(","), default=keys,
                        help="comma-separated: " + ",".join(keys))
    args = parser.parse_args()
    unknown = set(args.only) - set(keys)
    if unknown:
        parser.error(f"--only: unknown {','.join(sorted(unknown))}")
    build = os.path.abspath(args.build)
    rounds = max(1, args.rounds)
    check_host()
    def stop(number, _):  # cleans up as on Ctrl-C
        log(f"bench: stopped by signal {number}; cleaning up")
        sys.exit(128 + number)

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, stop)
    sweep_stale()
    release = Release(build, 200)
    www = tenth_update(release)
    load_before = os.getloadavg()[0]
    with_update = "update" in args.only
    # The update follows an install on the first shape.
    shapes = [shape for i, shape in enumerate(SHAPES)
              if shape.key in args.only or (i == 0 and with_update)]
    results = [measure_shape(build, release, www, shape, rounds,
                             with_update=(with_update and shape is SHAPES[0]),
                             with_curl="curl" in args.only)
               for shape in shapes]
    cut = cut_run(build, release, www) if "cut" in args.only else None
    report(shapes, results, changed_bytes(www, "1.0.0", UPDATE_VERSION), cut, release, rounds,
           (load_before, os.getloadavg()[0]), with_update)


if __name__ == "__main__":
    main()
