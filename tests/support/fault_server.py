#!/usr/bin/env python3
"""A scripted HTTP/1.1 server for transport tests (loopback only, standard library only).

usage: fault_server.py --script FILE --log FILE [--idle SECONDS]

Prints the port it listens on as the first line of standard output. Ends after
--idle seconds without a request (default 60), when its parent process ends, or on
SIGTERM.

The script file is JSON, read again for every request, so a test can replace it
between cases: {"/request/target": ANSWER or [ANSWER, ...], ...}. The n-th request
for a target gets the n-th answer of its list (the last one repeats). An ANSWER:
  status      HTTP status (default 200)
  headers     {"Name": "value"} added to the answer
  body        the body as text, or
  size, from  a body of `size` bytes of the pattern starting at offset `from` (default 0)
  ranged      true: `size` is the whole object; a "Range: bytes=N-" request gets 206
              with the matching Content-Range and the pattern from N
  alter       list of body offsets whose bytes are inverted
  length      the Content-Length to declare (default: the body's length)
  cut         send only this many body bytes, then close the connection
  hang_after  send this many body bytes, then wait until the client gives up
  stall       true: answer nothing at all; wait until the client gives up
  hang_seconds  how long hang_after and stall wait at most (default 60); then the
              connection is closed
Unknown targets get 404.

Every request is appended to the log file as one line, before it is answered:
milliseconds since start, method, target, and the Range, Cache-Control and
User-Agent headers ("-" where absent), separated by tabs.
"""
import argparse
import json
import os
import select
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HANG_LIMIT_SECONDS = 60


def pattern(start, count):
    """Bytes start..start+count-1 of the test pattern (the C++ tests compute the same)."""
    return bytes(((i * 7) + (i >> 8)) & 0xFF for i in range(start, start + count))


class State:
    def __init__(self, script_path, log_path):
        self.script_path = script_path
        self.log_path = log_path
        self.lock = threading.Lock()
        self.counts = {}
        self.start = time.monotonic()
        self.last_activity = time.monotonic()
        self.active = 0

    def answer_for(self, target):
        with open(self.script_path, encoding="utf-8") as f:
            script = json.load(f)
        with self.lock:
            n = self.counts.get(target, 0)
            self.counts[target] = n + 1
        answers = script.get(target)
        if answers is None:
            return {"status": 404, "body": "not in the script"}
        if isinstance(answers, dict):
            return answers
        return answers[min(n, len(answers) - 1)]

    def record(self, method, target, headers):
        fields = [headers.get(name) or "-" for name in ("Range", "Cache-Control", "User-Agent")]
        with self.lock:
            ms = int((time.monotonic() - self.start) * 1000)
            with open(self.log_path, "a", encoding="utf-8") as f:
                f.write("\t".join([str(ms), method, target] + fields) + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FaultServer/1"

    def log_message(self, format, *args):  # keep standard error quiet
        pass

    def do_GET(self):
        state = self.server.state
        with state.lock:
            state.active += 1
            state.last_activity = time.monotonic()
        try:
            state.record("GET", self.path, self.headers)
            self.answer(state.answer_for(self.path), self.headers.get("Range"))
        finally:
            with state.lock:
                state.active -= 1
                state.last_activity = time.monotonic()

    def answer(self, reply, range_header):
        if reply.get("stall"):
            self.hang(reply.get("hang_seconds", HANG_LIMIT_SECONDS))
            self.close_connection = True
            return
        status = reply.get("status", 200)
        headers = dict(reply.get("headers", {}))
        if "body" in reply:
            body = reply["body"].encode("utf-8")
        elif reply.get("ranged"):
            size = reply["size"]
            start = 0
            if range_header and range_header.startswith("bytes=") and range_header.endswith("-"):
                start = int(range_header[6:-1])
                status = 206
                headers["Content-Range"] = f"bytes {start}-{size - 1}/{size}"
            body = pattern(start, size - start)
        else:
            body = pattern(reply.get("from", 0), reply.get("size", 0))
        if reply.get("alter"):
            altered = bytearray(body)
            for offset in reply["alter"]:
                altered[offset] ^= 0xFF
            body = bytes(altered)
        length = reply.get("length", len(body))

        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, str(value))
        self.send_header("Content-Length", str(length))
        if "cut" in reply:
            self.send_header("Connection", "close")
        self.end_headers()

        if "hang_after" in reply:
            self.wfile.write(body[: reply["hang_after"]])
            self.wfile.flush()
            self.hang(reply.get("hang_seconds", HANG_LIMIT_SECONDS))
            self.close_connection = True
            return
        if "cut" in reply:
            self.wfile.write(body[: reply["cut"]])
            self.wfile.flush()
            self.close_connection = True
            return
        self.wfile.write(body)

    def hang(self, seconds):
        """Waits until the client closes its end, at most `seconds`."""
        deadline = time.monotonic() + seconds
        connection = self.connection
        while time.monotonic() < deadline:
            readable, _, _ = select.select([connection], [], [], 0.1)
            if readable:
                try:
                    if not connection.recv(1):
                        return
                except OSError:
                    return


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # Clients that drop their connection (a stopped download) are expected here.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


def watch(server, state, idle_seconds, parent):
    while True:
        time.sleep(0.5)
        if os.getppid() != parent:
            os._exit(0)
        with state.lock:
            idle = state.active == 0 and time.monotonic() - state.last_activity > idle_seconds
        if idle:
            os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--idle", type=float, default=60)
    args = parser.parse_args()
    open(args.log, "w").close()
    state = State(args.script, args.log)
    server = Server(("127.0.0.1", 0), Handler)
    server.state = state
    print(server.server_address[1], flush=True)
    threading.Thread(target=watch, args=(server, state, args.idle, os.getppid()), daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
