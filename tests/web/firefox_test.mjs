// The web page's scenarios in Firefox: Debian's firefox-esr, headless,
// driven over WebDriver BiDi by puppeteer-core (which downloads no browser).
// browser_test_firefox.py starts the registries, pushes their content
// (fixture.py) and runs this with what it made, as JSON:
//
//   node firefox_test.mjs '{"open": URL, "access": URL, "firefox": PATH,
//                           "axe": PATH, "profile": DIR, "shots": DIR}'
//
// "open" is a registry without access control holding the content of
// fill_open_registry and 1,005 small repositories many/repo-NNNN; "access"
// one with tokens and the policy of fill_access_registry.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const facts = JSON.parse(process.argv[2]);
const WAIT = 30_000;   // ms a page may take to show something, on a busy machine
const SCENARIO = 180_000;
const axeSource = fs.readFileSync(facts.axe, 'utf8');

// Firefox's background traffic, beyond what puppeteer already turns off:
// the test needs none of it, and a machine without a network would only
// wait on it.
const QUIET_PREFS = {
  'app.update.auto': false,
  'app.update.enabled': false,
  'app.shield.optoutstudies.enabled': false,
  'browser.discovery.enabled': false,
  'browser.region.network.url': '',
  'browser.region.update.enabled': false,
  'browser.safebrowsing.provider.google4.updateURL': '',
  'browser.safebrowsing.provider.mozilla.updateURL': '',
  'browser.safebrowsing.update.enabled': false,
  'datareporting.policy.dataSubmissionEnabled': false,
  'extensions.systemAddon.update.enabled': false,
  'network.captive-portal-service.enabled': false,
  'network.connectivity-service.enabled': false,
  'network.dns.disablePrefetch': true,
  'network.prefetch-next': false,
  'toolkit.telemetry.enabled': false,
  'toolkit.telemetry.server': '',
  'toolkit.telemetry.unified': false,
  'intl.accept_languages': 'en-US',
};

let browser;
let page;
// What the browser reported against the page since the last check: script
// errors, console errors, and Content-Security-Policy violations.
let reported = [];

async function newPage() {
  page = await browser.newPage();
  page.on('pageerror', (e) => reported.push('page error: ' + e.message));
  page.on('console', (m) => {
    if (m.type() === 'error') reported.push('console error: ' + m.text());
  });
  // Firefox tells the page of each violation as an event; a binding carries
  // it out of the page, which keeps nothing of it.
  await page.exposeFunction('reportViolation', (what) => { reported.push('CSP violation: ' + what); });
  await page.evaluateOnNewDocument(() => {
    document.addEventListener('securitypolicyviolation', (e) => {
      window.reportViolation(e.violatedDirective + ' blocked ' + (e.blockedURI || 'inline') + ' at ' + e.sourceFile + ':' + e.lineNumber);
    });
  });
}

// A fresh document each time (a reload forgets a sign-in, as it should).
async function open(url) {
  await page.goto('about:blank');
  await page.goto(url, { timeout: WAIT });
}

async function waitText(text, css = 'main') {
  try {
    await page.waitForFunction((c, t) => {
      const e = document.querySelector(c);
      return !!e && e.innerText.includes(t);
    }, { timeout: WAIT, polling: 100 }, css, text);
  } catch (e) {
    const now = await page.$eval(css, (el) => el.innerText).catch(() => '(no ' + css + ')');
    throw new Error('waited for "' + text + '" in ' + css + '; it holds: ' + now.slice(0, 500));
  }
}

async function waitFor(css) {
  return page.waitForSelector(css, { timeout: WAIT });
}

async function gone(css) {
  await page.waitForSelector(css, { hidden: true, timeout: WAIT });
}

// The link whose text is exactly text, once it is on the page.
async function link(text) {
  const handle = await page.waitForFunction(
    (t) => [...document.querySelectorAll('a')].find((a) => a.textContent === t),
    { timeout: WAIT, polling: 100 }, text);
  return handle.asElement();
}

async function button(text) {
  const handle = await page.waitForFunction(
    (t) => [...document.querySelectorAll('button')].find((b) => b.textContent === t && !b.disabled),
    { timeout: WAIT, polling: 100 }, text);
  return handle.asElement();
}

