#!/usr/bin/env python3
"""Probe ferrow-server's abuse limits over loopback and print the figures.

    bench/probe_limits.py [build/ferrow-server] [logins] [verbose]

Starts the server on a free port with a fresh data directory seeded with the demo users
(alice, bob, carol / "demo", production-strength hashes) and measures, one after the other:
  - how long a real login takes while strangers connect, send a login and hang up at
    about 300 a second, and while 100 strangers keep guessing passwords;
  - how many wrong passwords for one account the server actually checks per second when one
    address guesses as fast as it is answered;
  - the server's peak resident memory while one user's connections request history and never
    read, and while 60 clients download a 4 MiB file and never read.
With "logins", only the login phases run; "verbose" prints every timed login. Every phase is bounded in time and count, and only
loopback addresses are used.
"""

import base64
import json
import os
import re
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

SERVER = sys.argv[1] if len(sys.argv) > 1 else "build/ferrow-server"
LOGINS_ONLY = "logins" in sys.argv[2:]
VERBOSE = "verbose" in sys.argv[2:]


def frame(payload):
    data = payload.encode()
    head = bytes([0x81])
    if len(data) < 126:
        head += bytes([0x80 | len(data)])
    elif len(data) < 65536:
        head += bytes([0x80 | 126]) + struct.pack(">H", len(data))
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", len(data))
    mask = os.urandom(4)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data))


def read_frame(sock, buffer):
    """One text frame's payload from sock, with bytes already read in buffer."""
    while True:
        if len(buffer) >= 2:
            size = buffer[1] & 0x7F
            offset = 2
            if size == 126 and len(buffer) >= 4:
                size = struct.unpack(">H", buffer[2:4])[0]
                offset = 4
            elif size == 127 and len(buffer) >= 10:
                size = struct.unpack(">Q", buffer[2:10])[0]
                offset = 10
            if size < 126 or offset > 2:
                if len(buffer) >= offset + size:
                    payload = bytes(buffer[offset : offset + size])
                    del buffer[: offset + size]
                    return payload
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed")
        buffer += chunk


def open_ws(port, source="127.0.0.1", timeout=30):
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                    source_address=(source, 0))
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                  f"Sec-WebSocket-Version: 13\r\n\r\n").encode())
    buffer = bytearray()
    while b"\r\n\r\n" not in buffer:
        chunk = sock.recv(4096)
        if not chunk:
            raise ConnectionError("refused")
        buffer += chunk
    end = buffer.index(b"\r\n\r\n") + 4
    if not buffer.startswith(b"HTTP/1.1 101"):
        raise ConnectionError(buffer[:end].decode(errors="replace"))
    return sock, bytearray(buffer[end:])


def login(sock, buffer, name, password):
    sock.sendall(frame(json.dumps({"type": "login_with_password", "username": name,
                                   "password": password})))
    return json.loads(read_frame(sock, buffer))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))


def hang_up_flood(port, stop, counter):
    i = 0
    while not stop.is_set():
        source = f"127.0.2.{2 + i % 50}"
        i += 1
        try:
            sock, _ = open_ws(port, source, timeout=5)
            sock.sendall(frame(json.dumps({"type": "login_with_password",
                                           "username": f"nobody{i}", "password": "x"})))
            sock.close()
            counter[0] += 1
        except OSError:
            pass
        time.sleep(1 / 300)


def guesser(port, index, stop, counter):
    try:
        sock, buffer = open_ws(port, f"127.0.7.{2 + index}", timeout=10)
        while not stop.is_set():
            login(sock, buffer, "bob", f"guess{counter[0]}")
            counter[0] += 1
        sock.close()
    except (OSError, ConnectionError, ValueError):
        pass


def timed_logins(port, count=5):
    delays = []
    for _ in range(count):
        t0 = time.monotonic()
        sock, buffer = open_ws(port)
        t1 = time.monotonic()
        answer = login(sock, buffer, "alice", "demo")
        delays.append(time.monotonic() - t0)
        if VERBOSE:
            print(f"  open {(t1 - t0) * 1000:.0f} ms, login {(time.monotonic() - t1) * 1000:.0f} ms")
        assert answer["type"] == "login_success", answer
        sock.close()
        time.sleep(0.5)
    return delays


