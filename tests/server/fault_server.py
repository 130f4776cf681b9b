#!/usr/bin/env python3
"""A misbehaving update server for transfer tests, on 127.0.0.1 only.

Files under --root are served at /<behaviour>/<relative path>, where
<behaviour> is "ok" or a "+"-joined list of:
  cut-N        every response breaks off after N body bytes
  cutonce-N    only the first response for that path breaks off after N bytes
  norange      the Range header is ignored (200 and the whole file)
  onerange     a Range header asking for several ranges gets 416, as a
               Varnish edge answers it (one range at a time is served);
               without it (and without norange) several ranges get a 206
               multipart/byteranges answer, as nginx sends
  status-N     answer N with a small error body (the file is not sent)
  stall        send the headers, then nothing (until --stall-limit seconds)
  stallhead    accept the request, send nothing at all
  trickle-N    send N bytes every 50 ms
  nolength     no Content-Length (the body ends with the connection)
  delay-N      wait N milliseconds before answering
  endless      an answer without end: no Content-Length, bytes until the
               client hangs up
  hugelength   announces 8 GiB, then sends bytes until the client hangs up
  chaos-P      P per cent of the requests (drawn from --seed) get one fault,
               chosen at random: a cut at a random byte, status 500, 503 or
               404, Range ignored, a stall longer than the client waits, a
               trickle, a Content-Length larger than the body sent, or the
               first half of the file sent as if it were all of it
A file may have a companion "<file>.behaviour" holding behaviours of the
same form: they apply to every request for that file, whatever the path says.
GET /_stats returns the requests seen so far as JSON lines
{"path", "range", "conn"}; GET /_reset forgets them.
The chosen port is printed on the first line of standard output (and
written to --port-file), so a test can start it on port 0.
"""
import argparse
import json
import os
import random
import re
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOCK = threading.Lock()
RANDOM = None  # random.Random(--seed), drawn under LOCK
REQUESTS = []
CUT_DONE = set()
CONN_IDS = [0]
STOP = threading.Event()


