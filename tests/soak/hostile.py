#!/usr/bin/env python3
"""A hostile update server: releases whose lists name absolute paths, "..",
links, names of 10,000 characters, a million entries and sizes of 2^63, and
answers without end. Each case updates an empty folder with
`kestrava-patcher update` and checks that the run ends (with a failure
status or with the harmless part done), that its peak memory stays bounded,
that the day log names what was refused, and that nothing was written
outside the installation folder.

Usage: hostile.py --patcher PATH [--work DIR] [--memory-mb 200]
Exits 1 when a promise broke.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

from soak_support import mark_checked_today, start_fault_server, write


def entry(path, code="0" * 32, size="10", zip_kind="0"):
    return f'<File Path="{path}" Code="{code}" Size="{size}" Zip="{zip_kind}"/>\n'


def client_list(entries):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<Filelist><Files>\n' + "".join(entries)
            + "</Files></Filelist>\n").encode()


class Hostile:
    def __init__(self, args):
        self.args = args
        self.work = args.work or tempfile.mkdtemp(prefix="kestrava-hostile-")
        self.www = os.path.join(self.work, "www")
        game = os.path.join(self.work, "game")
        write(os.path.join(game, "good.dat"), b"good\n")
        write(os.path.join(game, "scope/login.scope"), b"good.dat\n")
        write(os.path.join(game, "Launcher.exe"), b"#!/bin/sh\n")
        write(os.path.join(game, "Launcher.dat"), b"#!/bin/sh\n")
        self.base = os.path.join(self.work, "base")
        shutil.rmtree(self.base, ignore_errors=True)
        subprocess.run([args.patcher, "publish", game, self.base, "--version", "1", "--level",
                        "1"], check=True, stdout=subprocess.DEVNULL)
        self.server, self.port = start_fault_server(self.www)

    def release(self, name, client=None, first_download=True):
        """A copy of the base release; `client` replaces its file list."""
        rel = os.path.join(self.www, name)
        shutil.rmtree(rel, ignore_errors=True)
        shutil.copytree(self.base, rel)
        if not first_download:
            os.remove(os.path.join(rel, "LauncherConfig/update/firstdownload"))
        if client is not None:
            self.replace_client_list(rel, client)
        return rel

    def replace_client_list(self, rel, text):
        lists = os.path.join(rel, "LauncherConfig")
        write(os.path.join(self.work, "list", "client.md5"), text)
        archive = os.path.join(lists, "client.md5.7z")
        os.remove(archive)
        subprocess.run(["7zz", "a", "-bd", "-bso0", "-mx1", archive,
                        os.path.join(self.work, "list", "client.md5")], check=True)
        md5 = hashlib.md5(text).hexdigest()
        update = os.path.join(lists, "update.xml")
        with open(update) as f:
            xml = f.read()
        start = xml.index('Code="') + 6
        write(update, (xml[:start] + md5 + xml[start + 32:]).encode())

    def update(self, name, mode="normal"):
        """(exit code, peak MB, day log) of an update of an empty folder."""
        folder = os.path.join(self.work, "runs", name, "install")
        shutil.rmtree(os.path.dirname(folder), ignore_errors=True)
        mark_checked_today(folder)
        stats = os.path.join(self.work, "runs", name, "time")
        url = f"http://127.0.0.1:{self.port}/ok/{name}/"
        try:
            code = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", stats, self.args.patcher,
                                   "update", folder, "--url", url, "--mode", mode],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=600).returncode
        except subprocess.TimeoutExpired:
            code = None
        peak = int(open(stats).read().split()[-1]) // 1024 if os.path.exists(stats) else -1
        log = ""
        for day in sorted(os.listdir(os.path.join(folder, "launcherlog"))):
            with open(os.path.join(folder, "launcherlog", day), errors="replace") as f:
                log += f.read()
        return code, peak, log, folder

    def outside(self, folder):
        """Files that appeared beside the installation folder."""
        run = os.path.dirname(folder)
        return sorted(set(os.listdir(run)) - {"install", "time"})

    def close(self):
        self.server.stdin.close()
        self.server.wait()
        if not self.args.work:
            shutil.rmtree(self.work, ignore_errors=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--patcher", required=True)
    p.add_argument("--work")
    p.add_argument("--memory-mb", type=int, default=200)
    args = p.parse_args()
    h = Hostile(args)
    good = entry("good.dat", hashlib.md5(b"good\n").hexdigest(), "5")
    cases = []

    # Paths that leave the folder, and a name of 10,000 characters.
    h.release("paths", client_list([good, entry("/tmp/kestrava-hostile-abs"),
                                    entry("../escaped.dll"), entry("a/../../escaped2.dll"),
                                    entry("x" * 10000 + ".dll")]), first_download=False)
    cases.append(("paths", "Refused Unsafe Path", True))
    # Sizes beyond 64 bits, negative and absurd.
    h.release("sizes", client_list([good, entry("big.dll", size="9223372036854775808"),
                                    entry("neg.dll", size="-1"),
                                    entry("huge.dll", size="1152921504606846976")]),
                first_download=False)
    cases.append(("sizes", "out of range", True))
    # A million entries: the list is larger than a list may be.
    million = [entry(f"d{i % 1000:03d}/file{i:07d}.dll") for i in range(1000000)]
    h.release("million", client_list(million), first_download=False)
    cases.append(("million", "refused: larger than", False))
    # A game file that is a link, in the first-download package.
    rel = h.release("links")
    linked = os.path.join(h.work, "linkpkg")
    shutil.rmtree(linked, ignore_errors=True)
    os.makedirs(linked)
    os.symlink("/etc/passwd", os.path.join(linked, "good.dat"))
    pkg = os.path.join(rel, "data.7z")
    os.remove(pkg)
    subprocess.run(["7zz", "a", "-bd", "-bso0", "-snl", pkg, os.path.join(linked, "good.dat")],
                   check=True)
    write(os.path.join(rel, "LauncherConfig/update/firstdownload"),
          f"data.7z,{os.path.getsize(pkg)}\n".encode())
    cases.append(("links", "links are not unpacked", True))
    # Answers without end: the update list, and a game file.
    rel = h.release("endless")
    write(os.path.join(rel, "LauncherConfig/update.xml.behaviour"), b"hugelength")
    cases.append(("endless", "more than the", False))
    rel = h.release("endlessfile", first_download=False)
    write(os.path.join(rel, "good.dat.behaviour"), b"endless")
    cases.append(("endlessfile", "Download good.dat Fail, Try 21 Times", False))

    broken = 0
    for name, refusal, completes in cases:
        code, peak, log, folder = h.update(name)
        outside = h.outside(folder)
        escaped = [p for p in ("/tmp/kestrava-hostile-abs", os.path.join(folder, "../escaped.dll"))
                   if os.path.exists(p)]
        ok = (code is not None and (code == 0) == completes and peak <= args.memory_mb
              and refusal in log and not outside and not escaped)
        broken += not ok
        print(f"{name}: status {code}, peak {peak} MB, refusal logged: {refusal in log}, "
              f"written outside: {outside + escaped or 'nothing'}" + ("" if ok else "  <-- BROKEN"),
              flush=True)
    h.close()
    print(f"hostile server: {len(cases) - broken} of {len(cases)} cases handled")
    sys.exit(1 if broken else 0)


if __name__ == "__main__":
    main()
