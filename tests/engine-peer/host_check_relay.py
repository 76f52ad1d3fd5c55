#!/usr/bin/env python3
"""A TCP relay in front of the VLESS server's WebSocket inbound that refuses any upgrade request
whose path or Host header is not the expected one, and records what it saw. HOST "*" accepts any
Host header (v2ray 4.34 sends its own: it reads only "headers", not the "host" member).

usage: host_check_relay.py LISTEN_PORT UPSTREAM_PORT PATH HOST RECORD_FILE
"""
import socket
import sys
import threading

listen_port, upstream_port = int(sys.argv[1]), int(sys.argv[2])
want_path, want_host, record = sys.argv[3], sys.argv[4], sys.argv[5]
lock = threading.Lock()


def note(line):
    with lock, open(record, "a", encoding="utf-8") as f:
        f.write(line + "\n")


def pump(src, dst):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            dst.sendall(data)
    except OSError:
        pass
    for s in (src, dst):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def serve(client):
    client.settimeout(10)
    head = b""
    try:
        while b"\r\n\r\n" not in head and len(head) < 65536:
            chunk = client.recv(4096)
            if not chunk:
                break
            head += chunk
    except OSError:
        pass
    lines = head.split(b"\r\n\r\n", 1)[0].decode("latin-1").split("\r\n")
    request = lines[0].split(" ")
    path = request[1] if len(request) == 3 else ""
    hosts = [l.split(":", 1)[1].strip() for l in lines[1:] if l.lower().startswith("host:")]
    host = hosts[0] if len(hosts) == 1 else ""
    if path != want_path or (want_host != "*" and host != want_host):
        note("refused path=%s host=%s" % (path, host))
        client.close()
        return
    note("accepted path=%s host=%s" % (path, host))
    client.settimeout(None)
    upstream = socket.create_connection(("127.0.0.1", upstream_port), timeout=10)
    upstream.settimeout(None)
    upstream.sendall(head)
    threading.Thread(target=pump, args=(upstream, client), daemon=True).start()
    pump(client, upstream)


server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", listen_port))
server.listen(16)
while True:
    conn, _ = server.accept()
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
