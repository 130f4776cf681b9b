"""What the soak scripts share: writing a file, starting the fault server
on a release folder, and marking an installation as checked today (so the
four-day check of every run does not repair it behind the script's back)."""
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FAULT_SERVER = os.path.join(HERE, "..", "server", "fault_server.py")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def start_fault_server(root, *options):
    """(process, port) of a fault server serving root; it stops when its
    standard input is closed."""
    server = subprocess.Popen(
        [sys.executable, FAULT_SERVER, "--root", root, "--watch-stdin", *options],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    return server, int(server.stdout.readline())


def mark_checked_today(folder):
    os.makedirs(os.path.join(folder, "LauncherConfig"), exist_ok=True)
    with open(os.path.join(folder, "LauncherConfig", "check.ini"), "w") as f:
        f.write("[check]\r\nsign=%d\r\n" % time.localtime().tm_mday)
