#!/usr/bin/env python3
"""The hiltpush benchmark: upload cost beside its floors and a Python peer,
the paced upload, several files in one run against separate runs,
discovery, the idle cost of waits, start-up, the instructions the trace
adds to the Windows upload's byte loop (under callgrind), and the Windows
build under Wine where it applies. Prints one table of medians (with
min and max) over several runs. Run it through scripts/bench.

It is a measurement, not a test: it judges against the targets only to mark
them in the table.
"""
import argparse
import os
import platform
import pty
import re
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

UPLOAD_SIZE = 1024 * 1024
# The Windows build under Wine takes about 200 s per MiB: a smaller file
# keeps its pair of uploads (with and without the trace) to a few minutes.
WINE_UPLOAD_SIZE = 128 * 1024
# Bytes counted under callgrind: enough for the 4096-byte trace lines to show
# at their share.
COUNTED_BYTES = 256 * 1024
PACED_SIZE = 64 * 1024
PACED_RATE = 11520
FONT_FILES = 20
FONT_FILE_SIZE = 4 * 1024


class Run:
    """One finished process: wall time, CPU time, exit status, output lines
    with the time each line end arrived (seconds after the start)."""

    def __init__(self):
        self.wall = 0.0
        self.cpu = 0.0
        self.status = None
        self.lines = []
        self.out = b""
        self.err = b""

    def line_time(self, predicate):
        for t, text in self.lines:
            if predicate(text):
                return t
        return None


def finish(proc, start, run):
    _, status, usage = os.wait4(proc.pid, 0)
    run.wall = time.monotonic() - start
    run.cpu = usage.ru_utime + usage.ru_stime
    run.status = os.waitstatus_to_exitcode(status)
    proc.returncode = run.status
    return run


def run_piped(argv, env=None, cwd=None, limit=120.0):
    """Runs argv with stdout on a pipe, timing each line as it arrives."""
    run = Run()
    with tempfile.TemporaryFile() as err:
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err,
                                env=env, cwd=cwd)
        fd = proc.stdout.fileno()
        pending = b""
        while True:
            left = start + limit - time.monotonic()
            if left <= 0:
                proc.kill()
                break
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            now = time.monotonic() - start
            run.out += chunk
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                # Progress text is rewritten in place with CRs; a line is what
                # follows the last CR (a console shows that).
                text = line.rstrip(b"\r").decode("latin-1")
                run.lines.append((now, text))
        proc.stdout.close()
        finish(proc, start, run)
        err.seek(0)
        run.err = err.read()
        return run


