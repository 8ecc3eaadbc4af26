"""The report as a person sees it: a real browser (Debian's chromium,
headless) loads a report of made-up runs with real PNG screenshots, and the
test asks the page, through the browser's DevTools protocol on a pipe, which
rows it has, whether every picture loaded at its own size, whether anything
hostile ran and whether it fits 1280 pixels; then it saves a screenshot of
the whole page for a person to look at.

CHROMIUM names the browser (default chromium); REPORT_OUT a folder to keep
the report and its screenshot in (default: a scratch folder, removed).
"""
import base64
import datetime
import json
import os
import select
import shutil
import subprocess
import tempfile
import time
import unittest

import fabricated
from fabricated import report

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
    wrong: tr.dataset.wrong === '1', modelled: tr.dataset.modelled === '1', problem: tr.dataset.problem === '1',
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


class InChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not shutil.which(CHROMIUM):
            raise AssertionError(f"{CHROMIUM} is missing: run tools/dev/setup.sh report")
        scratch = tempfile.mkdtemp(prefix="report-chromium-")
        cls.addClassCleanup(shutil.rmtree, scratch, True)
        keep = os.environ.get("REPORT_OUT")
        out = os.path.abspath(keep) if keep else scratch
        os.makedirs(out, exist_ok=True)
        cls.tables, cls.shots = fabricated.tables(scratch)
        launcher = os.path.join(scratch, "setup.exe")
        with open(launcher, "wb") as program:
            program.write(b"MZ" + bytes(5118))
        cls.page = report.write(os.path.join(out, "report"), findings=fabricated.FINDINGS, tables=cls.tables,
                                launcher=launcher, wine=fabricated.WINE,
                                date=datetime.datetime(2024, 5, 6, 7, 8).astimezone())
        cls.screenshot = os.path.join(out, "report.png")

        profile = os.path.join(scratch, "profile")
        os.makedirs(profile)
        browser = Browser(profile)
        try:
            target = browser.send("Target.createTarget", url="about:blank")["targetId"]
            session = browser.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            browser.send("Page.enable", session)
            browser.send("Emulation.setDeviceMetricsOverride", session, width=WIDTH, height=900,
                         deviceScaleFactor=1, mobile=False)
            browser.send("Page.navigate", session, url="file://" + cls.page)
            # The load event waits for every picture.
            browser.wait_for("Page.loadEventFired", session)
            answer = browser.send("Runtime.evaluate", session, expression=PROBE, returnByValue=True)
            if "exceptionDetails" in answer:
                raise AssertionError(f"the probe failed: {answer['exceptionDetails']}")
            cls.seen = answer["result"]["value"]
            # The whole page at 1280 pixels wide, as one picture.
            browser.send("Emulation.setDeviceMetricsOverride", session, width=WIDTH, height=cls.seen["height"],
                         deviceScaleFactor=1, mobile=False)
            shot = browser.send("Page.captureScreenshot", session, format="png")["data"]
            with open(cls.screenshot, "wb") as picture:
                picture.write(base64.b64decode(shot))
        finally:
            browser.close()
        print(f"\nreport: {cls.page}\nscreenshot: {cls.screenshot}", flush=True)

    def test_rows(self):
        got = [(r["windows"], r["release"], r["arch"], r["wrong"], r["modelled"], r["problem"])
               for r in self.seen["rows"]]
        expected = [(t.windows, row.release, row.arch, row.wrong, row.modelled, bool(row.problem))
                    for t in self.tables for row in t.rows]
        self.assertEqual(len(got), len(expected))
        for i, (actual, wanted) in enumerate(zip(got, expected)):
            self.assertEqual(actual, wanted, f"row {i}")

    def test_wrong_rows_stand_out(self):
        # By colour and by a word: the plain rows show neither.
        plain = {r["background"] for r in self.seen["rows"] if not (r["wrong"] or r["modelled"] or r["problem"])}
        for i, row in enumerate(self.seen["rows"]):
            if row["wrong"]:
                self.assertNotIn(row["background"], plain, f"row {i} {row}: its colour")
                self.assertIn("\u2716 Wrong", row["marks"], f"row {i} {row}: its word")
            else:
                self.assertNotIn("\u2716 Wrong", row["marks"], f"row {i} {row}")
            if row["modelled"]:
                self.assertIn("\u25c7 Modelled, not run", row["marks"], f"row {i} {row}")

    def test_every_picture_loaded_at_its_own_size(self):
        expected = sum(1 for t in self.tables for row in t.rows for box in row.boxes if box.screenshot)
        self.assertEqual(len(self.seen["images"]), expected)
        sizes = {text: (width, height) for text, (_, width, height) in self.shots.items()}
        for image in self.seen["images"]:
            self.assertTrue(image["complete"] and image["naturalWidth"] > 0, f"not loaded: {image}")
            size = (image["naturalWidth"], image["naturalHeight"])
            self.assertEqual(size, sizes[image["alt"]], f"{image}: the picture of {image['alt']!r}")
            self.assertEqual((image["shownWidth"], image["shownHeight"]), size, f"{image}: not at natural size")

    def test_nothing_ran_nothing_fetched(self):
        self.assertEqual(self.seen["scripts"], 0, "script elements")
        self.assertIsNone(self.seen["pwned"], "a box text or path ran as script")
        outside = [name for name in self.seen["resources"]
                   if not name.startswith("file://" + os.path.dirname(self.page) + "/shots/")]
        self.assertEqual(outside, [], "loaded from outside the report")

    def test_fits_1280_pixels(self):
        self.assertLessEqual(self.seen["scrollWidth"], WIDTH, "the page scrolls sideways")
        self.assertIn("system-ui", self.seen["fontFamily"])

    def test_screenshot_saved(self):
        with open(self.screenshot, "rb") as picture:
            size = report.png_size(picture.read(64))
        self.assertEqual(size, (WIDTH, self.seen["height"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