def main():
    data = tempfile.mkdtemp(prefix="ferrow-probe-")
    subprocess.run([SERVER, "--data-dir", data, "seed-demo"], check=True,
                   stderr=subprocess.DEVNULL)
    big = os.path.join(data, "static", "big.png")
    os.makedirs(os.path.dirname(big), exist_ok=True)
    with open(big, "wb") as f:
        f.write(os.urandom(4 * 1024 * 1024))
    env = dict(os.environ, QT_LOGGING_RULES="ferrow.server.info=true")
    log = open(os.path.join(data, "server.log"), "w")
    server = subprocess.Popen([SERVER, "--data-dir", data, "--port", "0"],
                              stdout=subprocess.PIPE, stderr=log, env=env, text=True)
    try:
        port = int(re.search(r":(\d+)", server.stdout.readline()).group(1))
        print(f"server pid {server.pid}, port {port}, idle RSS {rss_kib(server.pid) // 1024} MiB")

        # 0. A real login on a quiet server, for comparison: the check itself costs this.
        quiet = []
        for _ in range(3):
            t0 = time.monotonic()
            sock, buffer = open_ws(port)
            assert login(sock, buffer, "alice", "demo")["type"] == "login_success"
            quiet.append(time.monotonic() - t0)
            sock.close()
        print(f"login on a quiet server: median {statistics.median(quiet) * 1000:.0f} ms")

        # 1. A real login while strangers hang up.
        stop = threading.Event()
        counter = [0]
        flood = threading.Thread(target=hang_up_flood, args=(port, stop, counter))
        started = time.monotonic()
        flood.start()
        time.sleep(1)
        delays = timed_logins(port)
        stop.set()
        flood.join()
        rate = counter[0] / (time.monotonic() - started)
        print(f"login under a hang-up flood of {rate:.0f}/s: median "
              f"{statistics.median(delays) * 1000:.0f} ms, max {max(delays) * 1000:.0f} ms")

        # 1b. A real login while 100 strangers, each from an address of its own, keep guessing
        # bob's password, each sending its next guess as soon as the last is answered.
        stop = threading.Event()
        counter = [0]
        guessers = [threading.Thread(target=guesser, args=(port, i, stop, counter))
                    for i in range(100)]
        started = time.monotonic()
        for thread in guessers:
            thread.start()
        time.sleep(2)
        delays = timed_logins(port)
        stop.set()
        for thread in guessers:
            thread.join()
        rate = counter[0] / (time.monotonic() - started)
        print(f"login while 100 strangers guess ({rate:.0f} answers/s): median "
              f"{statistics.median(delays) * 1000:.0f} ms, max {max(delays) * 1000:.0f} ms")
        if LOGINS_ONLY:
            return

        # 2. Guesses on one account from one address, for 20 s.
        log.flush()
        failed_before = open(log.name).read().count("login failed for bob")
        sock, buffer = open_ws(port, "127.0.3.2")
        attempts = 0
        t0 = time.monotonic()
        while time.monotonic() - t0 < 20 and attempts < 1000:
            answer = login(sock, buffer, "bob", f"guess{attempts}")
            assert answer["type"] in ("auth_failed", "error"), answer
            attempts += 1
            # The request rate allowed to one connection.
            time.sleep(0.05)
        elapsed = time.monotonic() - t0
        sock.close()
        time.sleep(0.5)
        checked = open(log.name).read().count("login failed for bob") - failed_before
        print(f"guessing one account: {attempts} answered in {elapsed:.1f} s, {checked} checked "
              f"({checked / elapsed:.2f} checked guesses/s)")

        # 3a. One user's connections ask for history and never read, while another posts.
        readers = []
        for i in range(20):
            try:
                sock, buffer = open_ws(port, f"127.0.4.{2 + i}")
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                if login(sock, buffer, "carol", "demo")["type"] == "login_success":
                    readers.append(sock)
                else:
                    sock.close()
            except (OSError, ConnectionError, ValueError):
                pass
        history = None
        writer, wbuffer = open_ws(port, "127.0.5.2")
        answer = login(writer, wbuffer, "alice", "demo")
        login_frames = [json.loads(read_frame(writer, wbuffer)) for _ in range(2)]
        team = login_frames[0]["chats"][0]["chatId"]
        peak = 0
        t0 = time.monotonic()
        while time.monotonic() - t0 < 10:
            writer.sendall(frame(json.dumps({"type": "message", "chatId": team,
                                             "content": {"text": "x" * 4000}})))
            history = frame(json.dumps({"type": "get_history", "chatId": team,
                                        "before": 4e9}))
            for sock in readers:
                try:
                    sock.setblocking(False)
                    sock.send(history)
                except OSError:
                    pass
            writer.setblocking(False)
            try:
                while writer.recv(1 << 20):
                    pass
            except OSError:
                pass
            writer.setblocking(True)
            peak = max(peak, rss_kib(server.pid))
            time.sleep(0.05)
        print(f"{len(readers)} of 20 connections of one user logged in; peak RSS while they "
              f"never read: {peak // 1024} MiB")
        for sock in readers:
            sock.close()
        writer.close()

        # 3b. 60 downloads of a 4 MiB file that are never read.
        downloads = []
        for i in range(60):
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.bind(("127.0.6.2", 0))
            sock.connect(("127.0.0.1", port))
            sock.sendall(b"GET /static/big.png HTTP/1.1\r\nHost: x\r\n\r\n")
            downloads.append(sock)
        peak = 0
        t0 = time.monotonic()
        while time.monotonic() - t0 < 10:
            peak = max(peak, rss_kib(server.pid))
            time.sleep(0.1)
        print(f"peak RSS with 60 unread downloads of a 4 MiB file: {peak // 1024} MiB")
        for sock in downloads:
            sock.close()
    finally:
        server.terminate()
        server.wait(10)


if __name__ == "__main__":
    main()
