"""A real browser for the report's tests: Debian's chromium, headless, driven
by Selenium through chromium-driver; load() opens a page, which returns once
every picture has loaded, asks the page what it shows and saves a screenshot
of all of it."""
import base64
import os
import shutil

from kitlib import interpreter

interpreter.require("selenium")
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402

CHROMIUM = os.environ.get("CHROMIUM", "chromium")
CHROMEDRIVER = os.environ.get("CHROMEDRIVER", "chromedriver")
WIDTH = 1280
TIMEOUT = 60

# What the page says about itself, as the browser laid it out.
PROBE = """return (() => {
  const rows = [...document.querySelectorAll('tr[data-release]')].map(tr => ({
    release: tr.dataset.release, windows: tr.dataset.windows, arch: tr.dataset.arch,
    verdict: tr.dataset.verdict, modelled: tr.dataset.modelled === '1',
    background: getComputedStyle(tr).backgroundColor, color: getComputedStyle(tr.cells[1]).color,
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
          summary: document.querySelector('.summary').textContent.replace(/\\s+/g, ' ').trim(),
          scrollWidth: document.documentElement.scrollWidth, height: document.documentElement.scrollHeight,
          fontFamily: getComputedStyle(document.body).fontFamily};
})()"""


def load(page, screenshot):
    """What the page at that path shows at WIDTH pixels (see PROBE), after
    its load event; its whole height saved as a PNG to screenshot."""
    options = webdriver.ChromeOptions()
    # The driver takes the browser's path only, not a name to look up.
    options.binary_location = shutil.which(CHROMIUM) or CHROMIUM
    options.add_argument("--headless=new")
    for flag in ("--disable-gpu", "--disable-dev-shm-usage", "--hide-scrollbars", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 f"--window-size={WIDTH},900"):
        options.add_argument(flag)
    # Its sandbox needs user namespaces that root in a container lacks.
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")
    # An explicit driver, so Selenium never looks for one to download.
    # Newer Selenium takes the driver only by its path, not by a name on the PATH.
    driver = webdriver.Chrome(service=Service(shutil.which(CHROMEDRIVER) or CHROMEDRIVER), options=options)
    try:
        driver.set_page_load_timeout(TIMEOUT)
        # The window's outer size is not the page's: pin the page's instead.
        metrics = {"width": WIDTH, "height": 900, "deviceScaleFactor": 1, "mobile": False}
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", metrics)
        # Returns after the load event, which waits for every picture.
        driver.get("file://" + os.path.abspath(page))
        seen = driver.execute_script(PROBE)
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", dict(metrics, height=seen["height"]))
        shot = driver.execute_cdp_cmd("Page.captureScreenshot", {"format": "png"})["data"]
        with open(screenshot, "wb") as picture:
            picture.write(base64.b64decode(shot))
    finally:
        driver.quit()
    return seen
