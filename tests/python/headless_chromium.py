"""A page in headless Chromium, driven over the DevTools protocol on a pipe
(--remote-debugging-pipe: JSON messages ended by NUL, commands on the
browser's fd 3, replies and events on its fd 4). Standard library only."""

import base64
import json
import os
import select
import shutil
import subprocess
import time


class BrowserError(RuntimeError):
    pass


def find_chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Chromium:
    def __init__(self, user_data_dir, log_path, timeout=120.0):
        binary = find_chromium()
        if binary is None:
            raise BrowserError("no chromium on PATH (scripts/deps.sh installs it)")
        self.deadline = time.monotonic() + timeout
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def on_fds_3_and_4():  # in the child, before exec
            a, b = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(a, 3)
            os.dup2(b, 4)
            os.set_inheritable(3, True)
            os.set_inheritable(4, True)

        self._log = open(log_path, "wb")
        # Root needs --no-sandbox; the profile is a fresh folder of the test's own.
        self.proc = subprocess.Popen(
            [binary, "--headless=new", "--no-sandbox", "--disable-gpu",
             f"--user-data-dir={user_data_dir}", "--remote-debugging-pipe", "--no-first-run",
             "--no-default-browser-check", "--disable-extensions", "--disable-sync",
             "--disable-background-networking", "--disable-component-update",
             "--hide-scrollbars", "--mute-audio", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log, close_fds=False,
            preexec_fn=on_fds_3_and_4)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self.events = []

    # ---- protocol -------------------------------------------------------------------------
    def _read(self):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise BrowserError("timed out waiting for the browser")
        ready, _, _ = select.select([self._from_browser], [], [], min(left, 1.0))
        if not ready:
            if self.proc.poll() is not None:
                raise BrowserError(f"the browser exited with {self.proc.returncode}")
            return
        chunk = os.read(self._from_browser, 1 << 20)
        if not chunk:
            raise BrowserError("the browser closed its pipe")
        self._buffer += chunk
        while b"\0" in self._buffer:
            message, self._buffer = self._buffer.split(b"\0", 1)
            self.events.append(json.loads(message))

    def wait_for(self, match):
        """The first message (reply or event) so far or to come that `match` accepts."""
        seen = 0
        while True:
            for message in self.events[seen:]:
                if match(message):
                    return message
            seen = len(self.events)
            self._read()

    def send(self, method, params=None, session=None):
        self._next_id += 1
        ident = self._next_id
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        reply = self.wait_for(lambda m: m.get("id") == ident)
        if "error" in reply:
            raise BrowserError(f"{method}: {reply['error']}")
        return reply.get("result", {})

    # ---- a page ---------------------------------------------------------------------------
    def open(self, url, width=1280, height=900):
        """Opens `url` in a new tab of the given viewport, waits for its load event and
        returns the session of the tab."""
        target = self.send("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = self.send("Target.attachToTarget", {"targetId": target, "flatten": True})[
            "sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            self.send(f"{domain}.enable", session=session)
        self.send("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": False},
                  session)
        self.loaded_from = len(self.events)
        nav = self.send("Page.navigate", {"url": url}, session)
        if nav.get("errorText"):
            raise BrowserError(f"navigating to {url}: {nav['errorText']}")
        self.wait_for(lambda m: m.get("method") == "Page.loadEventFired"
                      and m.get("sessionId") == session)
        return session

    def evaluate(self, session, expression):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True},
                           session)
        if "exceptionDetails" in result:
            raise BrowserError(f"evaluate: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self, session):
        """PNG bytes of the whole page at its CSS size."""
        size = self.send("Page.getLayoutMetrics", session=session)["cssContentSize"]
        clip = {"x": 0, "y": 0, "width": size["width"], "height": size["height"], "scale": 1}
        data = self.send("Page.captureScreenshot",
                         {"format": "png", "captureBeyondViewport": True, "clip": clip},
                         session)["data"]
        return base64.b64decode(data)

    def problems(self, session):
        """Console errors and warnings, uncaught exceptions, failed loads, and requests for
        anything but the page's own file and data: URLs, since the page opened."""
        out = []
        for m in self.events[self.loaded_from:]:
            if m.get("sessionId") != session:
                continue
            method, p = m.get("method"), m.get("params", {})
            if method == "Runtime.consoleAPICalled" and p.get("type") in ("error", "warning",
                                                                            "assert"):
                out.append(f"console {p['type']}: {p.get('args')}")
            elif method == "Runtime.exceptionThrown":
                out.append(f"exception: {p.get('exceptionDetails')}")
            elif method == "Log.entryAdded" and p["entry"].get("level") in ("error", "warning"):
                out.append(f"log {p['entry']['level']}: {p['entry'].get('text')} "
                           f"{p['entry'].get('url', '')}")
            elif method == "Network.loadingFailed":
                out.append(f"load failed: {p.get('errorText')} ({p.get('type')})")
            elif method == "Network.requestWillBeSent":
                url = p["request"]["url"]
                if not url.startswith(("file:", "data:")):
                    out.append(f"request outside the page: {url}")
        return out

    def close(self):
        try:
            if self.proc.poll() is None:
                try:
                    self.deadline = time.monotonic() + 10
                    self.send("Browser.close")
                except (BrowserError, OSError):
                    pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        finally:
            os.close(self._to_browser)
            os.close(self._from_browser)
            self._log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
