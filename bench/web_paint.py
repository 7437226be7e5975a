#!/usr/bin/env python3
"""First paint of the web page's views in headless Chromium, from the
Performance API: the marks the page sets at the first frame painted after
it drew a list, and the bytes of every resource it fetched.

  web_paint.py URL REPOSITORY ROUNDS

Prints one line of JSON: the medians over ROUNDS fresh loads (each in a new
browser, nothing cached) of the repository list's first paint and its
complete load, the tag list's first paint (REPOSITORY's tags), and the
bytes the first load transferred (the page's own files, and all of it with
the catalog's answers).
"""
import json
import shutil
import statistics
import sys

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

url, repository, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,900"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=options)


def mark(driver, name):
    WebDriverWait(driver, 120).until(lambda d: d.execute_script(
        "return performance.getEntriesByName(arguments[0]).length > 0", name))
    return driver.execute_script("return performance.getEntriesByName(arguments[0])[0].startTime", name)


samples = {"repositories_first_paint_ms": [], "repositories_complete_ms": [], "tags_first_paint_ms": [],
           "first_load_page_bytes": [], "first_load_total_bytes": []}
for _ in range(rounds):
    d = browser()
    try:
        d.get(url + "/")
        samples["repositories_first_paint_ms"].append(mark(d, "repositories-painted"))
        samples["repositories_complete_ms"].append(mark(d, "repositories-complete"))
        sizes = d.execute_script("""
          const nav = performance.getEntriesByType('navigation')[0];
          const res = performance.getEntriesByType('resource');
          const page = res.filter(r => !new URL(r.name).pathname.startsWith('/v2/'));
          const sum = (a) => a.reduce((s, r) => s + r.transferSize, 0);
          return [nav.transferSize + sum(page), nav.transferSize + sum(res)];""")
        samples["first_load_page_bytes"].append(sizes[0])
        samples["first_load_total_bytes"].append(sizes[1])
    finally:
        d.quit()
    d = browser()
    try:
        d.get(url + "/#/repo?name=" + repository)
        samples["tags_first_paint_ms"].append(mark(d, "tags-painted"))
    finally:
        d.quit()
print(json.dumps({k: round(statistics.median(v), 1) for k, v in samples.items()}))
