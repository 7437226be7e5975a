#!/usr/bin/env python3
"""The web page in a real browser: Debian's Chromium, headless, driven by
Selenium through chromedriver, against the registry program behind a real
lighttpd (deploy/lighttpd.conf, as scripts/serve runs it) on 127.0.0.1.

  browser_test.py TOP BUILD_BIN SCREENSHOT_DIR

The servers and the content come from fixture.py, which the Firefox run of
these scenarios (browser_test_firefox.py) shares. axe-core (npm,
tests/web/node_modules) checks the main views for serious accessibility
violations. Exits 77 (skipped) when the browser, its driver, Selenium or the
clients are not installed (scripts/setup --clients installs them).
"""
import os
import shutil
import sys
import unittest
import urllib.request

sys.dont_write_bytecode = True  # no __pycache__ beside the sources
from fixture import Registry, axe_path, fill_access_registry, fill_open_registry, missing_tools, push_small_repositories

TOP, BIN, SHOTS = sys.argv[1], sys.argv[2], sys.argv[3]
del sys.argv[1:4]
SKIP = 77

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as EC
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("browser_test: python3-selenium is not installed (scripts/setup --clients)")
    sys.exit(SKIP)

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
AXE = axe_path(TOP)
missing = missing_tools(TOP, CHROMIUM, DRIVER)
if missing:
    print("browser_test: %s is not installed (scripts/setup --clients)" % missing)
    sys.exit(SKIP)

WAIT = 30  # seconds a page may take to show something, on a busy machine


def new_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1280,900", "--lang=en-US"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(DRIVER), options=options)


class PageCase(unittest.TestCase):
    browser = None

    @classmethod
    def setUpClass(cls):
        os.makedirs(SHOTS, exist_ok=True)
        cls.browser = new_browser()
        with open(AXE) as f:
            cls.axe_source = f.read()

    @classmethod
    def tearDownClass(cls):
        if cls.browser:
            cls.browser.quit()

    def wait(self, condition):
        return WebDriverWait(self.browser, WAIT).until(condition)

    def wait_text(self, text, css="main"):
        return self.wait(EC.text_to_be_present_in_element((By.CSS_SELECTOR, css), text))

    def open(self, url):
        self.browser.get(url)

    def main_text(self):
        return self.browser.find_element(By.ID, "main").text

    def link(self, text):
        return self.wait(EC.element_to_be_clickable((By.LINK_TEXT, text)))

    def shot(self, name):
        self.browser.save_screenshot(os.path.join(SHOTS, name + ".png"))

    def no_console_errors(self):
        # A CSP violation or a script error shows here.
        errors = [e for e in self.browser.get_log("browser") if e["level"] == "SEVERE"
                  and "401" not in e["message"] and "403" not in e["message"] and "favicon.ico" not in e["message"]]
        self.assertEqual(errors, [])

    def check_accessibility(self, view):
        # Injected through the driver, which the page's CSP does not cover.
        self.browser.execute_script(self.axe_source)
        result = self.browser.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "axe.run(document, {resultTypes: ['violations']}).then(r => done(r.violations), e => done(String(e)));")
        self.assertIsInstance(result, list, result)
        serious = ["%s (%s): %s" % (v["id"], v["impact"], [n["target"] for n in v["nodes"]])
                   for v in result if v["impact"] in ("serious", "critical")]
        self.assertEqual(serious, [], view)