const textOf = (css) => page.$eval(css, (e) => e.innerText);
const mainText = () => textOf('#main');

// Clicks what opens a confirmation, answers it, and returns its question.
async function confirmAfter(click, accept) {
  const asked = new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error('no confirmation came')), WAIT);
    page.once('dialog', async (d) => {
      clearTimeout(timer);
      const question = d.message();
      await (accept ? d.accept() : d.dismiss());
      resolve(question);
    });
  });
  await click();
  return asked;
}

async function shot(name) {
  fs.mkdirSync(facts.shots, { recursive: true });
  await page.screenshot({ path: path.join(facts.shots, 'firefox-' + name + '.png') });
}

async function checkAccessibility(view) {
  // Evaluated through the protocol, which the page's CSP does not cover.
  await page.evaluate(axeSource);
  const violations = await page.evaluate(() => axe.run(document, { resultTypes: ['violations'] }).then((r) => r.violations));
  const serious = violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => v.id + ' (' + v.impact + '): ' + JSON.stringify(v.nodes.map((n) => n.target)));
  assert.deepEqual(serious, [], view);
}

// Firefox, unlike Chromium, reports no console error for an answer of 401
// or 403 that the page expects and explains, so anything reported here is a
// fault.
function nothingReported() {
  const faults = reported;
  reported = [];
  assert.deepEqual(faults, []);
}

// What the page left in the browser: storage, cookies, databases.
async function heldByTheBrowser() {
  const inPage = await page.evaluate(async () => [localStorage.length, sessionStorage.length, document.cookie,
    (await indexedDB.databases()).length]);
  const cookies = await browser.cookies();
  return [...inPage, cookies.length];
}

async function getJSON(base, p, token) {
  const res = await fetch(base + p, { headers: token ? { Authorization: 'Bearer ' + token } : {} });
  assert.equal(res.status, 200, p);
  return res.json();
}

async function token(base, user, password, scope) {
  const res = await fetch(base + '/auth/token?service=registry&scope=' + scope,
    { headers: { Authorization: 'Basic ' + Buffer.from(user + ':' + password).toString('base64') } });
  assert.equal(res.status, 200);
  return (await res.json()).token;
}

before(async () => {
  browser = await puppeteer.launch({
    browser: 'firefox',
    executablePath: facts.firefox,
    headless: true,
    userDataDir: facts.profile,
    extraPrefsFirefox: QUIET_PREFS,
    defaultViewport: { width: 1280, height: 900 },
    protocolTimeout: 60_000,
    timeout: 60_000,  // for Firefox to start, on a busy machine
  });
  await newPage();
});

after(async () => {
  if (browser) await browser.close();
});

