#!/usr/bin/env python3
"""The supervisor's page in a real browser (headless Chromium, driven over
its DevTools pipe), while a simulated station fills the record: a batch's
progress, a unit programmed showing within 5 s, a station going offline, a
serial in doubt listed, and a batch named <img src=x onerror=alert(1)>
shown as text. Writes a screenshot.

Usage: browser_test.py BIN_DIR OUT_DIR [--screenshot PATH]"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BATCH = "<img src=x onerror=alert(1)>"


class Browser:
    """Chromium with its DevTools protocol on fds 3 and 4."""

    def __init__(self, profile):
        self.to_browser_r, self.to_browser_w = os.pipe()
        self.from_browser_r, self.from_browser_w = os.pipe()
        flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--remote-debugging-pipe", "--user-data-dir=" + profile, "--window-size=1280,1400", "about:blank"]
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

    def value(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        return result["result"].get("value")

    def dialogs(self):
        return [e for e in self.events if e.get("method") == "Page.javascriptDialogOpening"]

    def screenshot(self, path):
        import base64
        data = self.call("Page.captureScreenshot", {"format": "png", "captureBeyondViewport": True})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def eventually(check, seconds):
    """Whether `check` comes true within `seconds` (looked at every 0.2 s)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.2)
    return check()


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
        print(("ok    " if ok else "FAIL  ") + name + ("" if ok else ": " + detail))
        if not ok:
            failures.append(name)

    try:
        run("batch", "create", BATCH, "--first", "BR001", "--count", "40", "--code", "BROWSER0_001")
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
        serve = start(cli + ["serve", "--listen", "127.0.0.1:0", "--offline-after", "5"], stdout=subprocess.PIPE)
        url = serve.stdout.readline().decode().split()[-1]
        browser = Browser(work + "/profile")
        try:
            browser.open(url)
            first_cell = "(document.querySelector('#batches tbody td') || {}).textContent"
            check("the batch is listed, its name shown as text",
                  eventually(lambda: browser.value(first_cell) == BATCH, 20), str(browser.value(first_cell)))
            check("no markup from the record runs or shows",
                  browser.value("document.querySelectorAll('main img').length") == 0 and not browser.dialogs())
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
                  "Ann" in (browser.value(stations) or "") and "offline" not in browser.value(stations))
            browser.screenshot(shot)
            station.send_signal(signal.SIGINT)
            station.wait(timeout=60)
            check("a station that stops goes offline",
                  eventually(lambda: "offline" in (browser.value(stations) or ""), 20), str(browser.value(stations)))
            check("a screenshot was written", os.path.getsize(shot) > 10000)
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
    passed = 8 - len(failures)
    print("%d passed, %d failed" % (passed, len(failures)))
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
