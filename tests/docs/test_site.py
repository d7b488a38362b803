"""The built documentation in headless Chromium: each page's title, no
error in the browser console, the gallery's figure loaded, and the search
page finding the estimator's methods. The site is served over HTTP on the
loopback address, as a documentation host serves it (the search page
fetches the pages it summarises, which a file:// page may not).

Run after ``make docs`` (``make docs-check`` does both); skipped when the
site or the browser is missing, so that the default test run needs neither.
"""

import functools
import http.server
import os
import shutil
import threading
from pathlib import Path

import pytest

SITE = Path(os.environ.get("VINTREL_DOCS_HTML", Path(__file__).resolve().parents[2] / "build" / "docs" / "html"))

webdriver = pytest.importorskip("selenium.webdriver")
if not (SITE / "index.html").is_file():
    pytest.skip(f"no built site at {SITE} (run make docs)", allow_module_level=True)
if not (shutil.which("chromium") and shutil.which("chromedriver")):
    pytest.skip("Debian's chromium and chromium-driver are not installed", allow_module_level=True)

from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format, *args):
        pass


@pytest.fixture(scope="module")
def site():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_QuietHandler, directory=SITE))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}/"
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def browser(site):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--allow-file-access-from-files", "--window-size=1280,900"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = webdriver.ChromeService(executable_path=shutil.which("chromedriver"))
    driver = webdriver.Chrome(options=options, service=service)
    driver.set_page_load_timeout(30)
    driver.site = site
    yield driver
    driver.quit()


def open_page(browser, relative):
    browser.get_log("browser")  # drop what earlier pages logged
    browser.get(browser.site + relative)
    WebDriverWait(browser, 20).until(lambda d: d.execute_script("return document.readyState") == "complete")


def console_errors(browser):
    return [entry["message"] for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


@pytest.mark.parametrize(("page", "title"), [
    ("index.html", "vintrel"),
    ("api/estimator.html", "The estimator"),
    ("auto_examples/plot_order_passes.html", "Order and passes on a real table"),
    ("guide/passes.html", "Batches, order and passes"),
])
def test_page_loads_cleanly(browser, page, title):
    open_page(browser, page)
    assert browser.title.startswith(title), browser.title
    assert browser.find_element(By.TAG_NAME, "h1").text.strip().rstrip("#¶").strip().startswith(title)
    images = browser.execute_script(
        "return Array.from(document.images).map(i => [i.currentSrc, i.complete, i.naturalWidth]);")
    broken = [src for src, complete, width in images if not (complete and width > 0)]
    assert broken == []
    assert console_errors(browser) == []


def test_gallery_figure_is_drawn(browser):
    open_page(browser, "auto_examples/plot_order_passes.html")
    figures = browser.find_elements(By.CSS_SELECTOR, "img.sphx-glr-single-img, img.sphx-glr-multi-img")
    assert figures, "the example page shows no figure"
    widths = [browser.execute_script("return arguments[0].complete && arguments[0].naturalWidth", f)
              for f in figures]
    assert all(width and width > 100 for width in widths), widths


def test_estimator_page_documents_the_methods(browser):
    open_page(browser, "api/estimator.html")
    anchors = {element.get_attribute("id") for element in browser.find_elements(By.CSS_SELECTOR, "dt[id]")}
    expected = {f"vintrel.IncrementalHuberRegressor.{name}" for name in
                ("fit", "partial_fit", "predict", "predict_interval", "summary", "merge", "save", "load")}
    assert expected <= anchors


@pytest.mark.parametrize("query", ["partial_fit", "half_life"])
def test_search_finds(browser, query):
    open_page(browser, f"search.html?q={query}")
    WebDriverWait(browser, 20).until(
        lambda d: d.find_elements(By.CSS_SELECTOR, "#search-results ul.search li")
        or "did not match" in d.find_element(By.ID, "search-results").text)
    links = [a.get_attribute("href") for a in browser.find_elements(By.CSS_SELECTOR, "#search-results ul.search li a")]
    assert any("estimator.html" in link or "guide/" in link for link in links), links
    assert console_errors(browser) == []
