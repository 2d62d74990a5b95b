#!/usr/bin/env python3
"""Serves a folder with nginx on a free loopback port, for transport tests.

usage: nginx_server.py --root SITE --work DIR [--cert PEM --key PEM] [--lifetime SECONDS]
                       [--limit-rate BYTES]

Writes the configuration, logs and temporary folders under --work, starts nginx as a
child in the foreground, and prints the port as the first line of standard output
once nginx accepts connections. With --cert and --key it speaks only TLS 1.2 and 1.3;
with --limit-rate each response is sent at most that fast (so a download lasts long
enough for a test to act while it runs).
Stops nginx on SIGTERM or SIGINT, when its parent process ends, or after --lifetime
seconds (default 600). The access log (work/access.log) has one line per request:
request line, Range header, status, bytes sent.
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import time

CONFIG = """\
daemon off;
master_process off;
worker_processes 1;
{user}
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 256; }}
http {{
  log_format ranges '"$request" "$http_range" $status $body_bytes_sent';
  access_log {work}/access.log ranges;
  client_body_temp_path {work}/tmp/body;
  proxy_temp_path {work}/tmp/proxy;
  fastcgi_temp_path {work}/tmp/fastcgi;
  uwsgi_temp_path {work}/tmp/uwsgi;
  scgi_temp_path {work}/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  keepalive_timeout 30s;
  limit_rate {limit_rate};
  server {{
    listen 127.0.0.1:{port}{tls_listen};
    {tls}
    root {root};
  }}
}}
"""

TLS = """ssl_certificate {cert};
    ssl_certificate_key {key};
    ssl_protocols TLSv1.2 TLSv1.3;"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


def start(args):
    """Starts nginx on a free port; retries when another process took the port first."""
    os.makedirs(os.path.join(args.work, "tmp"), exist_ok=True)
    for _ in range(5):
        port = free_port()
        config = CONFIG.format(
            work=args.work, root=args.root, port=port,
            user="user root;" if os.geteuid() == 0 else "", limit_rate=args.limit_rate,
            tls_listen=" ssl" if args.cert else "",
            tls=TLS.format(cert=args.cert, key=args.key) if args.cert else "")
        config_path = os.path.join(args.work, "nginx.conf")
        with open(config_path, "w") as f:
            f.write(config)
        process = subprocess.Popen(["nginx", "-p", args.work, "-e", os.path.join(args.work, "error.log"),
                                    "-c", config_path], stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and process.poll() is None:
            if accepts(port):
                return process, port
            time.sleep(0.05)
        if process.poll() is None:
            process.kill()
        process.wait()
    sys.exit("nginx did not start; see " + os.path.join(args.work, "error.log"))


def stop_process(process, patience=5):
    """Ends a child process: politely, then by force after `patience` seconds; closes its
    output pipe if it has one."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=patience)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout:
        process.stdout.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--lifetime", type=float, default=600)
    parser.add_argument("--limit-rate", type=int, default=0, help="bytes per second per response; 0: no limit")
    args = parser.parse_args()
    parent = os.getppid()
    process, port = start(args)

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(True))
    print(port, flush=True)
    end = time.monotonic() + args.lifetime
    try:
        while not stopping and process.poll() is None and os.getppid() == parent and time.monotonic() < end:
            time.sleep(0.2)
    finally:
        stop_process(process)
    return 0


if __name__ == "__main__":
    sys.exit(main())
