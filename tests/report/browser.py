"""A real browser for the report's tests: Debian's chromium, headless, driven
over its DevTools protocol on a pipe; load() opens a page, waits for every
picture, asks the page what it shows and saves a screenshot of all of it."""
import base64
import json
import os
import select
import subprocess
import tempfile
import time

CHROMIUM = os.environ.get("CHROMIUM", "chromium")
WIDTH = 1280
TIMEOUT = 60


class Browser:
    """chromium --headless driven over --remote-debugging-pipe: commands go
    in on its fd 3, answers and events come out on its fd 4, each a JSON text
    ended by a NUL."""

    def __init__(self, profile):
        to_browser, self._in = os.pipe()
        self._out, from_browser = os.pipe()
        command = [CHROMIUM, "--headless", "--disable-gpu", "--disable-quic", "--no-first-run",
                   "--disable-background-networking", "--disable-component-update", "--disable-sync",
                   "--disable-dev-shm-usage", "--hide-scrollbars", "--mute-audio",
                   f"--user-data-dir={profile}", "--remote-debugging-pipe", "about:blank"]
        # Its sandbox needs user namespaces that root in a container lacks.
        if os.geteuid() == 0:
            command.insert(1, "--no-sandbox")

        def pipes_as_3_and_4():
            os.dup2(to_browser, 3)
            os.dup2(from_browser, 4)
        self.log = open(os.path.join(profile, "chromium.log"), "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log,
                                        pass_fds=(3, 4), preexec_fn=pipes_as_3_and_4)
        os.close(to_browser)
        os.close(from_browser)
        self._buffer = b""
        self._next_id = 0
        self.events = []

    def send(self, method, session=None, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._in, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._receive()
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def wait_for(self, method, session):
        while True:
            for i, event in enumerate(self.events):
                if event.get("method") == method and event.get("sessionId") == session:
                    return self.events.pop(i)
            self.events.append(self._receive())

    def _receive(self):
        deadline = time.monotonic() + TIMEOUT
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._out], [], [], left)[0]:
                raise TimeoutError(f"chromium said nothing for {TIMEOUT} s")
            chunk = os.read(self._out, 1 << 20)
            if not chunk:
                raise RuntimeError(f"chromium ended (exit {self.process.poll()}); see {self.log.name}")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def close(self):
        try:
            self.send("Browser.close")
        except (OSError, RuntimeError, TimeoutError):
            pass
        try:
            self.process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._in)
        os.close(self._out)
        self.log.close()


# What the page says about itself, as the browser laid it out.
PROBE = """(() => {
  const rows = [...document.querySelectorAll('tr[data-release]')].map(tr => ({
    release: tr.dataset.release, windows: tr.dataset.windows, arch: tr.dataset.arch,
    verdict: tr.dataset.verdict, modelled: tr.dataset.modelled === '1',
    background: getComputedStyle(tr).backgroundColor,
    marks: [...tr.querySelectorAll('td.result .pill')].map(pill => pill.textContent.trim()),
  }));
  const images = [...document.images].map(img => ({
    src: img.getAttribute('src'), alt: img.alt, complete: img.complete,
    naturalWidth: img.naturalWidth, naturalHeight: img.naturalHeight,
    shownWidth: img.getBoundingClientRect().width, shownHeight: img.getBoundingClientRect().height,
  }));
  const resources = performance.getEntriesByType('resource').map(entry => entry.name);
  return {rows, images, resources, scripts: document.scripts.length,
          pwned: window.pwned === undefined ? null : window.pwned,
          scrollWidth: document.documentElement.scrollWidth, height: document.documentElement.scrollHeight,
          fontFamily: getComputedStyle(document.body).fontFamily};
})()"""


def load(page, screenshot):
    """What the page at that path shows at WIDTH pixels (see PROBE), after
    its load event; its whole height saved as a PNG to screenshot."""
    with tempfile.TemporaryDirectory(prefix="report-chromium-") as profile:
        browser = Browser(profile)
        try:
            target = browser.send("Target.createTarget", url="about:blank")["targetId"]
            session = browser.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            browser.send("Page.enable", session)
            browser.send("Emulation.setDeviceMetricsOverride", session, width=WIDTH, height=900,
                         deviceScaleFactor=1, mobile=False)
            browser.send("Page.navigate", session, url="file://" + os.path.abspath(page))
            # The load event waits for every picture.
            browser.wait_for("Page.loadEventFired", session)
            answer = browser.send("Runtime.evaluate", session, expression=PROBE, returnByValue=True)
            if "exceptionDetails" in answer:
                raise AssertionError(f"the probe failed: {answer['exceptionDetails']}")
            seen = answer["result"]["value"]
            browser.send("Emulation.setDeviceMetricsOverride", session, width=WIDTH, height=seen["height"],
                         deviceScaleFactor=1, mobile=False)
            shot = browser.send("Page.captureScreenshot", session, format="png")["data"]
            with open(screenshot, "wb") as picture:
                picture.write(base64.b64decode(shot))
        finally:
            browser.close()
    return seen