class OpenRegistryTest(PageCase):
    """No access control: browsing, an index, referrers, paging, delete."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.reg = Registry(TOP, BIN)
        fill_open_registry(cls.reg)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.reg.stop()

    def test_1_browse_to_an_image_pushed_by_skopeo(self):
        self.open(self.reg.url + "/")
        self.wait_text("repositories.", "#repo-count")
        self.check_accessibility("the repository list")
        self.link("team/hello").click()
        self.wait(EC.presence_of_element_located((By.CSS_SELECTOR, "tr[data-tag='v1'] td:nth-child(5)")))
        self.wait_text("2026-01-02 03:04 UTC", "tr[data-tag='v1']")
        row = self.browser.find_element(By.CSS_SELECTOR, "tr[data-tag='v1']").text
        self.assertIn("application/vnd.oci.image.manifest.v1+json", row)
        self.assertIn("sha256:", row)
        self.assertIn("KiB", row)
        tags = [e.get_attribute("data-tag") for e in self.browser.find_elements(By.CSS_SELECTOR, "tr[data-tag]")]
        self.assertEqual(tags, ["v1", "v2"])
        self.check_accessibility("the tag list")
        self.shot("tags")
        self.link("v1").click()
        self.wait_text("History")
        text = self.main_text()
        self.assertIn("2 layers", text)
        self.assertIn('["/bin/true"]', text)
        self.assertIn("made by make_image.py", text)
        self.assertIn("linux/amd64", text)
        self.assertEqual(self.browser.find_element(By.ID, "pull-docker").text, "docker pull %s/team/hello:v1" % self.reg.host)
        self.assertEqual(self.browser.find_element(By.ID, "pull-podman").text,
                         "podman pull --tls-verify=false %s/team/hello:v1" % self.reg.host)
        self.assertEqual(self.browser.find_element(By.ID, "pull-oras").text,
                         "oras pull --plain-http %s/team/hello:v1" % self.reg.host)
        self.no_console_errors()

    def test_2_a_two_platform_index(self):
        self.open(self.reg.url + "/#/image?name=team/multi&ref=v1")
        self.wait_text("Platforms")
        self.assertIn("application/vnd.oci.image.index.v1+json", self.main_text())
        self.link("linux/arm64").click()
        self.wait_text("Layers")
        self.wait_text("Configuration")
        self.assertIn("linux/arm64", self.main_text())
        self.assertIn("2026-02-03 04:05 UTC", self.main_text())
        self.assertIn("@sha256:", self.browser.find_element(By.ID, "pull-docker").text)

    def test_3_referrers_pushed_by_oras(self):
        self.open(self.reg.url + "/#/image?name=team/hello&ref=v1")
        self.wait_text("application/vnd.example.signature", "section[aria-labelledby='referrers-title']")
        tree = self.browser.find_element(By.CSS_SELECTOR, "section[aria-labelledby='referrers-title']").text
        self.assertIn("application/vnd.example.sbom", tree)
        self.assertIn("org.example.tool", tree)
        self.assertIn("browser-test", tree)
        self.check_accessibility("an image with referrers")
        self.shot("image")
        self.browser.find_element(By.LINK_TEXT, "application/vnd.example.sbom").click()
        self.wait_text("Artifact type")
        self.assertIn("application/vnd.example.sbom", self.main_text())
        # An artifact's own page: nothing refers to it.
        self.wait_text("Nothing refers to this manifest.")

    def test_4_paging_past_a_thousand_repositories(self):
        push_small_repositories(self.reg.host, "many/repo", 1005)
        self.open(self.reg.url + "/")
        self.wait_text("1008 repositories, page 1 of 11.", "#repo-count")  # with team/hello, team/multi and notes
        box = self.browser.find_element(By.ID, "repo-filter")
        box.send_keys("repo-1004")
        self.wait_text("1 of 1008 repositories.", "#repo-count")
        self.link("many/repo-1004").click()
        self.wait(EC.presence_of_element_located((By.CSS_SELECTOR, "tr[data-tag='v1']")))
        self.browser.back()
        self.wait_text("1008 repositories, page 1 of 11.", "#repo-count")  # loaded whole, not "so far"
        nxt = self.wait(EC.element_to_be_clickable((By.XPATH, "//button[text()='Next page']")))
        nxt.send_keys("\n")  # by keyboard
        self.wait_text("page 2 of", "#repo-count")
        # The button keeps the focus: pressed again, it turns another page.
        self.browser.switch_to.active_element.send_keys("\n")
        self.wait_text("page 3 of", "#repo-count")

    def test_5_delete_a_manifest_after_confirming(self):
        self.open(self.reg.url + "/#/repo?name=team/hello")
        self.wait(EC.presence_of_element_located((By.CSS_SELECTOR, "tr[data-tag='v2']")))
        self.browser.find_element(By.CSS_SELECTOR, "button[aria-label='Delete tag v2']").click()
        self.wait(EC.alert_is_present()).dismiss()  # not confirmed: nothing goes
        self.assertIn("v2", self.reg.get_json("/v2/team/hello/tags/list")["tags"])
        self.link("v2").click()
        button = self.wait(EC.element_to_be_clickable((By.XPATH, "//button[text()='Delete this manifest']")))
        button.click()
        alert = self.wait(EC.alert_is_present())
        self.assertIn("every tag that names it", alert.text)
        alert.accept()
        self.wait(EC.presence_of_element_located((By.CSS_SELECTOR, "tr[data-tag='v1']")))
        self.assertEqual(self.reg.get_json("/v2/team/hello/tags/list")["tags"], ["v1"])

    def test_6_errors_as_sentences(self):
        self.open(self.reg.url + "/#/repo?name=no/such")
        self.wait_text("There is no repository named no/such.")
        self.open(self.reg.url + "/#/image?name=team/hello&ref=gone")
        self.wait_text("team/hello has nothing under gone.")

    def test_7_served_with_a_strict_policy(self):
        for path in ("/", "/app.js", "/app.css"):
            with urllib.request.urlopen(self.reg.url + path) as r:
                csp = r.headers["Content-Security-Policy"]
                self.assertIn("script-src 'self'", csp)
                self.assertIn("default-src 'none'", csp)
                self.assertNotIn("unsafe-inline", csp)
                self.assertEqual(r.headers["X-Content-Type-Options"], "nosniff")
        with urllib.request.urlopen(self.reg.url + "/app.js") as r:
            self.assertTrue(r.headers["Content-Type"].startswith("text/javascript"))
        with open(os.path.join(TOP, "web", "index.html")) as f:
            html = f.read()
        self.assertNotIn("<script>", html)
        self.assertNotIn("style=", html)


class AccessControlTest(PageCase):
    """Tokens and a policy: anonymous browsing, signing in, a denied delete."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.reg = Registry(TOP, BIN, {"auth": "token"})
        fill_access_registry(cls.reg)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.reg.stop()

    def sign_in(self, user, password):
        self.wait(EC.element_to_be_clickable((By.ID, "signin-open"))).click()
        self.browser.find_element(By.ID, "signin-user").send_keys(user)
        self.browser.find_element(By.ID, "signin-password").send_keys(password + "\n")

    def sign_out(self):
        self.wait(EC.element_to_be_clickable((By.ID, "signout"))).click()
        self.wait_text("Browsing anonymously", "#who")

    def held_by_the_browser(self):
        return self.browser.execute_script(
            "return [localStorage.length, sessionStorage.length, document.cookie];")

    def test_1_anonymous_browsing_under_a_policy(self):
        self.open(self.reg.url + "/")
        self.wait_text("Browsing anonymously", "#who")
        self.wait_text("1 repository.", "#repo-count")
        self.assertIn("public/hello", self.main_text())
        self.assertNotIn("team/app", self.main_text())
        self.open(self.reg.url + "/#/repo?name=team/app")
        self.wait_text("Denied: the registry's policy does not let anonymous users see team/app. Sign in to do more.")

    def test_2_a_wrong_password(self):
        self.open(self.reg.url + "/")
        self.sign_in("alice", "not-the-password")
        self.wait_text("The user name or the password is wrong.", "#signin-error")
        self.check_accessibility("the sign-in form")
        self.shot("sign-in")

    def test_3_a_denied_delete(self):
        self.open(self.reg.url + "/")
        self.sign_in("bob", "bob-pw")
        self.wait_text("Signed in as bob", "#who")
        self.link("team/app").click()
        self.wait(EC.presence_of_element_located((By.CSS_SELECTOR, "tr[data-tag='v2']")))
        self.browser.find_element(By.CSS_SELECTOR, "button[aria-label='Delete tag v2']").click()
        self.wait(EC.alert_is_present()).accept()
        self.wait_text("Denied: the registry's policy does not let user bob delete in team/app.")
        token = self.reg.token("alice", "alice-pw", "repository:team/app:pull")
        self.assertEqual(self.reg.get_json("/v2/team/app/tags/list", token)["tags"], ["v1", "v2"])
        self.sign_out()

    def test_4_sign_in_then_delete_a_tag(self):
        self.open(self.reg.url + "/")
        self.sign_in("alice", "alice-pw")
        self.wait_text("Signed in as alice", "#who")
        self.wait_text("2 repositories.", "#repo-count")
        self.assertEqual(self.held_by_the_browser(), [0, 0, ""])
        self.link("team/app").click()
        self.wait(EC.presence_of_element_located((By.CSS_SELECTOR, "tr[data-tag='v1']")))
        self.browser.find_element(By.CSS_SELECTOR, "button[aria-label='Delete tag v1']").click()
        self.wait(EC.alert_is_present()).accept()
        self.wait_text("Deleted v1.", "#status")
        self.wait(EC.invisibility_of_element_located((By.CSS_SELECTOR, "tr[data-tag='v1']")))
        token = self.reg.token("alice", "alice-pw", "repository:team/app:pull")
        self.assertEqual(self.reg.get_json("/v2/team/app/tags/list", token)["tags"], ["v2"])
        self.assertEqual(self.held_by_the_browser(), [0, 0, ""])
        self.no_console_errors()


if __name__ == "__main__":
    unittest.main(verbosity=2)
