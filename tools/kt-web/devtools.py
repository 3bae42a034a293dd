"""Headless Chromium driven over its DevTools protocol: one page, JavaScript evaluated in
it, its console errors, screenshots. Used by kt-web's browser test and by scripts/demo:
   python3 devtools.py URL PICTURE.png [CHROMIUM]
waits until the page shows sources, then saves a picture of it."""

import base64
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

import websocket


class DevTools:
    """One page of a headless browser, over the browser's DevTools WebSocket."""

    def __init__(self, chromium, profile):
        # A session of its own, so that the browser's helper processes end with it.
        self.process = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu",
             "--remote-debugging-port=0", f"--user-data-dir={profile}",
             "--window-size=1200,900", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, start_new_session=True)
        url = None
        deadline = time.monotonic() + 30
        while url is None and time.monotonic() < deadline:
            line = self.process.stderr.readline()
            if not line:
                break
            found = re.search(r"DevTools listening on (ws://\S+)", line)
            url = found.group(1) if found else None
        if url is None:
            self.process.kill()
            raise RuntimeError("the browser did not start its DevTools endpoint")
        self.socket = websocket.create_connection(url, timeout=30)
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]
        for domain in ("Runtime", "Log", "Page"):
            self.call(f"{domain}.enable", session=True)

    def call(self, method, session=False, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self.session
        self.socket.send(json.dumps(message))
        while True:
            reply = json.loads(self.socket.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", session=True, expression=expression,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=15):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.2)
        return self.evaluate(expression)

    def console_errors(self):
        errors = []
        for e in self.events:
            method, params = e.get("method"), e.get("params", {})
            if method == "Runtime.consoleAPICalled" and params.get("type") == "error":
                errors.append(params)
            elif method == "Runtime.exceptionThrown":
                errors.append(params)
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                errors.append(params["entry"])
        return errors

    def screenshot(self, path):
        data = self.call("Page.captureScreenshot", session=True, format="png")["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def close(self):
        self.socket.close()
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()


def main(argv):
    url, picture = argv[1], argv[2]
    chromium = argv[3] if len(argv) > 3 else "chromium"
    with tempfile.TemporaryDirectory(prefix="kt-web-picture-", ignore_cleanup_errors=True) as d:
        page = DevTools(chromium, d)
        try:
            page.call("Page.navigate", session=True, url=url)
            shown = page.wait_for("document.querySelectorAll('#sources tbody tr').length > 0")
            time.sleep(1.5)  # a few more updates: the waveform and the rate strip
            page.screenshot(picture)
        finally:
            page.close()
    return 0 if shown else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
