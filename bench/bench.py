#!/usr/bin/env python3
"""Times every stage of the install road against the tool a user would compare it with.

Run through bench/run, which builds first. Prepares (and caches) a deterministic release,
serves it from a private nginx on 127.0.0.1 and measures, interleaved, the medians of ROUNDS
runs of: the download of a 256 MiB package (ours with its hashing, and ours with SHA-256 and the
signed size beside the MD5 as a build with release keys, each against the slower of curl -o
and md5sum of the same bytes, in the same run), the verification of a package file (against
md5sum), the extraction of the release with its flush
(against 7zz x -mmt1 and sync -f), the whole install road against the sum of our own stages,
the road's peak memory against the largest folder plus 32 MiB, and a plain start of the
installed launcher against a minimal program that loads the client library and calls it.
The last line is the ratios line. --scale instead runs the road on releases of 50, 200 and
800 MB; --update the update road (see update_run), ending with the update-ratios line; --patch
the binary patches of rebuilt libraries (see patch_run), ending with the patch-ratios line. The
road on an emulated network link (bench/run --link) is link.py's, which builds on this file.
"""
import argparse
import contextlib
import fcntl
import filecmp
import hashlib
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from xml.etree import ElementTree

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
# Must match the job runner's pause between the end of the work and the start of the client.
DESIGNED_PAUSE_S = 1.0
DOWNLOAD_MIB = 256
# Ours (transfer and digest) against the slower of curl -o and md5sum of the same bytes.
DOWNLOAD_LIMIT = 1.1
MEMORY_SLACK_MIB = 32
JOB_LOCK = "/tmp/korvel-jobs.lock"  # the guard every run of the program shares on this machine
# Change when the way a release is published here changes (the cache is keyed on it). The
# release is published as a vendor would: one package per top-level entry, the publisher cutting
# the large ones into pieces.
RECIPE = "publish-2"
# The versions after the first, each one line of one source file and the version file apart.
UPDATES = 5
# The rebuilt libraries of --patch: (name, bytes of the first version, rebuilds after it).
PATCH_LIBRARIES = (("lib10", 10 << 20, 3), ("lib40", 40 << 20, 3), ("lib200", 200 * 1000 * 1000, 1))
# The rebuilt libraries of --update, beside the release's own files: (file, bytes of the first
# version); the versions after the one that adds them rebuild both, REBUILDS times.
UPDATE_LIBRARIES = (("librebuilt10.so", 10 << 20), ("librebuilt40.so", 40 << 20))
REBUILDS = 3
# The link --patch weighs fetching against: 100 Mbit/s.
PATCH_LINK_BYTES_PER_S = 100e6 / 8
ENTRY_FILE, ENTRY_FUNCTION = "libkorvel_client.so", "korvel_entry"


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def md5_of(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def run(cmd, env=None, lock=False, written=None, check=True):
    """Runs cmd to its end; returns (seconds, peak resident KiB). Fails loudly unless check is
    false. With a list as written, appends the bytes the process sent to the storage layer
    (its write_bytes)."""
    lock_file = open(JOB_LOCK, "a") if lock else None
    try:
        if lock_file:
            fcntl.flock(lock_file, fcntl.LOCK_EX)
        # Every run starts with nothing left to write back: the stages before it leave gigabytes
        # dirty, and the kernel's writeback then throttled whichever writer came next (a 256 MiB
        # download took 1.4 s instead of 0.36 s in the later rounds, ours and curl's alike).
        os.sync()
        start = time.perf_counter()
        proc = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if written is not None:
            # Ended but not reaped: its counters are still there to read.
            os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
            elapsed = time.perf_counter() - start
            with open(f"/proc/{proc.pid}/io") as f:
                io = dict(line.split(": ") for line in f.read().splitlines())
            written.append(int(io["write_bytes"]))
        _, status, usage = os.wait4(proc.pid, 0)
        if written is None:
            elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        err = proc.stderr.read().decode(errors="replace")
        proc.stderr.close()
    finally:
        if lock_file:
            lock_file.close()
    if check and proc.returncode != 0:
        raise SystemExit(f"bench: {' '.join(cmd)} failed ({proc.returncode}): {err[-2000:]}")
    return elapsed, usage.ru_maxrss


def disk_use(path):
    """Bytes the files below path take on the disk, each linked file counted once."""
    seen, total = set(), 0
    for root, dirs, files in os.walk(path):
        for name in dirs + files:
            st = os.lstat(os.path.join(root, name))
            if (st.st_dev, st.st_ino) not in seen:
                seen.add((st.st_dev, st.st_ino))
                total += st.st_blocks * 512
    return total


def tool_version(cmd):
    return subprocess.run(cmd, capture_output=True, text=True).stdout.split("\n")[0:2]


class Release:
    """A published release of about `megabytes` MB in a cached server tree."""

    def __init__(self, build, megabytes):
        script = os.path.join(BENCH, "make_release.py")
        key = hashlib.sha256()
        for part in (open(script, "rb").read(), str(megabytes).encode(), RECIPE.encode(),
                     "".join(tool_version(["7zz", "i"])).encode()):
            key.update(part)
        # Outside any home directory: nginx's workers read it as an unprivileged user.
        cache = os.environ.get("KORVEL_BENCH_CACHE") or f"/var/tmp/korvel-bench-{os.getuid()}"
        os.makedirs(cache, mode=0o755, exist_ok=True)
        os.chmod(cache, 0o755)
        self.tree = os.path.join(cache, f"{megabytes}MB-{key.hexdigest()[:16]}")
        self.build = build
        if not os.path.isfile(os.path.join(self.tree, "ready")):
            self._prepare(build, script, megabytes)
        self.packages = self.listed(os.path.join(self.tree, "www"), "1.0.0")
        self.largest_folder = int(open(os.path.join(self.tree, "largest-folder")).read())

    @staticmethod
    def listed(www, version):
        """The packages the manifest of version lists: (name, version, no, md5, path)."""
        packages = []
        tree = ElementTree.parse(os.path.join(www, "bin", "manifest", f"{version}.xml"))
        for p in tree.iter("Package"):
            name, v, no, md5 = (p.get(k) for k in ("name", "version", "no", "hash"))
            packages.append((name, v, no, md5,
                             os.path.join(www, "component", name, no, f"{name}_{no}.7z")))
        return packages

    def update_tree(self):
        """A server tree with versions 1.0.1 to 1.0.UPDATES besides 1.0.0 (prepared once)."""

        def one_line(i):
            def edit(source):
                n = (i * 1237) % 5000  # a different file each time, anywhere in src/
                rel = f"src/m{n % 50:02d}/s{n // 50:03d}/file{n:05d}.cpp"
                with open(os.path.join(source, rel), "rb") as f:
                    lines = f.read().split(b"\n")
                lines[len(lines) // 2] += f" // changed in 1.0.{i}".encode()
                return {rel: b"\n".join(lines)}
            return edit

        return self.derived_tree("www-update",
                                 [(f"1.0.{i}", one_line(i)) for i in range(1, UPDATES + 1)])

    def rebuilt_tree(self):
        """A server tree with, besides 1.0.0, 1.1.0 (which adds UPDATE_LIBRARIES) and 1.1.1 to
        1.1.REBUILDS, each rebuilding both libraries as bench/make_release.py's rebuilt does
        (prepared once; the publisher makes the patches)."""
        import make_release

        def libraries(rebuilds):
            def edit(source):
                files = {}
                for name, size in UPDATE_LIBRARIES:
                    rng = random.Random(size)
                    data = make_release.library(rng, size)
                    for _ in range(rebuilds):
                        data = make_release.rebuilt(data, rng)
                    files[name] = data
                return files
            return edit

        return self.derived_tree("www-rebuilt",
                                 [(f"1.1.{i}", libraries(i)) for i in range(REBUILDS + 1)])

    def derived_tree(self, name, versions):
        """A server tree named name with, besides 1.0.0, the versions (version, edit) published in
        their order (prepared once): edit(source) returns {path in the source: new bytes} for
        the version, whose version file changes too."""
        www = os.path.join(self.tree, name)
        ready = os.path.join(self.tree, f"{name}-ready")
        if os.path.isfile(ready):
            return www
        log(f"bench: publishing {', '.join(v for v, _ in versions)} in {www} (once; cached)")
        shutil.rmtree(www, ignore_errors=True)
        source = os.path.join(self.tree, f"source-{name}")
        shutil.rmtree(source, ignore_errors=True)
        # Links to the first version's files; the publisher replaces files, never writes into
        # them, and so does the change below.
        subprocess.run(["cp", "-al", os.path.join(self.tree, "www"), www], check=True)
        subprocess.run(["cp", "-al", os.path.join(self.tree, "source"), source], check=True)
        for version, edit in versions:
            changes = edit(source)
            changes["sample_version.txt"] = f"{version}\n".encode()
            for rel, data in changes.items():
                path = os.path.join(source, rel)
                with contextlib.suppress(FileNotFoundError):
                    os.remove(path)
                with open(path, "wb") as f:
                    f.write(data)
            subprocess.run([os.path.join(self.build, "korvel-publish"), "--version", version,
                            "--source", source, "--output", www, "--entry-file", ENTRY_FILE,
                            "--entry-function", ENTRY_FUNCTION], check=True,
                           stdout=subprocess.DEVNULL)
        shutil.rmtree(source)
        for root, dirs, _ in os.walk(www):
            os.chmod(root, 0o755)
        open(ready, "w").close()
        return www

    def _prepare(self, build, script, megabytes):
        log(f"bench: preparing a {megabytes} MB release in {self.tree} (once; cached)")
        shutil.rmtree(self.tree, ignore_errors=True)
        work = self.tree + ".work"
        shutil.rmtree(work, ignore_errors=True)
        source = os.path.join(work, "source")
        subprocess.run([sys.executable, script, source, str(megabytes)], check=True)
        shutil.copy(os.path.join(build, "Korvel.exe"), os.path.join(source, "Korvel.exe"))
        shutil.copy(os.path.join(build, "tools", "sample_client", "libsample_client.so"),
                    os.path.join(source, ENTRY_FILE))
        with open(os.path.join(source, "sample_version.txt"), "w") as f:
            f.write("1.0.0\n")
        www = os.path.join(self.tree, "www")
        subprocess.run([os.path.join(build, "korvel-publish"), "--version", "1.0.0",
                        "--source", source, "--output", www, "--entry-file", ENTRY_FILE,
                        "--entry-function", ENTRY_FUNCTION], check=True,
                       stdout=subprocess.DEVNULL)
        paths = [p[4] for p in self.listed(www, "1.0.0")]
        # The 256 MiB download: incompressible, deterministic.
        blob_dir = os.path.join(www, "component", "bench", "1")
        os.makedirs(blob_dir, exist_ok=True)
        rng = random.Random(256)
        with open(os.path.join(blob_dir, "bench_1.7z"), "wb") as f:
            for _ in range(DOWNLOAD_MIB):
                f.write(rng.randbytes(1 << 20))
        largest = subprocess.run([os.path.join(build, "bench", "korvel-bench-stage"),
                                  "largest-folder"] + paths,
                                 check=True, capture_output=True, text=True).stdout.strip()
        with open(os.path.join(self.tree, "largest-folder"), "w") as f:
            f.write(largest)
        # The source stays: the updates are made from it.
        os.rename(source, os.path.join(self.tree, "source"))
        shutil.rmtree(work, ignore_errors=True)
        for root, dirs, _ in os.walk(self.tree):  # nginx's workers read as another user
            os.chmod(root, 0o755)
        open(os.path.join(self.tree, "ready"), "w").close()


class Nginx:
    def __init__(self, root, work, logged=False, address=None, launcher=()):
        """Serves root on address (host, port), by default a free port on 127.0.0.1, once it
        answers there; launcher: what starts nginx (another network namespace's)."""
        self.work = os.path.join(work, "nginx")
        os.makedirs(os.path.join(self.work, "logs"))
        os.makedirs(os.path.join(self.work, "tmp"))
        if address:
            self.host, self.port = address
        else:
            self.host = "127.0.0.1"
            with socket.socket() as s:
                s.bind((self.host, 0))
                self.port = s.getsockname()[1]
        conf = os.path.join(self.work, "nginx.conf")
        w = self.work
        with open(conf, "w") as f:
            f.write(f"""daemon off;
worker_processes 1;
pid {w}/nginx.pid;
error_log {w}/logs/error.log;
events {{ worker_connections 64; }}
http {{
  log_format bench '$request_uri $status $body_bytes_sent';
  {f"access_log {w}/logs/access.log bench;" if logged else "access_log off;"}
  sendfile on;
  client_body_temp_path {w}/tmp/body;
  proxy_temp_path {w}/tmp/proxy;
  fastcgi_temp_path {w}/tmp/fastcgi;
  uwsgi_temp_path {w}/tmp/uwsgi;
  scgi_temp_path {w}/tmp/scgi;
  types {{ application/xml xml; application/x-7z-compressed 7z; }}
  server {{
    listen {self.host}:{self.port};
    root {root};
    location = /c.gif {{ return 200 ""; }}
  }}
}}
""")
        self.proc = subprocess.Popen([*launcher, "nginx", "-p", self.work, "-e",
                                      os.path.join(self.work, "logs", "error.log"), "-c", conf])
        for _ in range(100):
            try:
                socket.create_connection((self.host, self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise SystemExit("bench: nginx did not start")

    @property
    def url(self):
        return f"http://{self.host}:{self.port}"

    def requests(self):
        """(target, status, body bytes) of every request so far (with logged=True)."""
        with open(os.path.join(self.work, "logs", "access.log")) as f:
            return [(t, int(c), int(n)) for t, c, n in (line.split() for line in f)]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(3)  # SIGQUIT: graceful stop of master and workers
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Bench:
    def __init__(self, build, work, release, nginx):
        self.build, self.work, self.release, self.nginx = build, work, release, nginx
        self.stage = os.path.join(build, "bench", "korvel-bench-stage")
        self.runs = 0

    def fresh(self, name):
        """A new path below the work directory. Nothing is deleted between runs: ext4 avoids
        reusing the inodes of files deleted moments ago and searches for others, which made
        every extraction after a deletion of 10,000 files slower by seconds, and by chance."""
        self.runs += 1
        return os.path.join(self.work, f"{name}-{self.runs}")

    def home(self, name):
        """A fresh per-run HOME with XDG paths inside it; returns (env, data directory)."""
        home = self.fresh(name)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "KORVEL_"))}
        env.update(HOME=home, XDG_DATA_HOME=f"{home}/.local/share",
                   XDG_CONFIG_HOME=f"{home}/.config", XDG_CONFIG_DIRS=f"{home}/etc-xdg",
                   TMPDIR=f"{home}/tmp", KORVEL_HEADLESS="1")
        for s in ("CATALOGUE", "COMPONENT", "PACKAGE", "STATS"):
            env[f"KORVEL_{s}_SERVER"] = self.nginx.url
        for d in ("Desktop", ".local/share", ".config", "etc-xdg", "tmp"):
            os.makedirs(os.path.join(home, d), exist_ok=True)
        return env, f"{home}/.local/share/ostrel/korvel"

    # --- the stages, ours and the reference --------------------------------------------------
    def download_block(self, first_ours):
        """Timed downloads of the 256 MiB package, back to back as a plain loop runs them: ours
        (hashing included), ours as a build with release keys downloads (SHA-256 and the signed
        size beside the MD5), curl -o and md5sum of the same bytes, twice each, after one
        untimed transfer, and nothing deleted until the block ends. Ours digests on a second
        thread beside the transfer, so it needs both cores where curl and md5sum need one:
        whatever else runs meanwhile (the previous stage's leftovers, another user) costs it
        up to the whole digest time (on a busy machine it took as long pinned to one core as
        free), and a figure taken against curl alone, at another moment, moved with it.
        Against the slower of the two, measured in the same block, the figure says what it
        should: how close ours comes to the best it can do."""
        url = f"{self.nginx.url}/component/bench/1/bench_1.7z"
        run(["curl", "-s", "-f", "-o", "/dev/null", url])
        ours, signed, curl, md5 = [], [], [], []
        homes, outs = [], []

        def stage(into, *signed_content):
            env, _ = self.home("dl-ours")
            homes.append(env["HOME"])
            into.append(run([self.stage, "download", "bench", "1", "1", self.download_md5,
                             *signed_content], env)[0])

        for k in range(2):
            outs.append(self.fresh("dl-curl") + ".7z")
            steps = [lambda: stage(ours),
                     lambda: stage(signed, self.download_sha256, str(self.download_size)),
                     lambda: curl.append(run(["curl", "-s", "-f", "-o", outs[-1], url])[0])]
            if (k == 0) != first_ours:
                steps.reverse()
            for step in steps:
                step()
            md5.append(run(["md5sum", self.download_file])[0])
        for home in homes:
            shutil.rmtree(home)
        for out in outs:
            os.remove(out)
        return ours, signed, curl, md5

    def verify_ours(self):
        return run([self.stage, "verify", self.download_file, self.download_md5])[0]

    def verify_reference(self):
        return run(["md5sum", self.download_file])[0]

    def extract_ours(self):
        dest = self.fresh("x-ours")
        return run([self.stage, "extract", dest] + [p[4] for p in self.release.packages])[0]

    def extract_reference(self):
        # One 7zz for all the packages, as ours is one process: a start per package would
        # count against the reference.
        dest = self.fresh("x-7zz")
        return (run(["7zz", "x", "-mmt1", "-bd", "-bso0", "-bsp0", "-spd", f"-o{dest}", "-an"]
                    + [f"-ai!{p[4]}" for p in self.release.packages])[0]
                + run(["sync", "-f", dest])[0])

    def road(self):
        """The whole install road; returns (seconds net of the pause, peak KiB, sum of stages)."""
        env, data = self.home("road")
        installer = os.path.join(self.work, "installer", "Korvel.exe")
        seconds, peak = run([installer], env, lock=True)
        if not os.path.isfile(os.path.join(data, "1.0.0", "manifest.xml")):
            raise SystemExit("bench: the road did not install the release")
        self.installed, self.launch_env = data, env
        # The launcher under test is the one just built, not the release's copy.
        shutil.copy(os.path.join(self.build, "Korvel.exe"), os.path.join(data, "Korvel.exe"))
        # Our stages on the same release, each as its own process: every package downloaded
        # (hashing included) into a fresh store, then extracted with the flush.
        env, _ = self.home("road-stages")
        stages = run([self.stage, "download"] + [w for p in self.release.packages for w in p[:4]],
                     env)[0]
        store = os.path.join(env["XDG_DATA_HOME"], "ostrel", "korvel", "packages")
        dest = self.fresh("road-stages-x")
        stages += run([self.stage, "extract", dest] + [os.path.join(store, p[0], f"{p[1]}.7z")
                                                      for p in self.release.packages])[0]
        return seconds - DESIGNED_PAUSE_S, peak, stages

    def update(self, env, data):
        """The update of an installed data directory; returns (seconds net of the pause,
        bytes the update wrote)."""
        # The launcher under test is the one just built; each update puts the release's own
        # launcher in its place.
        launcher = os.path.join(data, "Korvel.exe")
        with contextlib.suppress(FileNotFoundError):
            os.remove(launcher + ".pending")
        shutil.copy(os.path.join(self.build, "Korvel.exe"), launcher)
        written = []
        seconds = run([launcher, "update"], env, lock=True, written=written)[0]
        return seconds - DESIGNED_PAUSE_S, written[0]

    def launch_pair(self, reverse):
        version_dir = os.path.join(self.installed, "1.0.0")
        ours = lambda: run([os.path.join(self.installed, "Korvel.exe")], self.launch_env)[0]
        ref = lambda: run([os.path.join(self.build, "bench", "launch_reference"),
                           os.path.join(version_dir, ENTRY_FILE), ENTRY_FUNCTION],
                          self.launch_env)[0]
        if reverse:
            r = ref()
            return ours(), r
        return ours(), ref()

    def prepare(self):
        os.makedirs(os.path.join(self.work, "installer"))
        shutil.copy(os.path.join(self.build, "Korvel.exe"), os.path.join(self.work, "installer"))

    def prepare_download(self):
        self.download_file = os.path.join(self.release.tree, "www", "component", "bench", "1",
                                          "bench_1.7z")
        self.download_md5 = md5_of(self.download_file)
        h = hashlib.sha256()
        with open(self.download_file, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
        self.download_sha256 = h.hexdigest()
        self.download_size = os.path.getsize(self.download_file)

    def measure(self, rounds):
        pairs = [("verify", self.verify_ours, self.verify_reference),
                 ("extract", self.extract_ours, self.extract_reference)]
        results = {name: ([], []) for name, _, _ in pairs}
        results["download"] = ([], [], [], [])
        road, peaks, stage_sums, launch = [], [], [], ([], [])
        for r in range(rounds):
            for into, times in zip(results["download"], self.download_block(r % 2 == 0)):
                into.extend(times)
            for name, ours, ref in pairs:
                # Alternate who goes first, so neither always meets a warmer cache.
                if r % 2 == 0:
                    results[name][0].append(ours())
                    results[name][1].append(ref())
                else:
                    results[name][1].append(ref())
                    results[name][0].append(ours())
            net, peak, stages = self.road()
            road.append(net)
            peaks.append(peak)
            stage_sums.append(stages)
            for i in range(20):
                o, f = self.launch_pair(reverse=(i % 2 == 1))
                launch[0].append(o)
                launch[1].append(f)
            log(f"bench: round {r + 1}/{rounds} done")
        return results, road, peaks, stage_sums, launch


def table(results, road, peaks, stage_sums, launch, release, rounds, load):
    med = statistics.median
    rows = []
    ratios = {}
    # A download that hashes what it receives takes as long as the slower of the two at best;
    # the target is a limit on ours against that, in the same run.
    ours, signed, curl, md5 = (med(t) for t in results["download"])
    slower = max(curl, md5)
    ratios["download"] = ours / slower
    ratios["signed"] = signed / slower
    rows.append(("download", f"{ours:8.3f} s", f"{slower:8.3f} s", f"{ratios['download']:6.2f}",
                 f"slower of curl -o ({curl:.3f} s) and md5sum ({md5:.3f} s), {DOWNLOAD_MIB} MiB;"
                 f" limit {DOWNLOAD_LIMIT:.2f}"))
    rows.append(("signed", f"{signed:8.3f} s", f"{slower:8.3f} s", f"{ratios['signed']:6.2f}",
                 "the same, ours with SHA-256 and size beside MD5"))
    refs = {"verify": "md5sum", "extract": "7zz x -mmt1 + sync -f"}
    for name in ("verify", "extract"):
        ours, ref = med(results[name][0]), med(results[name][1])
        ratios[name] = ref / ours
        rows.append((name, f"{ours:8.3f} s", f"{ref:8.3f} s", f"{ratios[name]:6.2f}", refs[name]))
    net, stages = med(road), med(stage_sums)
    ratios["road"] = net / stages
    rows.append(("road", f"{net:8.3f} s", f"{stages:8.3f} s", f"{ratios['road']:6.2f}",
                 f"sum of our stages (road net of the {DESIGNED_PAUSE_S * 1000:.0f} ms pause)"))
    peak = max(peaks) / 1024.0
    bound = release.largest_folder / 1048576.0 + MEMORY_SLACK_MIB
    ratios["memory"] = peak / bound
    rows.append(("memory", f"{peak:6.1f} MiB", f"{bound:6.1f} MiB", f"{ratios['memory']:6.2f}",
                 f"largest folder ({release.largest_folder / 1048576.0:.1f} MiB) + {MEMORY_SLACK_MIB} MiB"))
    ours, ref = med(launch[0]) * 1000, med(launch[1]) * 1000
    extra = ours - ref
    rows.append(("launch", f"{ours:7.1f} ms", f"{ref:7.1f} ms", f"+{extra:.1f} ms",
                 "dlopen + call in a minimal C program"))
    print(f"medians of {rounds} interleaved rounds (launch: {len(launch[0])} starts each);"
          f" load average (1 min) before {load[0]:.2f}, after {load[1]:.2f}")
    print(f"{'stage':<10}{'ours':>14}{'reference':>14}{'ratio':>9}  reference")
    for row in rows:
        print(f"{row[0]:<10}{row[1]:>14}{row[2]:>14}{row[3]:>9}  {row[4]}")
    print(f"ratios: download={ratios['download']:.2f}(limit {DOWNLOAD_LIMIT:.2f}) verify={ratios['verify']:.2f} "
          f"extract={ratios['extract']:.2f} road={ratios['road']:.2f} "
          f"memory={ratios['memory']:.2f} launch_extra_ms={extra:.0f} signed={ratios['signed']:.2f}(limit {DOWNLOAD_LIMIT:.2f})")


@contextlib.contextmanager
def served(build, release, www=None, **nginx_options):
    """A prepared Bench over release (or the tree www), served by a private nginx (see Nginx
    for the options) for the time of the block."""
    with tempfile.TemporaryDirectory(prefix="korvel-bench.") as work:
        os.chmod(work, 0o755)  # nginx's workers read the tree as an unprivileged user
        nginx = Nginx(www or os.path.join(release.tree, "www"), work, logged=www is not None,
                      **nginx_options)
        try:
            bench = Bench(build, work, release, nginx)
            bench.prepare()
            yield bench
        finally:
            nginx.stop()


def scale_run(build, rounds):
    print(f"{'release':>8}{'packed':>10}{'largest folder':>16}{'road':>10}{'per 100 MB':>12}"
          f"{'peak memory':>13}")
    for megabytes in (50, 200, 800):
        release = Release(build, megabytes)
        with served(build, release) as bench:
            road, peaks = [], []
            for _ in range(rounds):
                env, data = bench.home("road")
                seconds, peak = run([os.path.join(bench.work, "installer", "Korvel.exe")], env,
                                    lock=True)
                road.append(seconds - DESIGNED_PAUSE_S)
                peaks.append(peak)
        packed = sum(os.path.getsize(p[4]) for p in release.packages) / 1048576.0
        net = statistics.median(road)
        print(f"{megabytes:>5} MB{packed:>7.0f} MiB{release.largest_folder / 1048576.0:>12.0f} MiB"
              f"{net:>9.2f}s{net / megabytes * 100:>11.2f}s{max(peaks) / 1024.0:>9.1f} MiB",
              flush=True)


def list_only(www, version):
    """Makes the catalogue list version alone, as the vendor's server would after its release."""
    path = os.path.join(www, "bin", "versions.xml")
    with open(path + ".new", "w") as f:
        f.write(f'<?xml version="1.0" encoding="UTF-8"?>\n<Versions>\n'
                f'    <Version version="{version}"/>\n</Versions>\n')
    os.rename(path + ".new", path)


def update_run(build, rounds):
    """The update road on the bench release: a first install, an update with nothing new, and
    UPDATES updates that each change one line of one source file and the version file."""
    release = Release(build, 200)
    www = release.update_tree()
    med = statistics.median
    with served(build, release, www) as bench:
        installer = os.path.join(bench.work, "installer", "Korvel.exe")
        update = bench.update
        installs, noops, writes = [], [], []
        for _ in range(rounds):
            list_only(www, "1.0.0")
            env, data = bench.home("update")
            installs.append(run([installer], env, lock=True)[0] - DESIGNED_PAUSE_S)
            footprint = disk_use(data)
            seconds, written = update(env, data)
            noops.append(seconds)
            writes.append(written)
        fetched = []
        for i in range(1, UPDATES + 1):
            version = f"1.0.{i}"
            list_only(www, version)
            seen = len(bench.nginx.requests())
            update(env, data)
            if not os.path.isfile(os.path.join(data, version, "manifest.xml")):
                raise SystemExit(f"bench: the update did not install {version}")
            fetched.append(sum(n for t, c, n in bench.nginx.requests()[seen:] if t.endswith(".7z")))
        disk = disk_use(data)
        listed = sum(os.path.getsize(p[4]) for p in Release.listed(www, "1.0.1"))
    rebuilt = rebuilt_run(build, release)
    install, noop = med(installs), med(noops)
    mib = 1048576.0
    print(f"update road on the {200} MB release (medians of {rounds} installs and updates with"
          f" nothing new; {UPDATES} one-line updates); times net of the"
          f" {DESIGNED_PAUSE_S * 1000:.0f} ms pause")
    print(f"  first install          {install:8.3f} s")
    print(f"  update, nothing new    {noop:8.3f} s, {med(writes) / mib:8.1f} MiB written")
    print(f"  one-line update        {fetched[0] / mib:8.2f} MiB fetched of {listed / mib:.1f} MiB"
          f" listed (each: {' '.join(f'{b / mib:.2f}' for b in fetched)} MiB)")
    print(f"  disk use               {footprint / mib:8.1f} MiB after the install,"
          f" {disk / mib:.1f} MiB after {UPDATES} updates")
    print("  rebuilt libraries      fetched of their packages; applying their patches: time, peak"
          " memory added; the whole update (a new version directory): time, peak memory")
    for label, lib_fetched, cost, seconds, peak_kib, apply_s, apply_kib in rebuilt:
        print(f"  {label:22} {lib_fetched / mib:8.2f} MiB of {cost / mib:.1f} MiB"
              f" ({100 * lib_fetched / cost:.2f} %); {apply_s:.2f} s, {apply_kib / 1024:.1f} MiB;"
              f" {seconds:.2f} s, {peak_kib / 1024:.1f} MiB")
    print(f"update-ratios: fetched={fetched[0] / listed:.4f} nothing_new_time={noop / install:.2f}"
          f" nothing_new_written_mib={med(writes) / mib:.1f} disk={disk / footprint:.2f}"
          f" rebuilt_one_behind={rebuilt[0][1] / rebuilt[0][2]:.4f}"
          f" rebuilt_three_behind={rebuilt[1][1] / rebuilt[1][2]:.4f}")


def rebuilt_run(build, release):
    """Updates whose libraries were rebuilt (Release.rebuilt_tree): from 1.1.0 to 1.1.1 (one
    behind) and to 1.1.REBUILDS (three behind), each from a fresh install of 1.1.0. Returns, per
    case, (label, bytes fetched for the libraries: their patches, or their packages where a patch
    was not taken; the libraries' full package cost; the update's seconds net of the pause; the
    update's peak resident KiB; the time of applying the libraries' patches again alone, and the
    most memory that applying one added)."""
    www = release.rebuilt_tree()
    names = tuple(name for name, _ in UPDATE_LIBRARIES)
    rows = []
    with served(build, release, www) as bench:
        installer = os.path.join(bench.work, "installer", "Korvel.exe")
        for label, version in (("one behind", "1.1.1"), ("three behind", f"1.1.{REBUILDS}")):
            list_only(www, "1.1.0")
            env, data = bench.home("rebuilt")
            run([installer], env, lock=True)
            list_only(www, version)
            seen = len(bench.nginx.requests())
            launcher = os.path.join(data, "Korvel.exe")
            shutil.copy(os.path.join(build, "Korvel.exe"), launcher)
            seconds, peak = run([launcher, "update"], env, lock=True)
            if not os.path.isfile(os.path.join(data, version, "manifest.xml")):
                raise SystemExit(f"bench: the update did not install {version}")
            lib_fetched = sum(n for t, c, n in bench.nginx.requests()[seen:]
                              if t.split("/")[-1].startswith(tuple(f"{n}_" for n in names)))
            cost = sum(os.path.getsize(p[4]) for p in Release.listed(www, version) if p[0] in names)
            # The patches the update took, applied again alone to the installed libraries: what
            # the update spent on them, which its own figures mix with the new directory's.
            apply_s, apply_kib = 0.0, 0
            for target, _, _ in bench.nginx.requests()[seen:]:
                if not target.endswith(".kvpatch"):
                    continue
                name = target.split("/")[2]
                start = time.perf_counter()
                out = subprocess.run([os.path.join(build, "bench", "korvel-bench-patch"), "apply",
                                      os.path.join(data, "1.1.0", name), os.path.join(www, target[1:]),
                                      os.path.join(bench.work, "applied")],
                                     check=True, capture_output=True, text=True).stdout
                kib = stage_kib(out)
                apply_s += time.perf_counter() - start
                apply_kib = max(apply_kib, kib["resident"] - kib["applying"])
            rows.append((label, lib_fetched, cost, seconds - DESIGNED_PAUSE_S, peak, apply_s, apply_kib))
    return rows


def package_cost(build, path, work):
    """The bytes of the packages the publisher makes of the file at path alone, and their paths."""
    source, www = os.path.join(work, "source"), os.path.join(work, "www")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(source)
    os.link(path, os.path.join(source, ENTRY_FILE))
    subprocess.run([os.path.join(build, "korvel-publish"), "--version", "1", "--source", source,
                    "--output", www, "--entry-file", ENTRY_FILE, "--entry-function", ENTRY_FUNCTION],
                   check=True, stdout=subprocess.DEVNULL)
    paths = [p[4] for p in Release.listed(www, "1")]
    return sum(os.path.getsize(p) for p in paths), paths


def patch_run(build, pairs, windows=None):
    """Binary patches of rebuilt libraries (bench/make_release.py's library and rebuilt): for each
    of PATCH_LIBRARIES a patch from the first version to the next (one behind) and, where there
    are three rebuilds, to the last (three behind), plus every PAIR directory given (files old
    and new). Reports the patch against the file's full package cost (what the publisher packs
    it into), the time and peak memory of making and of applying it (whole processes), and the
    time of fetching the patch and applying it against fetching the packages and extracting
    them, on a 100 Mbit/s link. With windows (a build of scripts/build windows), each patch is
    applied again by that build's stage under Wine: the time applying took and the peak memory
    of the whole process, and of it what applying added (Wine's own share comes before)."""
    import make_release
    key = hashlib.sha256(open(os.path.join(BENCH, "make_release.py"), "rb").read() + b"patch-1")
    cache = os.environ.get("KORVEL_BENCH_CACHE") or f"/var/tmp/korvel-bench-{os.getuid()}"
    tree = os.path.join(cache, f"patch-{key.hexdigest()[:16]}")
    os.makedirs(tree, exist_ok=True)
    cases = []
    for name, size, rebuilds in PATCH_LIBRARIES:
        paths = [os.path.join(tree, f"{name}-v{i}") for i in range(rebuilds + 1)]
        if not all(os.path.isfile(p) for p in paths):
            log(f"bench: writing {name} and {rebuilds} rebuilds of it (once; cached)")
            rng = random.Random(size)
            data = make_release.library(rng, size)
            for p in paths:
                with open(p + ".new", "wb") as f:
                    f.write(data)
                os.rename(p + ".new", p)
                data = make_release.rebuilt(data, rng)
        cases.append((f"{name}, one behind", paths[0], paths[1]))
        if rebuilds >= 3:
            cases.append((f"{name}, three behind", paths[0], paths[3]))
    for pair in pairs:
        cases.append((os.path.basename(os.path.normpath(pair)), os.path.join(pair, "old"),
                      os.path.join(pair, "new")))

    def staged(*args):
        # The stage reports its own peak memory: a child's ru_maxrss would count what this
        # process held when it forked.
        start = time.perf_counter()
        out = subprocess.run([stage, *args], check=True, capture_output=True, text=True).stdout
        seconds = time.perf_counter() - start
        kib = stage_kib(out)
        return seconds, kib["resident"], kib.get("applying", 0)

    stage = os.path.join(build, "bench", "korvel-bench-patch")
    extract = os.path.join(build, "bench", "korvel-bench-stage")
    mib = 1048576.0
    rows, win_rows = [], []
    with tempfile.TemporaryDirectory(prefix="korvel-bench-patch-", dir="/var/tmp") as work:
        patch, out = os.path.join(work, "patch"), os.path.join(work, "out")
        for label, base, result in cases:
            log(f"bench: {label}")
            os.sync()
            make_s, make_kib, _ = staged("make", base, result, patch)
            os.sync()
            apply_s, apply_kib, before_kib = staged("apply", base, patch, out)
            if not filecmp.cmp(out, result, shallow=False):
                raise SystemExit(f"bench: the patch for {label} did not give the result back")
            cost, packages = package_cost(build, result, os.path.join(work, "publish"))
            extract_s = run([extract, "extract", os.path.join(work, f"x-{len(rows)}")] + packages)[0]
            size = os.path.getsize(patch)
            rows.append((label, os.path.getsize(result), size, cost, make_s, make_kib, apply_s,
                         apply_kib, apply_kib - before_kib, size / PATCH_LINK_BYTES_PER_S + apply_s,
                         cost / PATCH_LINK_BYTES_PER_S + extract_s))
            shutil.rmtree(os.path.join(work, f"x-{len(rows) - 1}"))
            if windows:
                os.remove(out)
                kib, ms = windows_apply(windows, work, base, patch, out)
                if not filecmp.cmp(out, result, shallow=False):
                    raise SystemExit(f"bench: the Windows patch stage for {label} did not give the result back")
                win_rows.append((label, ms / 1000, kib["resident"], kib["resident"] - kib["applying"],
                                 kib["private"]))
    print("binary patches of rebuilt libraries (peak memory of the whole process; of it, what applying"
          " added; fetch at 100 Mbit/s)")
    print(f"  {'case':22} {'file':>9} {'patch':>10} {'of pkg':>7} {'make':>7} {'make mem':>9}"
          f" {'apply':>6} {'apply mem':>9} {'added':>7} {'fetch+apply':>11} {'fetch+extract':>13}")
    for label, size, patch_size, cost, ms, mk, as_, ak, added, ours, full in rows:
        print(f"  {label:22} {size / mib:7.1f}Mi {patch_size / 1024:8.1f}Ki {100 * patch_size / cost:6.2f}%"
              f" {ms:6.1f}s {mk / 1024:7.0f}Mi {as_:5.2f}s {ak / 1024:7.1f}Mi {added / 1024:5.1f}Mi"
              f" {ours:10.2f}s {full:12.2f}s")
    if win_rows:
        print(f"the Windows build's applier under Wine ({windows})")
        print(f"  {'case':22} {'apply':>6} {'apply mem':>9} {'added':>7} {'private':>8}")
        for label, seconds, peak, added, private in win_rows:
            print(f"  {label:22} {seconds:5.2f}s {peak / 1024:7.1f}Mi {added / 1024:5.1f}Mi {private / 1024:6.1f}Mi")
        print("  apply mem: the peak working set (Wine's own runtime and the program's image in it);"
              " private: the peak of the memory the process committed for itself")
    one = [r for r in rows if r[0].endswith("one behind")]
    three = [r for r in rows if r[0].endswith("three behind")]
    print("patch-ratios: " + " ".join(
        [f"one_behind_max={max(r[2] / r[3] for r in one):.4f}"] +
        ([f"three_behind_max={max(r[2] / r[3] for r in three):.4f}"] if three else []) +
        [f"apply_peak_mib_max={max(r[7] for r in rows) / 1024:.1f}",
         f"apply_vs_full_max={max(r[9] / r[10] for r in rows):.3f}"] +
        ([f"windows_apply_peak_mib_max={max(r[2] for r in win_rows) / 1024:.1f}",
          f"windows_apply_added_mib_max={max(r[3] for r in win_rows) / 1024:.1f}",
          f"windows_apply_private_mib_max={max(r[4] for r in win_rows) / 1024:.1f}"] if win_rows else [])))


def windows_apply(windows, work, base, patch, out):
    """Applies patch to base into out with the Windows build's stage under Wine, in a Wine prefix
    made once per run; returns (its KiB figures, the milliseconds applying took)."""
    template = os.path.join(work, "wine-template")
    if not os.path.isfile(os.path.join(template, "system.reg")):
        subprocess.run([os.path.join(ROOT, "scripts", "wine-prefix"), template], check=True,
                       stdout=subprocess.DEVNULL)
    os.sync()
    proc = subprocess.run([os.path.join(ROOT, "scripts", "wine-run"),
                           os.path.join(windows, "bench", "korvel-bench-patch.exe"), "apply", base, patch, out],
                          env=dict(os.environ, KORVEL_WINE_TEMPLATE=template), capture_output=True, text=True)
    if proc.returncode != 0:
        raise SystemExit(f"bench: the Windows patch stage failed: {proc.stdout}{proc.stderr}")
    ms = next(int(line.split()[1]) for line in proc.stdout.splitlines() if line.startswith("applying "))
    return stage_kib(proc.stdout), ms


def stage_kib(out):
    """The memory figures the patch stage printed ("peak resident N KiB", "before applying N KiB",
    "peak private N KiB"), by the word before the number: resident, applying, private."""
    return {line.split()[-3]: int(line.split()[-2]) for line in out.splitlines() if line.endswith(" KiB")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--scale", action="store_true")
    parser.add_argument("--update", action="store_true")
    parser.add_argument("--patch", nargs="*", metavar="PAIR")
    parser.add_argument("--windows", metavar="BUILD")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    if args.patch is not None:
        patch_run(build, args.patch, args.windows and os.path.abspath(args.windows))
        return
    if args.update:
        update_run(build, max(3, args.rounds if args.rounds != 5 else 3))
        return
    if args.scale:
        scale_run(build, max(3, args.rounds if args.rounds != 5 else 3))
        return
    release = Release(build, 200)
    load_before = os.getloadavg()[0]
    with served(build, release) as bench:
        bench.prepare_download()
        measured = bench.measure(max(5, args.rounds))
    table(*measured, release, max(5, args.rounds), (load_before, os.getloadavg()[0]))


if __name__ == "__main__":
    main()