def parse_behaviours(text):
    opts = {}
    for item in text.split("+"):
        key, _, value = item.partition("-")
        opts[key] = value
    return opts


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        with LOCK:
            CONN_IDS[0] += 1
            self.conn_id = CONN_IDS[0]

    def log_message(self, *args):
        pass

    def handle(self):
        # Clients that give up (stall and cancel tests) are expected here.
        try:
            super().handle()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def reply(self, status, body, ctype="text/plain"):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path.startswith("/_stats"):
            with LOCK:
                text = "\n".join(json.dumps(r) for r in REQUESTS)
            return self.reply(200, text.encode())
        if self.path.startswith("/_reset"):
            with LOCK:
                REQUESTS.clear()
                CUT_DONE.clear()
            return self.reply(200, b"ok")
        with LOCK:
            REQUESTS.append({"path": self.path, "range": self.headers.get("Range"),
                             "conn": self.conn_id})
        parts = self.path.split("?")[0].lstrip("/").split("/", 1)
        if len(parts) != 2:
            return self.reply(404, b"no behaviour")
        opts = parse_behaviours(parts[0])
        companion = os.path.join(ARGS.root, parts[1].split("?")[0]) + ".behaviour"
        if os.path.isfile(companion):
            with open(companion) as f:
                opts.update(parse_behaviours(f.read().strip()))
        self.serve(opts, parts[1].split("?")[0])

    def chaos(self, opts, size):
        """Replaces opts by one fault for a share of the requests."""
        with LOCK:
            if RANDOM.random() * 100 >= float(opts["chaos"]):
                return opts
            kind = RANDOM.choice(["cut", "status", "norange", "stall", "trickle",
                                  "overlength", "halved"])
            value = RANDOM.randint(0, max(0, size - 1))
            status = RANDOM.choice([500, 503, 404])
        if kind == "cut":
            return {"cut": str(value)}
        if kind == "status":
            return {"status": str(status)}
        if kind == "trickle":
            return {"trickle": "16384"}
        return {kind: ""}

    def endless(self, announce):
        self.send_response(200)
        if announce:
            self.send_header("Content-Length", str(8 << 30))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        chunk = b"<a>" * 21845
        try:
            while not STOP.is_set():
                self.wfile.write(chunk)
        except OSError:
            pass

    def serve(self, opts, rel):
        if "endless" in opts or "hugelength" in opts:
            return self.endless("hugelength" in opts)
        if "chaos" in opts:
            full = os.path.realpath(os.path.join(ARGS.root, rel))
            opts = self.chaos(opts, os.path.getsize(full) if os.path.isfile(full) else 0)
        if "delay" in opts:
            time.sleep(int(opts["delay"]) / 1000.0)
        if "stallhead" in opts:
            return self.stall()
        if "status" in opts:
            return self.reply(int(opts["status"]), b"<html>error page</html>")
        path = os.path.realpath(os.path.join(ARGS.root, rel))
        if not path.startswith(os.path.realpath(ARGS.root) + os.sep) or not os.path.isfile(path):
            return self.reply(404, b"<html>not found</html>")
        with open(path, "rb") as f:
            data = f.read()
        start, end, ranged = 0, None, False
        several = re.match(r"bytes=\d+-\d+(,\d+-\d+)+$", self.headers.get("Range") or "")
        if several and "norange" not in opts:
            if "onerange" in opts:
                return self.reply(416, b"")
            return self.serve_ranges(opts, rel, data)
        m = re.match(r"bytes=(\d+)-(\d*)$", self.headers.get("Range") or "")
        if m and "norange" not in opts:
            start = int(m.group(1))
            if start >= len(data) and start > 0:
                return self.reply(416, b"")
            if m.group(2):  # a closed range, as a delta fetches
                end = min(int(m.group(2)), len(data) - 1)
            ranged = start > 0 or end is not None
        if "halved" in opts:  # a consistent answer that holds only half the file
            data = data[:len(data) // 2]
        last = len(data) - 1 if end is None else min(end, len(data) - 1)
        body = data[start:last + 1]
        self.send_response(206 if ranged else 200)
        if ranged:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, last, len(data)))
        self.send_length_and_body(opts, rel, body)

    def serve_ranges(self, opts, rel, data):
        """Several ranges in one multipart answer; a cut, a trickle or a
        wrong length then falls somewhere inside its parts."""
        if "halved" in opts:
            data = data[:len(data) // 2]
        boundary = b"fault%08d" % self.conn_id
        body = b""
        for span in self.headers["Range"][len("bytes="):].split(","):
            first, last = (int(x) for x in span.split("-"))
            last = min(last, len(data) - 1)
            if first > last:
                return self.reply(416, b"")
            body += (b"\r\n--" + boundary + b"\r\nContent-Type: application/octet-stream\r\n" +
                     b"Content-Range: bytes %d-%d/%d\r\n\r\n" % (first, last, len(data)) +
                     data[first:last + 1])
        body += b"\r\n--" + boundary + b"--\r\n"
        self.send_response(206)
        self.send_header("Content-Type", "multipart/byteranges; boundary=" + boundary.decode())
        self.send_length_and_body(opts, rel, body)

    def send_length_and_body(self, opts, rel, body):
        if "nolength" in opts:
            self.send_header("Connection", "close")
            self.close_connection = True
        elif "overlength" in opts:  # announces more than it sends, then hangs up
            self.send_header("Content-Length", str(len(body) + 1000))
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.send_body(opts, rel, body)

    def send_body(self, opts, rel, body):
        limit = None
        if "cut" in opts:
            limit = int(opts["cut"])
        elif "cutonce" in opts:
            with LOCK:
                if rel not in CUT_DONE:
                    CUT_DONE.add(rel)
                    limit = int(opts["cutonce"])
        if "stall" in opts:
            self.wfile.flush()
            return self.stall()
        if limit is not None:
            self.wfile.write(body[:limit])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if "overlength" in opts:
            self.wfile.write(body)
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if "trickle" in opts:
            step = max(1, int(opts["trickle"]))
            for i in range(0, len(body), step):
                if STOP.is_set():
                    return
                self.wfile.write(body[i:i + step])
                self.wfile.flush()
                time.sleep(0.05)
            return
        self.wfile.write(body)

    def stall(self):
        self.close_connection = True
        deadline = time.time() + ARGS.stall_limit
        while time.time() < deadline and not STOP.is_set():
            time.sleep(0.05)


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--port-file")
    p.add_argument("--stall-limit", type=float, default=30.0)
    p.add_argument("--lifetime", type=float, default=1800.0,
                   help="the server ends by itself after this many seconds")
    p.add_argument("--watch-stdin", action="store_true",
                   help="end when standard input reaches its end")
    p.add_argument("--seed", type=int, default=1, help="for the chaos behaviour")
    ARGS = p.parse_args()
    global RANDOM
    RANDOM = random.Random(ARGS.seed)
    server = ThreadingHTTPServer(("127.0.0.1", ARGS.port), Handler)
    server.daemon_threads = True
    port = server.server_address[1]
    if ARGS.port_file:
        tmp = ARGS.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        os.replace(tmp, ARGS.port_file)
    print(port, flush=True)
    timer = threading.Timer(ARGS.lifetime, server.shutdown)
    timer.daemon = True
    timer.start()
    if ARGS.watch_stdin:
        # A test that dies closes the pipe, and the server goes with it.
        threading.Thread(target=lambda: (sys.stdin.read(), server.shutdown()),
                         daemon=True).start()
    try:
        server.serve_forever()
    finally:
        STOP.set()


if __name__ == "__main__":
    main()
