#!/usr/bin/env python3
"""The web page's scenarios in Firefox: the same registries and content as
browser_test.py (fixture.py: the program behind a real lighttpd on
127.0.0.1, images pushed by skopeo, referrers by oras), browsed by Debian's
firefox-esr, headless, which puppeteer-core drives over WebDriver BiDi
(firefox_test.mjs). Debian has no geckodriver, and Firefox needs none.

  browser_test_firefox.py TOP BUILD_BIN SCREENSHOT_DIR

Exits 77 (skipped) when Firefox, Node.js, puppeteer-core, axe-core or the
clients are not installed (scripts/setup --clients installs them), and
otherwise with the scenarios' status.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from fixture import Registry, axe_path, fill_access_registry, fill_open_registry, missing_tools, push_small_repositories

TOP, BIN, SHOTS = sys.argv[1:4]
SKIP = 77
HERE = os.path.join(TOP, "tests", "web")
FIREFOX = shutil.which("firefox-esr") or "/usr/bin/firefox-esr"
NODE = shutil.which("node") or "/usr/bin/node"
PUPPETEER = os.path.join(HERE, "node_modules", "puppeteer-core", "package.json")
SCENARIOS_TIMEOUT = 600  # seconds for every scenario together; each step waits 30 at most


def run_scenarios(facts):
    """firefox_test.mjs in a process group of its own, so that a run that
    overstays its time is stopped with the Firefox it started."""
    proc = subprocess.Popen([NODE, os.path.join(HERE, "firefox_test.mjs"), json.dumps(facts)],
                            cwd=HERE, start_new_session=True)
    try:
        return proc.wait(timeout=SCENARIOS_TIMEOUT)
    except subprocess.TimeoutExpired:
        print("browser_test_firefox: the scenarios took more than %d s; stopping them" % SCENARIOS_TIMEOUT)
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        return 1


def main():
    missing = missing_tools(TOP, FIREFOX, NODE, PUPPETEER)
    if missing:
        print("browser_test_firefox: %s is not installed (scripts/setup --clients)" % missing)
        return SKIP
    work = tempfile.mkdtemp(prefix="browser-test-firefox-")
    registries = []
    try:
        plain = Registry(TOP, BIN)
        registries.append(plain)
        fill_open_registry(plain)
        push_small_repositories(plain.host, "many/repo", 1005)
        guarded = Registry(TOP, BIN, {"auth": "token"})
        registries.append(guarded)
        fill_access_registry(guarded)
        sys.stdout.flush()
        return run_scenarios({"open": plain.url, "access": guarded.url, "firefox": FIREFOX, "axe": axe_path(TOP),
                              "profile": os.path.join(work, "profile"), "shots": SHOTS})
    finally:
        for reg in registries:
            reg.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
