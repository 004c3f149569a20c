#!/usr/bin/env python3
"""The supervisor's page in a real browser (headless Chromium, driven over
its DevTools pipe), served over HTTPS with a certificate made here and a token
file, while a simulated station fills the record: signing in through the form
(a wrong token told so), the session cookie (HttpOnly, Secure, SameSite=Strict,
never the token), a batch's progress, a unit programmed showing within 5 s, a
station going offline, a serial in doubt listed, a batch named
<img src=x onerror=alert(1)> shown as text, never two refreshes at once, and
the page backing off and saying why while the record file is gone. Writes a
screenshot.

Usage: browser_test.py BIN_DIR OUT_DIR [--screenshot PATH]"""

import base64
import hashlib
import json
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

from webcheck import eventually, make_certificate

BATCH = "<img src=x onerror=alert(1)>"
TOKEN = "browser-test-token-0123456789"


class Browser:
    """Chromium with its DevTools protocol on fds 3 and 4."""

    def __init__(self, profile, spki):
        self.to_browser_r, self.to_browser_w = os.pipe()
        self.from_browser_r, self.from_browser_w = os.pipe()
        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--remote-debugging-pipe", "--user-data-dir=" + profile,
                 "--ignore-certificate-errors-spki-list=" + spki, "--window-size=1280,1400", "about:blank"]
        shell = 'exec "$0" "$@" 3<&%d 4>&%d' % (self.to_browser_r, self.from_browser_w)
        self.process = subprocess.Popen(["bash", "-c", shell, shutil.which("chromium")] + flags,
                                        pass_fds=(self.to_browser_r, self.from_browser_w),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(self.to_browser_r)
        os.close(self.from_browser_w)
        self.next_id = 0
        self.buffer = b""
        self.events = []
        self.session = None

    def call(self, method, params=None, session=True):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self.to_browser_w, json.dumps(message).encode() + b"\0")
        while True:
            reply = self.read()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(method + ": " + json.dumps(reply["error"]))
                return reply["result"]
            self.events.append(reply)

    def read(self):
        while b"\0" not in self.buffer:
            chunk = os.read(self.from_browser_r, 65536)
            if not chunk:
                raise RuntimeError("the browser went away")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def open(self, url):
        target = self.call("Target.createTarget", {"url": url}, session=False)["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                 session=False)["sessionId"]
        self.call("Page.enable")
        self.call("Runtime.enable")
        self.call("Network.enable")

    def value(self, expression):
        """The expression's value in the page; None while the page is between two documents (a form sent)."""
        try:
            result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        except RuntimeError as e:
            if any(m in str(e) for m in ("navigated or closed", "context was destroyed", "Cannot find context")):
                return None
            raise
        return result["result"].get("value")

    def dialogs(self):
        return [e for e in self.events if e.get("method") == "Page.javascriptDialogOpening"]

    def requests(self, part):
        """The requests whose URL holds `part`, in order: [sent, ended, status] (times in the browser's seconds)."""
        self.value("0")  # every event so far is read before this call's answer
        seen = {}
        for e in self.events:
            p = e.get("params", {})
            if e.get("method") == "Network.requestWillBeSent" and part in p["request"]["url"]:
                seen[p["requestId"]] = [p["timestamp"], None, None]
            elif p.get("requestId") in seen:
                if e.get("method") == "Network.responseReceived":
                    seen[p["requestId"]][2] = p["response"]["status"]
                elif e.get("method") in ("Network.loadingFinished", "Network.loadingFailed"):
                    seen[p["requestId"]][1] = p["timestamp"]
        return sorted(seen.values())

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def certificate(work):
    """A certificate for 127.0.0.1 made here, and the hash of its key that Chromium is told to trust."""
    cert, key = make_certificate(work)
    der = subprocess.run("openssl x509 -in %s -pubkey -noout | openssl pkey -pubin -outform der" % cert, shell=True,
                         check=True, capture_output=True).stdout
    return cert, key, base64.b64encode(hashlib.sha256(der).digest()).decode()


def main():
    bin_dir, out_dir = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    shot = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == "--screenshot" else os.path.join(out_dir, "page.png")
    os.makedirs(out_dir, exist_ok=True)
    work = tempfile.mkdtemp(dir=out_dir)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PELLOMATIC_", "PG"))}
    env.update(HOME=work + "/home", XDG_RUNTIME_DIR=work + "/runtime", XDG_DATA_HOME=work + "/data",
               XDG_STATE_HOME=work + "/state")
    os.makedirs(env["HOME"])
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    db = work + "/record.db"
    cli = [bin_dir + "/pellomatic-cli", "--db", db]
    children = []
    failures = []

    def run(*args, **kw):
        return subprocess.run(cli + list(args), env=env, cwd=work, capture_output=True, text=True, **kw)

    def start(args, stdout=subprocess.DEVNULL):
        child = subprocess.Popen(args, env=env, cwd=work, stdout=stdout, stderr=subprocess.DEVNULL)
        children.append(child)
        return child

    def check(name, ok, detail=""):
        print(("ok    " if ok else "FAIL  ") + name + ("" if ok else ": " + str(detail)[:800]), flush=True)
        if not ok:
            failures.append(name)

    try:
        run("batch", "create", BATCH, "--first", "BR001", "--count", "40", "--code", "BROWSER0_001")
        # A batch whose name in the record is no valid UTF-8 and carries a bidi override (put in by hand).
        run("batch", "create", "BADNAME", "--first", "BN001", "--count", "2", "--code", "BROWSER0_001")
        con = sqlite3.connect(db)
        con.execute("UPDATE batches SET name = CAST(? AS TEXT) WHERE name = 'BADNAME'", (b"LOT\xc0\xaf\xe2\x80\xae",))
        con.commit()
        con.close()
        # A unit that acknowledged SID and refused PABC: its serial is in doubt.
        doubtful = start([bin_dir + "/pellomatic-devsim", "--link", work + "/doubt", "--fault", "PABC=nak,nak,nak"])
        eventually(lambda: os.path.exists(work + "/doubt"), 10)
        run("--station", "bench-9", "apply", "--batch", BATCH, "--port", work + "/doubt")
        doubtful.terminate()
        # A station programming a line of units while the page looks.
        start([bin_dir + "/pellomatic-devsim", "--link", work + "/line", "--units", "12", "--blank-units",
               "--gap", "0.3", "--hold", "0.3"])
        eventually(lambda: os.path.exists(work + "/line"), 10)
        station = start(cli + ["--station", "line-1", "--operator", "Ann", "station", "--batch", BATCH, "--port",
                               work + "/line", "--interval", "0.2", "--json"])
        cert, key, spki = certificate(work)
        with open(work + "/token", "w") as f:
            f.write(TOKEN + "\n")
        os.chmod(work + "/token", 0o600)
        serve = start(cli + ["serve", "--listen", "127.0.0.1:0", "--offline-after", "5", "--token-file",
                             work + "/token", "--tls-cert", cert, "--tls-key", key], stdout=subprocess.PIPE)
        url = serve.stdout.readline().decode().split()[-1]
        browser = Browser(work + "/profile", spki)
        try:
            browser.open(url)
            sign_in = ("document.querySelector('input[name=token]').value = %s; "
                       "document.querySelector('form').submit()")
            check("the sign-in form, and no data, before signing in",
                  eventually(lambda: browser.value("!!document.querySelector('input[name=token]')"), 20) and
                  not browser.value("!!document.querySelector('#batches')"))
            browser.value(sign_in % json.dumps("not-the-token-of-this-server"))
            message = "(document.querySelector('.message') || {}).textContent"
            check("a wrong token is told so", eventually(lambda: browser.value(message) == "That token is wrong.", 20),
                  str(browser.value(message)))
            time.sleep(1.5)  # the wait after one wrong token
            browser.value(sign_in % json.dumps(TOKEN))
            first_cell = "(document.querySelector('#batches tbody td') || {}).textContent"
            check("the batch is listed, its name shown as text",
                  eventually(lambda: browser.value(first_cell) == BATCH, 20), str(browser.value(first_cell)))
            check("no markup from the record runs or shows",
                  browser.value("document.querySelectorAll('main img').length") == 0 and not browser.dialogs())
            batches = "document.querySelector('#batches tbody').textContent"
            check("a name that is no valid UTF-8 is shown escaped beside the others",
                  "LOT\\xC0\\xAF\\u202E" in (browser.value(batches) or ""), str(browser.value(batches)))
            bar = "document.querySelector('#batches svg.progress rect.programmed').getAttribute('width')"
            check("the batch's progress grows",
                  eventually(lambda: float(browser.value(bar) or 0) > 0, 30), str(browser.value(bar)))
            doubts = "document.querySelector('#doubts tbody').textContent"
            check("the serial in doubt is listed with what is known",
                  eventually(lambda: "BR001" in (browser.value(doubts) or ""), 10), str(browser.value(doubts)))
            # A unit programmed now shows within 5 s.
            rows = lambda: json.loads(run("log", "--format", "json").stdout or "[]")
            before = len(rows())
            eventually(lambda: len(rows()) > before, 30)
            newest = rows()[-1]["serial"]
            seen = time.monotonic()
            records = "document.querySelector('#records tbody').textContent"
            shown = eventually(lambda: newest in (browser.value(records) or ""), 5)
            check("a unit programmed shows within 5 s", shown, "%s after %.1f s" % (newest, time.monotonic() - seen))
            stations = "document.querySelector('#stations tbody').textContent"
            check("the station is online, with its operator",
                  "Ann" in (browser.value(stations) or "") and "offline" not in (browser.value(stations) or ""))
            cookies = browser.call("Network.getCookies", {"urls": [url]})["cookies"]
            session = [c for c in cookies if c["name"] == "__Host-pello_session"]
            check("the session cookie: HttpOnly, Secure, SameSite=Strict, not the token",
                  len(session) == 1 and session[0]["httpOnly"] and session[0]["secure"] and
                  session[0]["sameSite"] == "Strict" and TOKEN not in session[0]["value"] and
                  "pello" not in (browser.value("document.cookie") or ""), cookies)
            browser.screenshot(shot)
            station.send_signal(signal.SIGINT)
            station.wait(timeout=60)
            check("a station that stops goes offline",
                  eventually(lambda: "offline" in (browser.value(stations) or ""), 20), str(browser.value(stations)))
            check("a screenshot was written", os.path.getsize(shot) > 10000)
            made = browser.requests("/api/")
            overlapping = [(a, b) for a, b in zip(made, made[1:]) if a[1] is None or b[0] < a[1]]
            check("one refresh at a time", len(made) > 6 and not overlapping, (len(made), overlapping))
            # The record goes away: the page says why, and asks less often.
            os.rename(db, db + ".away")
            gone = time.monotonic()
            status = "document.getElementById('status').textContent"
            check("the page says why it cannot read the record",
                  eventually(lambda: "is gone" in (browser.value(status) or ""), 20), str(browser.value(status)))
            time.sleep(max(0.0, 20 - (time.monotonic() - gone)))
            failed = [r[0] for r in browser.requests("/api/overview") if r[2] == 503]
            gaps = [b - a for a, b in zip(failed, failed[1:])]
            check("it backs off while the record is gone", bool(gaps) and max(gaps) > 5.5 and min(gaps) > 2.5, gaps)
            os.rename(db + ".away", db)
            check("and shows the record again when it is back",
                  eventually(lambda: (browser.value(status) or "").startswith("as of"), 20), browser.value(status))
        finally:
            browser.close()
    finally:
        for child in children:
            if child.poll() is None:
                child.send_signal(signal.SIGINT)
                try:
                    child.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    child.kill()
    print("%d failed" % len(failures))
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
