#!/usr/bin/env python3
"""Does every interrupted or disturbed update converge?

Drives `kestrava-patcher update` against releases that `publish` makes,
served by tests/server/fault_server.py, and checks the engine's promises:

  faults  Updates of an empty folder and of the previous release through a
          server that misbehaves at random on a share of the requests (cuts,
          5xx, Range ignored, stalls, trickles, wrong lengths, halved files).
          Each run must end either with status 17 and every file right, or
          with a failure status; never hang; never record a file whose
          content differs from its digest. A fault-free run then completes.
  kill    kill -9 at a random moment of a first install, an update or a
          repair; a normal run afterwards must bring the folder to the
          release byte for byte, and nothing recorded may be wrong.

Prints one line per run and a summary; exits 1 when any promise broke.
Usage: convergence.py faults|kill --patcher PATH [--runs N] [--seed S]
       [--work DIR] [--chaos P]
"""
import argparse
import hashlib
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

from soak_support import mark_checked_today, start_fault_server, write


def make_game(folder, release):
    """A small game with the kinds of files that matter: packed and plain,
    program and data extensions, folders, one bigger file, an empty file and
    the scope file. Release 2 changes, adds and removes some."""
    rnd = random.Random(5)
    files = {}
    for i in range(40):
        kind = ["dds", "ogg", "xml", "dll", "pak"][i % 5]
        size = 500 + (i * 1777) % 40000
        data = (f"line {i}\n" * (size // 7)).encode() if kind == "xml" else rnd.randbytes(size)
        if release == 2 and i % 9 == 0:
            data = b"release 2 " + data
        files[f"data/{kind}/f{i:02d}.{kind}"] = data
    world = random.Random(11).randbytes(3 << 20)
    if release == 2:  # a delta: an edit and an insertion in a big archive
        world = world[:1 << 20] + random.Random(13).randbytes(4096) + world[(1 << 20) + 4096:]
        world = world[:2 << 20] + random.Random(14).randbytes(70000) + world[2 << 20:]
    files["big/world.pak"] = world
    files["empty.txt"] = b""
    files["Kestrava.exe"] = random.Random(12).randbytes(30000)
    files["scope/login.scope"] = b"data/dll/f03.dll\n"
    if release == 2:
        files["data/cs/added.cs"] = b"// new in release 2\n"
        del files["data/ogg/f01.ogg"]
    for path, data in files.items():
        write(os.path.join(folder, path), data)
    write(os.path.join(folder, "Launcher.exe"), b"#!/bin/sh\nexit 0\n")
    write(os.path.join(folder, "Launcher.dat"), b"#!/bin/sh\nexit 1\n")
    return {p: hashlib.md5(d).hexdigest() for p, d in files.items()}


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = args.work or tempfile.mkdtemp(prefix="kestrava-convergence-")
        self.www = os.path.join(self.work, "www")
        self.games = {}
        for r in (1, 2):
            game = os.path.join(self.work, f"game{r}")
            shutil.rmtree(game, ignore_errors=True)
            self.games[r] = make_game(game, r)
            release = os.path.join(self.www, f"rel{r}")
            shutil.rmtree(release, ignore_errors=True)
            subprocess.run([args.patcher, "publish", game, release, "--version", str(r),
                            "--level", "1", "--package-size", "1"], check=True,
                           stdout=subprocess.DEVNULL)
        self.server, self.port = start_fault_server(self.www, "--seed", str(args.seed),
                                                    "--stall-limit", "12")

    def url(self, behaviour, release):
        return f"http://127.0.0.1:{self.port}/{behaviour}/rel{release}/"

    def update(self, folder, url, mode="normal", timeout=600):
        """Exit code of one update, or None when it hung (it is killed)."""
        mark_checked_today(folder)
        proc = subprocess.Popen([self.args.patcher, "update", folder, "--url", url,
                                 "--mode", mode], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return None

    def differences(self, folder, release):
        """Published files that are missing or differ."""
        bad = []
        for path, md5 in self.games[release].items():
            full = os.path.join(folder, path)
            if not os.path.isfile(full) or md5_of(full) != md5:
                bad.append(path)
        return bad

    def wrongly_recorded(self, folder, behind=None, damaged=()):
        """Entries of the local list whose file does not have their digest.
        A file the release no longer has may stay listed after it was
        deleted (removals are saved with the next save of the list); the
        next comparison deletes it again, so only its absence matters."""
        listed = os.path.join(folder, "LauncherConfig", "localclient.md5")
        if not os.path.exists(listed):
            return []
        published = set(self.games[1]) | set(self.games[2])
        bad = []
        for f in ET.parse(listed).getroot().iter("File"):
            if f.get("Path") in damaged:  # damaged by the test, before the repair
                continue
            full = os.path.join(folder, f.get("Path"))
            if not os.path.exists(full) and not all(f.get("Path") in self.games[r]
                                                    for r in (1, 2)):
                continue
            if f.get("Path") not in published or not os.path.isfile(full):
                bad.append(f.get("Path"))
                continue
            md5 = md5_of(full)
            # After a kill the saved list may still name the previous content
            # of a file already replaced by the release's: behind the disk,
            # never ahead of it, so the next pass fetches it again.
            if md5 != f.get("Code") and (behind is None or md5 != self.games[behind].get(
                    f.get("Path"))):
                bad.append(f.get("Path"))
        return bad

    def close(self):
        self.server.stdin.close()
        self.server.wait()
        if not self.args.work and not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)


def md5_of(path):
    h = hashlib.md5()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)


def run_faults(bench, args):
    rnd = random.Random(args.seed)
    totals = dict(completed=0, failed=0, hangs=0, wrong=0, holes=0, no_converge=0)
    for i in range(args.runs):
        folder = os.path.join(bench.work, "install")
        fresh(folder)
        previous = rnd.random() < 0.5
        if previous and bench.update(folder, bench.url("ok", 1)) != 0:
            print(f"run {i}: setting up release 1 failed")
            totals["no_converge"] += 1
            continue
        code = bench.update(folder, bench.url(f"chaos-{args.chaos}", 2), timeout=args.timeout)
        wrong = bench.wrongly_recorded(folder)
        holes = bench.differences(folder, 2) if code == 0 else []
        after = bench.update(folder, bench.url("ok", 2))
        left = bench.differences(folder, 2) + bench.wrongly_recorded(folder)
        totals["hangs"] += code is None
        totals["completed"] += code == 0
        totals["failed"] += code not in (0, None)
        totals["wrong"] += len(wrong)
        totals["holes"] += bool(holes)
        totals["no_converge"] += after != 0 or bool(left)
        print(f"run {i}: from {'release 1' if previous else 'empty'}: "
              f"status {'hang' if code is None else code}; then {after}"
              + (f"; WRONG {wrong}" if wrong else "") + (f"; HOLES {holes}" if holes else "")
              + (f"; LEFT {left}" if left else ""), flush=True)
    print(f"fault soak: {args.runs} runs: {totals['completed']} completed with every file "
          f"right, {totals['failed']} ended with a failure status, {totals['hangs']} hung, "
          f"{totals['holes']} reported completion with files missing, {totals['wrong']} files "
          f"recorded with a wrong digest, {totals['no_converge']} did not converge afterwards")
    return totals["hangs"] + totals["holes"] + totals["wrong"] + totals["no_converge"] == 0


def run_kills(bench, args):
    rnd = random.Random(args.seed)
    folder = os.path.join(bench.work, "install")
    # How long each kind of run takes, to kill somewhere inside it.
    scenarios = {"first install": (None, 1, "normal"), "update": (1, 2, "normal"),
                 "repair": (2, 2, "repair"), "delta repair": (2, 2, "repair")}
    spans = {}

    def prepare(name, start):
        fresh(folder)
        if start:
            bench.update(folder, bench.url("ok", start))
        if name == "delta repair":  # damaged sectors in a big file: a delta repairs them
            with open(os.path.join(folder, "big/world.pak"), "r+b") as f:
                for at in (4096 * 10, 1 << 20, 5 << 19):
                    f.seek(at)
                    f.write(bytes(4096))

    for name, (start, target, mode) in scenarios.items():
        prepare(name, start)
        t0 = time.time()
        bench.update(folder, bench.url("ok", target), mode)
        spans[name] = time.time() - t0
    broken = 0
    for i in range(args.runs):
        name = rnd.choice(list(scenarios))
        start, target, mode = scenarios[name]
        prepare(name, start)
        os.makedirs(os.path.join(folder, "LauncherConfig"), exist_ok=True)
        proc = subprocess.Popen([bench.args.patcher, "update", folder, "--url",
                                 bench.url("ok", target), "--mode", mode],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        at = rnd.uniform(0, spans[name])
        time.sleep(at)  # the moment of the kill: random by design
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        wrong = bench.wrongly_recorded(
            folder, behind=target, damaged={"big/world.pak"} if name == "delta repair" else ())
        # Damage the engine was not told of is found by a repair only.
        after = bench.update(folder, bench.url("ok", target),
                             "repair" if name == "delta repair" else "normal")
        left = bench.differences(folder, target) + bench.wrongly_recorded(folder)
        ok = after == 0 and not left and not wrong
        broken += not ok
        print(f"kill {i}: {name} killed after {at:.3f} s of {spans[name]:.3f} s: "
              f"then {after}" + (f"; WRONG {wrong}" if wrong else "")
              + (f"; LEFT {left}" if left else ""), flush=True)
    print(f"kill test: {args.runs - broken} of {args.runs} converged to the release byte for "
          f"byte")
    return broken == 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("what", choices=["faults", "kill"])
    p.add_argument("--patcher", required=True)
    p.add_argument("--runs", type=int, default=10)
    p.add_argument("--seed", type=int, default=int(time.time()))
    p.add_argument("--chaos", type=int, default=10, help="per cent of requests disturbed")
    p.add_argument("--timeout", type=int, default=600, help="seconds before a run is a hang")
    p.add_argument("--work")
    p.add_argument("--keep", action="store_true")
    args = p.parse_args()
    print(f"seed {args.seed}", flush=True)
    bench = Bench(args)
    try:
        ok = run_faults(bench, args) if args.what == "faults" else run_kills(bench, args)
    finally:
        bench.close()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