describe('without access control', () => {
  const base = facts.open;
  const host = new URL(base).host;

  it('the policy holds: a violation is seen when there is one', { timeout: SCENARIO }, async () => {
    await open(base + '/');
    await waitText('repositories', '#repo-count');
    // An inline script, which the page never has, is what the policy
    // forbids: if Firefox's report of it were missed, every later "nothing
    // reported" would prove nothing.
    await page.evaluate(() => { const s = document.createElement('script'); s.textContent = '1'; document.head.append(s); });
    const deadline = Date.now() + WAIT;
    while (!reported.some((r) => r.startsWith('CSP violation: script-src')) && Date.now() < deadline) {
      await new Promise((r) => setTimeout(r, 100));
    }
    assert.ok(reported.some((r) => r.startsWith('CSP violation: script-src')), JSON.stringify(reported));
    reported = [];
  });

  it('browses to an image pushed by skopeo: layers, config, pull commands', { timeout: SCENARIO }, async () => {
    await open(base + '/');
    await waitText('1008 repositories, page 1 of 11.', '#repo-count');
    await checkAccessibility('the repository list');
    await page.click('#repo-filter');
    await page.keyboard.type('team/hello');
    await waitText('1 of 1008 repositories.', '#repo-count');
    await (await link('team/hello')).click();
    await waitText('2026-01-02 03:04 UTC', "tr[data-tag='v1']");
    const row = await textOf("tr[data-tag='v1']");
    assert.match(row, /application\/vnd\.oci\.image\.manifest\.v1\+json/);
    assert.match(row, /sha256:/);
    assert.match(row, /KiB/);
    const tags = await page.$$eval('tr[data-tag]', (rows) => rows.map((r) => r.dataset.tag));
    assert.deepEqual(tags, ['v1', 'v2']);
    await checkAccessibility('the tag list');
    await shot('tags');
    await (await link('v1')).click();
    await waitText('History');
    const text = await mainText();
    assert.match(text, /2 layers/);
    assert.match(text, /Layers/);
    assert.match(text, /Configuration/);
    assert.ok(text.includes('["/bin/true"]'), text);
    assert.match(text, /made by make_image\.py/);
    assert.match(text, /linux\/amd64/);
    assert.equal(await textOf('#pull-docker'), 'docker pull ' + host + '/team/hello:v1');
    assert.equal(await textOf('#pull-podman'), 'podman pull --tls-verify=false ' + host + '/team/hello:v1');
    assert.equal(await textOf('#pull-oras'), 'oras pull --plain-http ' + host + '/team/hello:v1');
    // Firefox's clipboard, or the selection where it refuses.
    await page.click("button[aria-label='Copy the docker command']");
    await page.waitForFunction(() => ['Copied', 'Selected'].includes(
      document.querySelector("button[aria-label='Copy the docker command']").textContent), { timeout: WAIT });
    nothingReported();
  });

  it('opens a platform of a two-platform index', { timeout: SCENARIO }, async () => {
    await open(base + '/#/image?name=team/multi&ref=v1');
    await waitText('Platforms');
    assert.match(await mainText(), /application\/vnd\.oci\.image\.index\.v1\+json/);
    await (await link('linux/arm64')).click();
    await waitText('Layers');
    await waitText('Configuration');
    const text = await mainText();
    assert.match(text, /linux\/arm64/);
    assert.match(text, /2026-02-03 04:05 UTC/);
    assert.match(await textOf('#pull-docker'), /@sha256:/);
    nothingReported();
  });

  it('shows the referrers pushed by oras, and their own page', { timeout: SCENARIO }, async () => {
    await open(base + '/#/image?name=team/hello&ref=v1');
    const tree = "section[aria-labelledby='referrers-title']";
    await waitText('application/vnd.example.signature', tree);
    const text = await textOf(tree);
    assert.match(text, /application\/vnd\.example\.sbom/);
    assert.match(text, /org\.example\.tool/);
    assert.match(text, /browser-test/);
    await checkAccessibility('an image with referrers');
    await shot('image');
    await (await link('application/vnd.example.sbom')).click();
    await waitText('Artifact type');
    assert.match(await mainText(), /application\/vnd\.example\.sbom/);
    await waitText('Nothing refers to this manifest.');
    nothingReported();
  });

  it('filters and pages past a thousand repositories by keyboard', { timeout: SCENARIO }, async () => {
    await open(base + '/');
    await waitText('1008 repositories, page 1 of 11.', '#repo-count');
    await page.focus('#repo-filter');
    await page.keyboard.type('repo-1004');
    await waitText('1 of 1008 repositories.', '#repo-count');
    await (await link('many/repo-1004')).click();
    await waitFor("tr[data-tag='v1']");
    await page.evaluate(() => history.back());
    // The whole catalog, not its first page: the buttons are drawn anew then.
    await waitText('1008 repositories, page 1 of 11.', '#repo-count');
    await (await button('Next page')).focus();
    await page.keyboard.press('Enter');
    await waitText('1008 repositories, page 2 of 11.', '#repo-count');
    // The focus stays on the button pressed, page after page, and on the
    // last one, where Next is disabled, moves to Previous.
    for (let p = 3; p <= 11; p++) {
      await page.keyboard.press('Enter');
      await waitText('1008 repositories, page ' + p + ' of 11.', '#repo-count');
    }
    assert.equal(await page.evaluate(() => document.activeElement.textContent), 'Previous page');
    await page.keyboard.press(' ');
    await waitText('1008 repositories, page 10 of 11.', '#repo-count');
    nothingReported();
  });

  it('deletes a manifest after the confirmation, not before', { timeout: SCENARIO }, async () => {
    await open(base + '/#/repo?name=team/hello');
    await waitFor("tr[data-tag='v2']");
    await confirmAfter(() => page.click("button[aria-label='Delete tag v2']"), false);
    assert.ok((await getJSON(base, '/v2/team/hello/tags/list')).tags.includes('v2'));
    await (await link('v2')).click();
    const del = await button('Delete this manifest');
    const question = await confirmAfter(() => del.click(), true);
    assert.match(question, /every tag that names it/);
    await waitFor("tr[data-tag='v1']");
    await gone("tr[data-tag='v2']");
    assert.deepEqual((await getJSON(base, '/v2/team/hello/tags/list')).tags, ['v1']);
    nothingReported();
  });

  it('says what failed in sentences', { timeout: SCENARIO }, async () => {
    await open(base + '/#/repo?name=no/such');
    await waitText('There is no repository named no/such.');
    await open(base + '/#/image?name=team/hello&ref=gone');
    await waitText('team/hello has nothing under gone.');
    nothingReported();
  });
});