class Sim:
    """A running saber-sim; its pseudo-terminal's path is the first line it
    prints."""

    def __init__(self, exe, args, env=None):
        self.proc = subprocess.Popen([exe] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        ready, _, _ = select.select([self.proc.stdout], [], [], 30)
        if not ready:
            self.stop()
            raise RuntimeError("saber-sim did not start")
        self.path = self.proc.stdout.readline().decode().strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class Stats:
    def __init__(self, values):
        self.values = [v for v in values if v is not None]

    def fmt(self, scale=1.0, digits=2):
        if not self.values:
            return "n/a"
        med = statistics.median(self.values) * scale
        lo = min(self.values) * scale
        hi = max(self.values) * scale
        return f"{med:.{digits}f} ({lo:.{digits}f} .. {hi:.{digits}f})"

    def median(self):
        return statistics.median(self.values) if self.values else None


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="hp-bench.")
        self.rows = []  # (section, measure, text, target, verdict)
        self.upload_file = os.path.join(self.work, "upload.bin")
        self.paced_file = os.path.join(self.work, "paced.bin")
        with open(self.upload_file, "wb") as f:
            f.write(os.urandom(UPLOAD_SIZE))
        with open(self.paced_file, "wb") as f:
            f.write(os.urandom(PACED_SIZE))
        self.wine_upload_file = os.path.join(self.work, "wine-upload.bin")
        with open(self.wine_upload_file, "wb") as f:
            f.write(os.urandom(WINE_UPLOAD_SIZE))
        self.map_dir = os.path.join(self.work, "map")
        # A small font, and the same number of empty files: the cost of a
        # file beyond its bytes.
        self.font, self.empty = [], []
        for folder, size, into in (("font", FONT_FILE_SIZE, self.font), ("empty", 0, self.empty)):
            os.makedirs(os.path.join(self.work, folder))
            for i in range(FONT_FILES):
                into.append(os.path.join(folder, f"sound{i:02}.wav"))
                with open(os.path.join(self.work, into[-1]), "wb") as f:
                    f.write(os.urandom(size))
        # The font's bytes as one file: what the bytes alone cost.
        self.font_whole = "font-in-one.bin"
        with open(os.path.join(self.work, self.font_whole), "wb") as f:
            f.write(os.urandom(FONT_FILES * FONT_FILE_SIZE))

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def row(self, section, measure, text, target="", ok=None):
        verdict = "" if ok is None else ("met" if ok else "MISSED")
        self.rows.append((section, measure, text, target, verdict))
        print(f"  {measure}: {text} {target} {verdict}", file=sys.stderr, flush=True)

    # -- Linux ---------------------------------------------------------------

    def native_env(self):
        env = dict(os.environ)
        env["HILTPUSH_SERIALCOMM"] = self.map_dir
        return env

    def fresh_map(self):
        shutil.rmtree(self.map_dir, ignore_errors=True)
        os.makedirs(self.map_dir)

    def sim(self, extra=(), index=0):
        return Sim(self.args.saber_sim, ["--device-map", self.map_dir, "--index", str(index),
                                         "--free", "1000000000"] + list(extra))

    def hiltpush_upload(self, path, sim_extra=(), options=()):
        self.fresh_map()
        with self.sim(sim_extra):
            return run_piped([self.args.hiltpush, "-s", *options, path], env=self.native_env(), cwd=self.work)

    def upload_cost(self):
        n = self.args.runs
        hp, traced, per_byte, whole, peer = [], [], [], [], []
        trace_file = os.path.join(self.work, "trace.txt")
        for _ in range(n):
            for options, into in (((), hp), (("--trace=" + trace_file,), traced)):
                r = self.hiltpush_upload(self.upload_file, options=options)
                if r.status != 0 or "OK, Write Complete" not in r.out.decode("latin-1"):
                    raise RuntimeError("hiltpush upload failed:\n" + r.out.decode("latin-1"))
                into.append(r)
            for mode, into in (("per-byte", per_byte), ("whole", whole)):
                self.fresh_map()
                with self.sim() as s:
                    r = run_piped([self.args.floor_writer, mode, s.path, self.upload_file])
                if r.status != 0:
                    raise RuntimeError(f"floor writer ({mode}) failed: {r.out!r}")
                into.append(r)
            self.fresh_map()
            with self.sim() as s:
                r = run_piped([self.args.python, self.args.peer, s.path, self.upload_file])
            if r.status != 0:
                raise RuntimeError(f"pyserial peer failed: {r.out!r}")
            peer.append(r)
        us = 1e6 / UPLOAD_SIZE
        sec = "Upload 1 MiB, no line-rate limit (Linux)"
        for name, runs in (("hiltpush", hp), ("hiltpush --trace=FILE", traced), ("floor: one write per byte", per_byte),
                           ("floor: one write of everything", whole), ("python3-serial peer", peer)):
            self.row(sec, f"{name}: wall time, s", Stats([r.wall for r in runs]).fmt(digits=3))
            self.row(sec, f"{name}: CPU (user+sys), us/byte", Stats([r.cpu for r in runs]).fmt(us, 3))
        hp_cpu = Stats([r.cpu for r in hp]).median()
        traced_cpu = Stats([r.cpu for r in traced]).median()
        self.row(sec, "hiltpush CPU with the trace / without", f"{traced_cpu / hp_cpu:.2f}", "<= 1.1",
                 traced_cpu <= 1.1 * hp_cpu)
        floor_cpu = Stats([r.cpu for r in per_byte]).median()
        peer_cpu = Stats([r.cpu for r in peer]).median()
        self.row(sec, "hiltpush CPU / per-byte floor", f"{hp_cpu / floor_cpu:.2f}", "<= 1.5",
                 hp_cpu <= 1.5 * floor_cpu)
        self.row(sec, "hiltpush CPU / python3-serial peer", f"{hp_cpu / peer_cpu:.2f}", "<= 0.5",
                 hp_cpu <= 0.5 * peer_cpu)

    def instructions(self):
        """The Windows upload's byte loop over a driver that costs nothing,
        counted in instructions (repeatable under any load): without the
        trace, with each of its two parts, and with both."""
        if not self.args.comm_trace_cost or not shutil.which("valgrind"):
            print("  (no valgrind or no comm-trace-cost: skipped)", file=sys.stderr, flush=True)
            return
        sec = f"Instructions per byte, Windows byte loop over a null driver, {COUNTED_BYTES // 1024} KiB (callgrind)"
        per_byte = {}
        for mode, name in (("plain", "no trace"), ("hook", "serial object's trace hook only"),
                           ("recorder", "driver answers recorded only"),
                           ("traced", "trace on (hook and recorder, as --trace=FILE)")):
            trace = os.path.join(self.work, f"counted-{mode}.txt")
            r = subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=*SendBytes*",
                                "--callgrind-out-file=" + os.path.join(self.work, f"callgrind.{mode}"),
                                self.args.comm_trace_cost, mode, str(COUNTED_BYTES), trace],
                               capture_output=True, text=True)
            found = re.search(r"Collected : (\d+)", r.stderr)
            if r.returncode != 0 or not found:
                raise RuntimeError(f"comm-trace-cost {mode} failed:\n{r.stderr}")
            per_byte[mode] = int(found.group(1)) / COUNTED_BYTES
            self.row(sec, f"{name}: instructions per byte", f"{per_byte[mode]:.1f}")
        self.row(sec, "trace on less no trace: instructions per byte", f"{per_byte['traced'] - per_byte['plain']:.1f}")
        self.row(sec, "trace on / no trace", f"{per_byte['traced'] / per_byte['plain']:.3f}")

    def paced(self):
        # The transfer is timed on the board's side, from its log: from the
        # reply that accepts the write command to the closing reply, sent once
        # the last byte came in. (Bytes that hiltpush wrote may still sit in
        # the pseudo-terminal's buffer when its own write returns.)
        ratios, transfer, missed, incomplete = [], [], 0, 0
        log = os.path.join(self.work, "paced.log")
        for _ in range(self.args.runs):
            r = self.hiltpush_upload(self.paced_file, ["--line-rate", str(PACED_RATE), "--log", log])
            t0 = t1 = None
            with open(log, encoding="latin-1") as f:
                for line in f:
                    fields = line.split(" ", 4)
                    if len(fields) < 5 or fields[1] != "TX":
                        continue
                    text = fields[4]
                    if t0 is None and text.startswith('"OK, Write paced.bin'):
                        t0 = float(fields[0])
                    elif t0 is not None and "OK, Write Complete" in text:
                        t1 = float(fields[0])
                        break
            if t0 is None:
                raise RuntimeError("paced upload failed:\n" + r.out.decode("latin-1"))
            if r.line_time(lambda t: t.startswith("OK, Write Complete")) is None:
                missed += 1
            if t1 is None:
                # The board never got the whole file: hiltpush stopped waiting
                # for the closing reply while bytes were still buffered, and
                # closing the port discarded them.
                incomplete += 1
                continue
            transfer.append(t1 - t0)
            ratios.append((t1 - t0) / (PACED_SIZE / PACED_RATE))
        sec = f"Paced upload: 64 KiB at {PACED_RATE} bytes/s (Linux)"
        self.row(sec, "transfer time, s", Stats(transfer).fmt(digits=3), f"ideal {PACED_SIZE / PACED_RATE:.3f}")
        med = Stats(ratios).median()
        self.row(sec, "transfer time / ideal (completed runs)", Stats(ratios).fmt(digits=4), "<= 1.02",
                 None if med is None else med <= 1.02)
        self.row(sec, "runs where hiltpush missed the closing reply", f"{missed} of {self.args.runs}", "0",
                 missed == 0)
        self.row(sec, "runs where the board did not receive the whole file", f"{incomplete} of {self.args.runs}",
                 "0", incomplete == 0)

    def run_files(self, files, log=None):
        """One hiltpush run uploading files to a fresh simulator."""
        self.fresh_map()
        with self.sim(["--log", log] if log else []):
            r = run_piped([self.args.hiltpush, "-s"] + files, env=self.native_env(), cwd=self.work)
        done = f"Uploaded {len(files)} of {len(files)} files." if len(files) > 1 else "OK, Write Complete"
        if r.status != 0 or done not in r.out.decode("latin-1"):
            raise RuntimeError("upload of several files failed:\n" + r.out.decode("latin-1"))
        return r

    def several_files(self):
        one_run, separate, single, empty_run, empty_single, whole = [], [], [], [], [], []
        for _ in range(self.args.runs):
            one_run.append(self.run_files(self.font))
            # The separate runs share one board, as a user's would.
            self.fresh_map()
            wall = cpu = 0.0
            with self.sim():
                for f in self.font:
                    r = run_piped([self.args.hiltpush, "-s", f], env=self.native_env(), cwd=self.work)
                    if r.status != 0:
                        raise RuntimeError("single upload failed:\n" + r.out.decode("latin-1"))
                    wall += r.wall
                    cpu += r.cpu
            separate.append((wall, cpu))
            single.append(self.run_files(self.font[:1]))
            empty_run.append(self.run_files(self.empty))
            empty_single.append(self.run_files(self.empty[:1]))
            whole.append(self.run_files([self.font_whole]))
        n = FONT_FILES
        sec = f"Several files: {n} files of {FONT_FILE_SIZE // 1024} KiB (Linux)"
        self.row(sec, "one run: wall time, s", Stats([r.wall for r in one_run]).fmt(digits=3))
        self.row(sec, "one run: CPU (user+sys), ms", Stats([r.cpu for r in one_run]).fmt(1000, 1))
        self.row(sec, f"the same bytes as one file of {n * FONT_FILE_SIZE // 1024} KiB: wall time, s",
                 Stats([r.wall for r in whole]).fmt(digits=3))
        self.row(sec, f"{n} separate runs: wall time, s", Stats([w for w, _ in separate]).fmt(digits=3))
        self.row(sec, f"{n} separate runs: CPU (user+sys), ms", Stats([c for _, c in separate]).fmt(1000, 1))
        speedup = [w / r.wall for (w, _), r in zip(separate, one_run)]
        self.row(sec, f"{n} separate runs / one run, wall", Stats(speedup).fmt(digits=2), ">= 4",
                 Stats(speedup).median() >= 4)
        per_file = [(r.wall - s.wall) / (n - 1) for r, s in zip(one_run, single)]
        self.row(sec, "cost of each further file in a run (its bytes included), ms", Stats(per_file).fmt(1000, 1))
        overhead = [(r.wall - s.wall) / (n - 1) for r, s in zip(empty_run, empty_single)]
        self.row(sec, "per-file overhead beyond the bytes (empty files), ms", Stats(overhead).fmt(1000, 1), "<= 30",
                 Stats(overhead).median() <= 0.030)
        # Where a file's time goes, as the board sees it (from its log).
        log = os.path.join(self.work, "files.log")
        self.run_files(self.font, log=log)
        for name, values in self.file_phases(log).items():
            self.row(sec, f"per file, from the board's log: {name}, ms", Stats(values).fmt(1000, 2))

    @staticmethod
    def file_phases(log):
        """The phases of each upload in a run of several, from the wire log
        (the first open is the verification). The simulator notices a close
        only when the next open comes, so the close, the next open and its
        set-up count as one phase."""
        uploads = []
        with open(log, encoding="latin-1") as f:
            for line in f:
                fields = line.rstrip("\n").split(" ", 2)
                if len(fields) < 3 or fields[1] != "EV":
                    continue
                t, text = float(fields[0]), fields[2]
                if text == "port opened":
                    uploads.append({})
                elif uploads and text == 'command "V?"':
                    uploads[-1].setdefault("asked", t)
                elif uploads and text.startswith('command "WR='):
                    uploads[-1]["write"] = t
                elif uploads and text.startswith("stored "):
                    uploads[-1]["stored"] = t
        uploads = uploads[1:]
        phases = {"the questions up to the write command": [],
                  "write command to the file stored (the bytes)": [],
                  "file stored to the next upload's first question (closing reply, close, open, set-up)": []}
        for u, after in zip(uploads, uploads[1:] + [None]):
            phases["the questions up to the write command"].append(u["write"] - u["asked"])
            phases["write command to the file stored (the bytes)"].append(u["stored"] - u["write"])
            if after:
                phases["file stored to the next upload's first question (closing reply, close, open, set-up)"].append(
                    after["asked"] - u["stored"])
        return phases

    def verification_time(self, run, port):
        t0 = run.line_time(lambda t: t == "Testing Port: " + port)
        t1 = run.line_time(lambda t: t.startswith("Port " + port))
        return None if t0 is None or t1 is None else t1 - t0

    def discovery(self, wine=None):
        silent, missing, ready = [], [], []
        for _ in range(self.args.runs):
            for kind, into in (("silent", silent), ("missing", missing), ("ready", ready)):
                if wine:
                    into.append(wine.verify(kind))
                    continue
                self.fresh_map()
                if kind == "missing":
                    port = os.path.join(self.work, "no-such-port")
                    os.makedirs(os.path.join(self.map_dir, "Device"), exist_ok=True)
                    with open(os.path.join(self.map_dir, "Device", "USBSER000"), "w") as f:
                        f.write(port)
                    r = run_piped([self.args.hiltpush, "-s", "-i"], env=self.native_env())
                    into.append(self.verification_time(r, port))
                    continue
                with self.sim(["--silent"] if kind == "silent" else []) as s:
                    r = run_piped([self.args.hiltpush, "-s", "-i"], env=self.native_env())
                    into.append(self.verification_time(r, s.path))
        label = "Windows build under Wine" if wine else "Linux"
        sec = f"Discovery: verification of one port ({label})"
        self.row(sec, "silent port, s", Stats(silent).fmt(digits=3), "<= 1.65",
                 None if not silent or None in silent else Stats(silent).median() <= 1.65)
        self.row(sec, "unopenable port, ms", Stats(missing).fmt(1000, 1), "<= 20",
                 None if not missing or None in missing else Stats(missing).median() <= 0.020)
        self.row(sec, "ready board, ms", Stats(ready).fmt(1000, 1))

    def idle(self):
        sec = "Idle cost (Linux)"
        # The erase time-out: a board that takes the erase and then says nothing.
        cpu, wall = [], []
        for _ in range(self.args.idle_runs):
            self.fresh_map()
            with self.sim(["--erase-silent"]):
                r = run_piped([self.args.hiltpush, "-s", "-erase-all"], env=self.native_env(), limit=120)
            if "ERROR, Communication Timed out..." not in r.out.decode("latin-1"):
                raise RuntimeError("erase time-out not reached:\n" + r.out.decode("latin-1"))
            cpu.append(r.cpu)
            wall.append(r.wall)
        self.row(sec, "erase time-out: wall time, s", Stats(wall).fmt(digits=2))
        share = [c / w for c, w in zip(cpu, wall)]
        self.row(sec, "erase time-out: CPU, ms (share of wall)",
                 f"{Stats(cpu).fmt(1000, 1)} ({Stats(share).median() * 100:.3f} %)", "< 1 %",
                 Stats(share).median() < 0.01)
        cpu, wall = [], []
        for _ in range(self.args.idle_runs):
            c, w = self.key_wait(5.0)
            cpu.append(c)
            wall.append(w)
        share = [c / w for c, w in zip(cpu, wall)]
        self.row(sec, "5 s key wait on a pseudo-terminal: CPU, ms (share)",
                 f"{Stats(cpu).fmt(1000, 1)} ({Stats(share).median() * 100:.3f} %)", "< 1 %",
                 Stats(share).median() < 0.01)

    def key_wait(self, seconds):
        """hiltpush -h on a pseudo-terminal: waits at the prompt for a key,
        which comes after `seconds`."""
        pid, master = pty.fork()
        if pid == 0:
            os.execv(self.args.hiltpush, [self.args.hiltpush, "-h"])
        start = time.monotonic()
        seen = b""
        try:
            while b"PRESS ANY KEY" not in seen:
                ready, _, _ = select.select([master], [], [], 10)
                if not ready:
                    raise RuntimeError("no key prompt")
                seen += os.read(master, 4096)
            prompt_at = time.monotonic()
            time.sleep(seconds)
            os.write(master, b"x")
            _, status, usage = os.wait4(pid, 0)
            wall = time.monotonic() - prompt_at
            del start
            return usage.ru_utime + usage.ru_stime, wall
        finally:
            os.close(master)

    def startup(self):
        walls = []
        for _ in range(max(20, self.args.runs * 4)):
            r = run_piped([self.args.hiltpush, "-h", "-s"])
            walls.append(r.wall)
        self.row("Start-up (Linux)", "hiltpush -h -s: wall time, ms", Stats(walls).fmt(1000, 2), "< 5",
                 Stats(walls).median() < 0.005)

    # -- Windows build under Wine -------------------------------------------

    def wine(self, upload=True, discovery=True):
        w = WineRig(self)
        try:
            w.start()
            if upload:
                self.wine_upload(w)
            if discovery:
                self.discovery(wine=w)
        finally:
            w.stop()

    def wine_upload(self, w):
        # The runs with and without the trace take turns, so that a change of
        # the machine's load falls on both alike.
        trace_name = "wine-trace.txt"
        trace_file = os.path.join(self.work, trace_name)
        runs = {(): ([], []), ("--trace=" + trace_name,): ([], [])}
        trace_lines = []
        for _ in range(self.args.wine_runs):
            for options, (hp, server) in runs.items():
                if os.path.exists(trace_file):
                    os.remove(trace_file)
                before = w.server_cpu()
                r = w.upload(self.wine_upload_file, options)
                after = w.server_cpu()
                server.append(None if before is None or after is None else after - before)
                if r.status != 0 or "OK, Write Complete" not in r.out.decode("latin-1"):
                    raise RuntimeError("Wine upload failed:\n" + r.out.decode("latin-1") + r.err.decode("latin-1"))
                hp.append(r)
                if options:
                    with open(trace_file, encoding="latin-1") as f:
                        lines = f.read().splitlines()
                    # Without the driver's answers the trace is not the one measured.
                    if not any(" comm writes " in l for l in lines):
                        raise RuntimeError("the Wine upload's trace holds no driver answers")
                    trace_lines.append(len(lines))
        sec = f"Upload {WINE_UPLOAD_SIZE // 1024} KiB, no line-rate limit (Windows build under Wine)"
        us = 1e6 / WINE_UPLOAD_SIZE
        for options, (hp, server) in runs.items():
            name = "hiltpush.exe --trace=FILE" if options else "hiltpush.exe"
            self.row(sec, f"{name}: wall time, s", Stats([r.wall for r in hp]).fmt(digits=3))
            self.row(sec, f"{name}: CPU of the Wine process, us/byte", Stats([r.cpu for r in hp]).fmt(us, 3))
            self.row(sec, f"{name}: the Wine server's CPU meanwhile, us/byte", Stats(server).fmt(us, 3))
        (plain, _), (traced, _) = runs.values()
        plain_cpu = Stats([r.cpu for r in plain]).median()
        traced_cpu = Stats([r.cpu for r in traced]).median()
        self.row(sec, "hiltpush.exe CPU with the trace / without", f"{traced_cpu / plain_cpu:.2f}", "<= 1.1",
                 traced_cpu <= 1.1 * plain_cpu)
        self.row(sec, "trace lines per run", Stats(trace_lines).fmt(digits=0))

    def report(self, out):
        out.write("| section | measure | median (min .. max) | target | |\n")
        out.write("|---|---|---|---|---|\n")
        for sec, measure, text, target, verdict in self.rows:
            out.write(f"| {sec} | {measure} | {text} | {target} | {verdict} |\n")


