#!/usr/bin/env python3
"""Hostile clients against `pellomatic-cli serve --token-file` on loopback,
each loop bounded in bytes and time: a 200 MiB request line, a 200 MiB header,
200 MiB of short headers, a 300 MiB body declared or chunked, eight of these
at once; 16 clients trickling a header byte a second; more connections than
one address may hold; connections that say nothing. Meanwhile a normal
sign-in and request are answered within 5 s, the server stops reading what
it will not take, drops the silent, and its peak memory stays under 150 MiB.

Usage: hostile_test.py BIN_DIR OUT_DIR"""

import http.client
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

TOKEN = "hostile-test-token-0123456789"
MiB = 1024 * 1024
PEAK_LIMIT_MIB = 150
FLOOD_BYTES = 200 * MiB
FLOOD_SECONDS = 60


def peak_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return -1


def connect(port, source="127.0.0.1"):
    s = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0))
    return s


def flood(port, head, filler, result, index):
    """Sends `head`, then `filler` over and over up to FLOOD_BYTES or FLOOD_SECONDS, or until the server stops
    taking it; result[index] = bytes sent beyond the head, and the status line it answered, if any."""
    sent, answer = 0, b""
    end = time.monotonic() + FLOOD_SECONDS
    try:
        s = connect(port)
        s.sendall(head)
        while sent < FLOOD_BYTES and time.monotonic() < end:
            s.sendall(filler)
            sent += len(filler)
    except OSError:
        pass
    try:
        s.settimeout(5)
        answer = s.recv(200)
    except (OSError, UnboundLocalError):
        pass
    try:
        s.close()
    except (OSError, UnboundLocalError):
        pass
    result[index] = (sent, answer.split(b"\r\n")[0])


FLOODS = {
    "a request line": (b"GET /", b"A" * MiB),
    "a header": (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: ", b"A" * MiB),
    "short headers": (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n", b"".join(b"X-%06d: v\r\n" % i for i in range(80000))),
    "a declared body": (b"POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 314572800\r\n"
                        b"Content-Type: application/x-www-form-urlencoded\r\n\r\n", b"A" * MiB),
    "a chunked body": (b"POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
                       b"Content-Type: application/x-www-form-urlencoded\r\n\r\n", b"100000\r\n" + b"A" * MiB + b"\r\n"),
}


def normal_request(port, source="127.0.0.1"):
    """Seconds a sign-in and one request for data take, and whether both were answered right."""
    start = time.monotonic()
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30, source_address=(source, 0))
        conn.request("POST", "/login", body="token=" + TOKEN,
                     headers={"Content-Type": "application/x-www-form-urlencoded"})
        reply = conn.getresponse()
        reply.read()
        cookie = (reply.getheader("Set-Cookie") or "").split(";")[0]
        conn.request("GET", "/api/overview", headers={"Cookie": cookie})
        data = conn.getresponse()
        ok = reply.status == 303 and data.status == 200 and b"HOSTILE" in data.read()
        conn.close()
    except (OSError, http.client.HTTPException):
        ok = False
    return time.monotonic() - start, ok


def main():
    bin_dir, out_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(out_dir, exist_ok=True)
    work = tempfile.mkdtemp(dir=out_dir)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PELLOMATIC_", "PG"))}
    env.update(HOME=work, XDG_DATA_HOME=work + "/data", XDG_STATE_HOME=work + "/state")
    db = work + "/record.db"
    cli = [bin_dir + "/pellomatic-cli", "--db", db]
    subprocess.run(cli + ["batch", "create", "HOSTILE", "--first", "HS001", "--count", "10", "--code", "ABCDEFGH_123"],
                   env=env, check=True, capture_output=True)
    token = work + "/token"
    with open(token, "w") as f:
        f.write(TOKEN + "\n")
    os.chmod(token, 0o600)
    failures = []

    def check(name, ok, detail=""):
        print(("ok    " if ok else "FAIL  ") + name + ("" if ok else ": " + str(detail)), flush=True)
        if not ok:
            failures.append(name)

    serve = subprocess.Popen(cli + ["serve", "--listen", "127.0.0.1:0", "--token-file", token], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    silent = []
    try:
        port = int(serve.stdout.readline().rsplit(":", 1)[1].strip("/\n"))
        # Connections that never say a word, from an address of their own: dropped when idle.
        silent = [connect(port, "127.0.0.3") for _ in range(8)]
        silent_since = time.monotonic()

        for name, (head, filler) in FLOODS.items():
            result = [None]
            flood(port, head, filler, result, 0)
            sent, answer = result[0]
            check("%s: the server stops taking it (%d MiB sent, %r)" % (name, sent // MiB, answer),
                  sent < FLOOD_BYTES, sent)
        result = [None] * 8
        floods = list(FLOODS.values())
        threads = [threading.Thread(target=flood, args=(port, *floods[i % len(floods)], result, i)) for i in range(8)]
        for t in threads:
            t.start()
        seconds, ok = normal_request(port)
        for t in threads:
            t.join()
        check("eight floods at once, and a normal request answered meanwhile (%.1f s)" % seconds,
              ok and seconds < 5 and all(r and r[0] < FLOOD_BYTES for r in result), result)
        check("peak memory after the floods: %.0f MiB" % peak_mib(serve.pid), peak_mib(serve.pid) < PEAK_LIMIT_MIB)

        # 16 clients trickling a header byte a second, for 8 s.
        tricklers = [connect(port) for _ in range(16)]
        for s in tricklers:
            s.sendall(b"GET /app.js HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
        answers = []
        for second in range(8):
            for s in tricklers:
                s.sendall(b"a")
            if second in (2, 5):
                answers.append(normal_request(port))
            time.sleep(1)
        check("16 trickling clients leave a normal request answered within 5 s (%s)" %
              ", ".join("%.1f s" % a[0] for a in answers), all(ok and t < 5 for t, ok in answers), answers)
        for s in tricklers:
            s.close()

        # More connections than an address may hold: the rest of the plant is still served.
        crowd = []
        for _ in range(200):
            try:
                crowd.append(connect(port))
            except OSError:
                break
        time.sleep(1)
        closed = 0
        for s in crowd:
            s.setblocking(False)
            try:
                closed += s.recv(1) == b""
            except OSError as e:
                closed += not isinstance(e, BlockingIOError)
        seconds, ok = normal_request(port, "127.0.0.2")
        check("200 connections from one address: most closed at once (%d), another address served in %.1f s" %
              (closed, seconds), closed >= 200 - 32 and ok and seconds < 5, (closed, ok))
        for s in crowd:
            s.close()

        # The silent ones were dropped after the idle time (20 s), well before a minute.
        time.sleep(max(0.0, 30 - (time.monotonic() - silent_since)))
        dropped = 0
        for s in silent:
            s.settimeout(30)
            try:
                dropped += s.recv(1) == b""
            except OSError:
                dropped += 1
        check("connections that say nothing are dropped", dropped == len(silent), dropped)
        seconds, ok = normal_request(port)
        check("still answering at the end (%.1f s)" % seconds, ok)
        peak = peak_mib(serve.pid)
        check("peak memory of the whole test: %.0f MiB (limit %d)" % (peak, PEAK_LIMIT_MIB), 0 < peak < PEAK_LIMIT_MIB)
    finally:
        for s in silent:
            s.close()
        serve.send_signal(signal.SIGINT)
        try:
            serve.wait(timeout=30)
        except subprocess.TimeoutExpired:
            serve.kill()
            serve.wait()
    check("serve ends on Ctrl+C", serve.returncode == 0, serve.returncode)
    print("%d failed" % len(failures))
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
