#!/usr/bin/env python3
"""http_memory: what a demo_server over HTTP gives back after a burst.

Each probe starts a fresh server (--http 127.0.0.1:0), notes its RSS, runs one burst, keeps open
what a client would keep (its connections, its sessions), lets the server be quiet for QUIET
seconds (10), and notes its RSS again. The target: within 16 MiB of what the same live connections
and sessions hold at rest, measured on a second fresh server that opened them without the burst.

Probes (all by default, or those named):
  ping200   three keep-alive connections, one 200 MB ping each, then idle
  sessions  10,000 sessions opened (initialize) and left, their connections closed
  sse       1,000 /sse streams, each sent an answer it never reads
  pipeline  100,000 pipelined pings on one connection, read as they come

Usage: bench/http_memory.py [--server PATH] [--quiet SECONDS] [probe...]
"""
import argparse
import json
import os
import re
import select
import socket
import subprocess
import sys
import time

MIB = 1 << 20
INIT = json.dumps({"jsonrpc": "2.0", "id": 0, "method": "initialize",
                   "params": {"protocolVersion": "2025-06-18", "capabilities": {},
                              "clientInfo": {"name": "http_memory", "version": "1"}}})


def rss(pid, key="VmRSS:"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    return 0


class Server:
    def __init__(self, path):
        self.p = subprocess.Popen([path, "--http", "127.0.0.1:0"], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.time() + 10
        self.port = None
        while self.port is None and time.time() < deadline:
            line = self.p.stderr.readline().decode()
            m = re.search(r":(\d+)/mcp", line)
            if m:
                self.port = int(m.group(1))
        if self.port is None:
            raise SystemExit("http_memory: the server wrote no URL")
        time.sleep(0.2)

    def connect(self, rcvbuf=0):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.connect(("127.0.0.1", self.port))
        return s

    def rss(self, key="VmRSS:"):
        return rss(self.p.pid, key)

    def close(self):
        self.p.kill()
        self.p.wait()


def post(body, session=None, close=False):
    body = body.encode() if isinstance(body, str) else body
    head = ("POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/json, text/event-stream\r\n"
            "Content-Type: application/json\r\n")
    if session:
        head += f"Mcp-Session-Id: {session}\r\n"
    if close:
        head += "Connection: close\r\n"
    return (head + f"Content-Length: {len(body)}\r\n\r\n").encode() + body


def read_response(s):
    """One whole response with a Content-Length, or None at the end."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    m = re.search(rb"Content-Length: (\d+)", head)
    length = int(m.group(1)) if m else 0
    while len(rest) < length:
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        rest += chunk
    return head, rest[:length]


def session_of(server):
    s = server.connect()
    s.sendall(post(INIT, close=True))
    head, _ = read_response(s)
    s.close()
    return re.search(rb"Mcp-Session-Id: (\w+)", head).group(1).decode()


def ping200(server, burst):
    sid = session_of(server)
    conns = [server.connect() for _ in range(3)]
    if burst:
        pad = " " * (200 * 1000 * 1000)
        for c in conns:
            c.sendall(post('{"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":"' + pad + '"}}', sid))
            read_response(c)
    else:
        for c in conns:
            c.sendall(post('{"jsonrpc":"2.0","id":1,"method":"ping"}', sid))
            read_response(c)
    return conns


def sessions(server, burst):
    for i in range(10000):
        s = server.connect()
        s.sendall(post(INIT, close=True))
        read_response(s)
        s.close()
    return []


def sse(server, burst):
    streams = []
    for i in range(1000):
        s = server.connect(rcvbuf=4096)
        s.sendall(b"GET /sse HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")
        data = b""
        while b"sessionId=" not in data or not data.endswith(b"\n\n\r\n"):
            data += s.recv(4096)
        sid = re.search(rb"sessionId=(\w+)", data).group(1).decode()
        if burst:
            body = json.dumps({"jsonrpc": "2.0", "id": 1, "method": "tools/call",
                               "params": {"name": "echo", "arguments": {"text": "x" * 1000}}})
            m = server.connect()
            head = (f"POST /message?sessionId={sid} HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                    f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n")
            m.sendall(head.encode() + body.encode())
            read_response(m)
            m.close()
        streams.append(s)
    return streams


def pipeline(server, burst):
    sid = session_of(server)
    c = server.connect()
    n = 100000 if burst else 1
    one = post('{"jsonrpc":"2.0","id":1,"method":"ping"}', sid)
    c.setblocking(False)
    out = one * n
    sent = got = 0
    answers = 0
    while answers < n:
        r, w, _ = select.select([c], [c] if sent < len(out) else [], [], 10)
        if not r and not w:
            raise SystemExit("http_memory: pipeline stalled")
        if w:
            sent += c.send(out[sent:sent + (1 << 20)])
        if r:
            chunk = c.recv(1 << 20)
            got += len(chunk)
            answers += chunk.count(b"HTTP/1.1 200 OK")
    c.setblocking(True)
    return [c]


PROBES = {"ping200": ping200, "sessions": sessions, "sse": sse, "pipeline": pipeline}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", default=os.path.join(os.path.dirname(__file__), "..", "build", "bench", "demo_server"))
    ap.add_argument("--quiet", type=float, default=10)
    ap.add_argument("probes", nargs="*")
    args = ap.parse_args()
    failed = False
    print(f"{'probe':9} {'start':>9} {'peak':>9} {'quiet':>9} {'at rest':>9}  target: quiet <= at rest + 16 MiB")
    for name in args.probes or list(PROBES):
        probe = PROBES[name]
        # The same live connections and sessions, opened without the burst: what they hold at rest.
        calm = Server(args.server)
        kept = probe(calm, False)
        time.sleep(args.quiet)
        at_rest = calm.rss()
        for k in kept:
            k.close()
        calm.close()

        server = Server(args.server)
        start = server.rss()
        kept = probe(server, True)
        peak = server.rss("VmHWM:")
        time.sleep(args.quiet)
        quiet = server.rss()
        for k in kept:
            k.close()
        server.close()
        ok = quiet <= at_rest + 16 * MIB
        failed |= not ok
        print(f"{name:9} {start / MIB:8.1f}M {peak / MIB:8.1f}M {quiet / MIB:8.1f}M {at_rest / MIB:8.1f}M  "
              f"{'PASS' if ok else 'FAIL'}")
        sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