class WineRig:
    """A private Wine prefix with one server kept alive, the modem-line shim
    preloaded, and COM ports linked to simulators."""

    def __init__(self, bench):
        self.bench = bench
        self.args = bench.args
        self.prefix = os.path.join(self.args.wine_dir, "wineprefix")
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", LD_PRELOAD=self.args.wine_shim)
        self.com = 20

    def start(self):
        subprocess.run([sys.executable, self.args.wine_rig, "start"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL)

    def stop(self):
        subprocess.run([sys.executable, self.args.wine_rig, "stop"], env=self.env, stdout=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL)

    def server_cpu(self):
        """CPU seconds so far of this prefix's Wine server, which does much of
        the serial work on behalf of the program."""
        tick = os.sysconf("SC_CLK_TCK")
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/comm") as f:
                    if not f.read().startswith("wineserver"):
                        continue
                with open(f"/proc/{pid}/environ", "rb") as f:
                    env = f.read().split(b"\0")
                if ("WINEPREFIX=" + self.prefix).encode() not in env:
                    continue
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / tick
            except OSError:
                continue
        return None

    def set_port(self, port):
        """Makes \\Device\\USBSER000 name the port. The key is volatile and
        cannot be made again once deleted, so values are only overwritten."""
        subprocess.run(["wine", "reg", "add", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM", "/v", r"\Device\USBSER000",
                        "/t", "REG_SZ", "/d", port, "/f"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

    def sim(self, extra=()):
        self.com += 1
        s = Sim(self.args.saber_sim, ["--free", "1000000000"] + list(extra))
        link = os.path.join(self.prefix, "dosdevices", f"com{self.com}")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(s.path, link)
        port = f"COM{self.com}"
        self.set_port(port)
        return s, port

    def run(self, argv, cwd=None):
        return run_piped(["wine", self.args.hiltpush_exe] + argv, env=self.env, cwd=cwd, limit=300)

    def upload(self, path, options=()):
        s, _ = self.sim()
        with s:
            return self.run(["-s", *options, os.path.basename(path)], cwd=os.path.dirname(path))

    def verify(self, kind):
        if kind == "missing":
            # A COM number without a device behind it.
            self.com += 1
            port = f"COM{self.com}"
            link = os.path.join(self.prefix, "dosdevices", f"com{self.com}")
            if os.path.lexists(link):
                os.remove(link)
            self.set_port(port)
            r = self.run(["-s", "-i"])
            return self.bench.verification_time(r, port)
        s, port = self.sim(["--silent"] if kind == "silent" else [])
        with s:
            r = self.run(["-s", "-i"])
            if os.environ.get("HP_BENCH_DEBUG"):
                print(r.out.decode("latin-1"), r.err.decode("latin-1"), file=sys.stderr)
            return self.bench.verification_time(r, port)


def machine():
    lines = [f"- kernel: {platform.system()} {platform.release()} ({platform.machine()})",
             f"- nproc: {os.cpu_count()}",
             "- load average at the end (1, 5, 15 min): %.2f %.2f %.2f (other work shared the machine)"
             % os.getloadavg()]
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for l in out.splitlines():
            if l.split(":")[0].strip() in ("Model name", "CPU(s)", "Thread(s) per core", "CPU max MHz",
                                           "Hypervisor vendor", "Virtualization type"):
                lines.append("- " + " ".join(l.split()))
    except OSError:
        pass
    try:
        wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
        lines.append(f"- wine: {wine}")
    except OSError:
        pass
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--hiltpush", required=True)
    ap.add_argument("--saber-sim", required=True)
    ap.add_argument("--floor-writer", required=True)
    ap.add_argument("--peer", required=True)
    ap.add_argument("--python", default="/usr/bin/python3", help="the Python that has python3-serial")
    ap.add_argument("--comm-trace-cost", help="bench/comm_trace_cost.cpp, counted under callgrind")
    ap.add_argument("--hiltpush-exe", help="the Windows build, run under Wine")
    ap.add_argument("--wine-dir")
    ap.add_argument("--wine-rig")
    ap.add_argument("--wine-shim")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--idle-runs", type=int, default=1)
    ap.add_argument("--wine-runs", type=int, default=3, help="runs of the (slow) upload under Wine")
    ap.add_argument("--only", default="upload,instructions,paced,files,discovery,idle,startup,wine")
    ap.add_argument("--output")
    args = ap.parse_args()
    parts = args.only.split(",")
    bench = Bench(args)
    try:
        actions = {"startup": bench.startup, "upload": bench.upload_cost, "instructions": bench.instructions,
                   "paced": bench.paced,
                   "files": bench.several_files, "discovery": bench.discovery, "idle": bench.idle, "wine": bench.wine,
                   "wine-upload": lambda: bench.wine(discovery=False),
                   "wine-discovery": lambda: bench.wine(upload=False)}
        for part in actions:
            if part not in parts:
                continue
            if part.startswith("wine") and not args.hiltpush_exe:
                continue
            print(f"== {part}", file=sys.stderr, flush=True)
            actions[part]()
    finally:
        bench.close()
    serial_version = subprocess.run([args.python, "-c", "import serial; print(serial.VERSION)"],
                                    capture_output=True, text=True).stdout.strip()
    text = [f"hiltpush benchmark, {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
            f"{args.runs} runs per measure (idle waits: {args.idle_runs}, upload under Wine: {args.wine_runs})", "", machine(), f"- python3-serial: {serial_version} ({args.python})", ""]
    import io
    table = io.StringIO()
    bench.report(table)
    text.append(table.getvalue())
    result = "\n".join(text)
    print(result)
    if args.output:
        with open(args.output, "w") as f:
            f.write(result)


if __name__ == "__main__":
    main()