describe('with tokens and a policy', () => {
  const base = facts.access;

  async function signIn(user, password) {
    await (await waitFor('#signin-open:not([hidden])')).click();
    await waitFor('#signin-user');
    await page.type('#signin-user', user);
    await page.type('#signin-password', password);
    await page.keyboard.press('Enter');  // the form's own submission
  }

  it('browses anonymously what the policy lets anyone pull', { timeout: SCENARIO }, async () => {
    await open(base + '/');
    await waitText('Browsing anonymously', '#who');
    await waitText('1 repository.', '#repo-count');
    const text = await mainText();
    assert.match(text, /public\/hello/);
    assert.doesNotMatch(text, /team\/app/);
    await open(base + '/#/repo?name=team/app');
    await waitText("Denied: the registry's policy does not let anonymous users see team/app. Sign in to do more.");
    nothingReported();
  });

  it('says when the password is wrong', { timeout: SCENARIO }, async () => {
    await open(base + '/');
    await signIn('alice', 'not-the-password');
    await waitText('The user name or the password is wrong.', '#signin-error');
    await checkAccessibility('the sign-in form');
    await shot('sign-in');
    nothingReported();
  });

  it('shows why a delete was denied', { timeout: SCENARIO }, async () => {
    await open(base + '/');
    await signIn('bob', 'bob-pw');
    await waitText('Signed in as bob', '#who');
    await (await link('team/app')).click();
    await waitFor("tr[data-tag='v2']");
    await confirmAfter(() => page.click("button[aria-label='Delete tag v2']"), true);
    await waitText("Denied: the registry's policy does not let user bob delete in team/app.");
    const t = await token(base, 'alice', 'alice-pw', 'repository:team/app:pull');
    assert.deepEqual((await getJSON(base, '/v2/team/app/tags/list', t)).tags, ['v1', 'v2']);
    await page.click('#signout');
    await waitText('Browsing anonymously', '#who');
    nothingReported();
  });

  it('signs in, then deletes a tag after the confirmation, keeping nothing in the browser', { timeout: SCENARIO }, async () => {
    await open(base + '/');
    await signIn('alice', 'alice-pw');
    await waitText('Signed in as alice', '#who');
    await waitText('2 repositories.', '#repo-count');
    assert.deepEqual(await heldByTheBrowser(), [0, 0, '', 0, 0]);
    await (await link('team/app')).click();
    await waitFor("tr[data-tag='v1']");
    const question = await confirmAfter(() => page.click("button[aria-label='Delete tag v1']"), true);
    assert.match(question, /the tag v1/);
    await waitText('Deleted v1.', '#status');
    await gone("tr[data-tag='v1']");
    const t = await token(base, 'alice', 'alice-pw', 'repository:team/app:pull');
    assert.deepEqual((await getJSON(base, '/v2/team/app/tags/list', t)).tags, ['v2']);
    assert.deepEqual(await heldByTheBrowser(), [0, 0, '', 0, 0]);
    nothingReported();
  });
});
