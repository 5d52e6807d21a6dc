#!/usr/bin/env python3
"""Opens many CONNECT tunnels through a running proxy and leaves them idle.

usage: tools/idle_tunnels.py PROXY_PORT PROXY_PID TARGET_PORT GET_URL [COUNT]

Every tunnel goes to 127.0.0.1:TARGET_PORT (an echo server) and is checked
with one round trip of 64 bytes. With all of them open and idle, the script
reports how much the proxy's resident memory grew (from /proc/PID/status)
and the times of plain GETs of GET_URL through the proxy. Loopback only.
"""
import resource
import socket
import statistics
import sys
import time


def rss_kb(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            raise RuntimeError("proxy closed before answering")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    return head, rest


def open_tunnel(proxy_port, target_port):
    sock = socket.create_connection(("127.0.0.1", proxy_port), timeout=10)
    sock.sendall(f"CONNECT 127.0.0.1:{target_port} HTTP/1.0\r\n\r\n".encode())
    head, rest = read_head(sock)
    if b" 200 " not in head.split(b"\r\n")[0] + b" ":
        raise RuntimeError(f"tunnel refused: {head!r}")
    ping = b"p" * 64
    sock.sendall(ping)
    echoed = rest
    while len(echoed) < len(ping):
        chunk = sock.recv(4096)
        if not chunk:
            raise RuntimeError("tunnel closed during the check")
        echoed += chunk
    if echoed != ping:
        raise RuntimeError("echo differs")
    return sock


def timed_get(proxy_port, url):
    start = time.perf_counter()
    sock = socket.create_connection(("127.0.0.1", proxy_port), timeout=10)
    sock.sendall(f"GET {url} HTTP/1.0\r\n\r\n".encode())
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    sock.close()
    if not data.startswith(b"HTTP/1.") or b" 200 " not in data.split(b"\r\n")[0] + b" ":
        raise RuntimeError(f"GET failed: {data[:80]!r}")
    return (time.perf_counter() - start) * 1000.0


def main():
    if len(sys.argv) < 5:
        print(__doc__, file=sys.stderr)
        return 2
    proxy_port, pid, target_port = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    url = sys.argv[4]
    count = int(sys.argv[5]) if len(sys.argv) > 5 else 1000
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, max(soft, count + 256)), hard))

    for _ in range(20):
        timed_get(proxy_port, url)  # warm up: the proxy's threads and memory
    before = rss_kb(pid)
    tunnels = [open_tunnel(proxy_port, target_port) for _ in range(count)]
    time.sleep(1.0)
    after = rss_kb(pid)
    times = [timed_get(proxy_port, url) for _ in range(200)]
    still_open = sum(1 for s in tunnels if s.fileno() >= 0)
    for sock in tunnels:
        sock.close()
    print(f"tunnels open and checked: {still_open} of {count}")
    print(f"proxy RSS before {before} kB, with the tunnels {after} kB, growth {(after - before) / 1024:.1f} MB")
    print(f"GET through the proxy meanwhile: median {statistics.median(times):.2f} ms, "
          f"p99 {sorted(times)[int(len(times) * 0.99) - 1]:.2f} ms, max {max(times):.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
