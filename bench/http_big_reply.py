#!/usr/bin/env python3
"""http_big_reply: one client's 200 MiB answer beside another client's pings.

Starts SERVER with --http 127.0.0.1:0, opens a session, and asks for an echo of 20 MiB ten times
over (a reply of about 200 MiB) on one connection, read as it comes; meanwhile another connection
sends a ping every 20 ms for 4 s. Prints the bytes of the big reply that arrived, the longest
and median ping, and the server's peak RSS. Usage: bench/http_big_reply.py SERVER
"""
import json
import re
import socket
import subprocess
import sys
import threading
import time

path = sys.argv[1]
p=subprocess.Popen([path,"--http","127.0.0.1:0"],stderr=subprocess.PIPE,stdout=subprocess.DEVNULL)
port=None
while port is None:
    m=re.search(r":(\d+)/mcp",p.stderr.readline().decode())
    if m: port=int(m.group(1))
def post(body,sid=None,close=True):
    h="POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: application/json, text/event-stream\r\nContent-Type: application/json\r\n"
    if sid: h+=f"Mcp-Session-Id: {sid}\r\n"
    if close: h+="Connection: close\r\n"
    return (h+f"Content-Length: {len(body)}\r\n\r\n").encode()+body.encode()
s=socket.create_connection(("127.0.0.1",port)); s.sendall(post('{"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18"}}'))
d=b""
while b"\r\n\r\n" not in d: d+=s.recv(65536)
sid=re.search(rb"Mcp-Session-Id: (\w+)",d).group(1).decode(); s.close()
big=socket.create_connection(("127.0.0.1",port))
body=json.dumps({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"echo","arguments":{"text":"x"*(20<<20),"times":10}}})
got=[0]
def reader():
    while True:
        c=big.recv(1<<20)
        if not c: break
        got[0]+=len(c)
lat=[]
t=threading.Thread(target=reader); t.start()
big.sendall(post(body,sid))
t0=time.time()
while time.time()-t0<4:
    q=socket.create_connection(("127.0.0.1",port)); a=time.time(); q.sendall(post('{"jsonrpc":"2.0","id":2,"method":"ping"}',sid))
    r=b""
    while b"result" not in r:
        c=q.recv(4096)
        if not c: break
        r+=c
    lat.append(time.time()-a); q.close(); time.sleep(0.02)
t.join(timeout=30)
peak=[l.split()[1] for l in open(f"/proc/{p.pid}/status") if l.startswith("VmHWM")][0]
print(f"{path}: reply bytes {got[0]}, pings {len(lat)}, max ping {max(lat)*1000:.0f} ms, median {sorted(lat)[len(lat)//2]*1000:.1f} ms, peak RSS {int(peak)>>10} MiB")
p.kill()
