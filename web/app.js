// The registry's browser: a page of its own that speaks nothing but the
// registry's HTTP API, from the same origin. No inline script or style, so
// the server can send a strict Content-Security-Policy. Credentials and
// tokens live in this closure alone, never in any storage of the browser.
'use strict';
(() => {
  const MANIFEST_TYPES = [
    'application/vnd.oci.image.index.v1+json',
    'application/vnd.oci.image.manifest.v1+json',
    'application/vnd.docker.distribution.manifest.list.v2+json',
    'application/vnd.docker.distribution.manifest.v2+json',
    'application/vnd.oci.artifact.manifest.v1+json',
  ].join(', ');
  const INDEX_TYPES = new Set(['application/vnd.oci.image.index.v1+json',
    'application/vnd.docker.distribution.manifest.list.v2+json']);
  const CONFIG_TYPES = new Set(['application/vnd.oci.image.config.v1+json',
    'application/vnd.docker.container.image.v1+json']);
  const PAGE = 1000;          // the registry's largest page
  const ROWS = 100;           // repositories drawn at once
  const TAG_ROWS = 50;        // tags drawn (and looked into) at once
  const MAX_PAGES = 200;      // a bound on pages followed through Link
  const PARALLEL = 6;         // requests in flight for one view

  const $ = (id) => document.getElementById(id);
  const main = $('main');

  // ---- access control -----------------------------------------------------
  // auth.mode: 'off' (no access control), 'token' (a sign-in form), or
  // 'basic' (the web server asks for the password itself).
  const auth = { mode: 'off', realm: '/auth/token', service: 'registry', user: '', password: '', tokens: new Map() };

  function basicHeader(user, password) {
    const bytes = new TextEncoder().encode(user + ':' + password);
    let s = '';
    for (const b of bytes) s += String.fromCharCode(b);
    return 'Basic ' + btoa(s);
  }

  function parseChallenge(header) {
    if (!header) return null;
    const m = /^\s*(\w+)\s*(.*)$/.exec(header);
    if (!m) return null;
    const params = {};
    const re = /(\w+)="([^"]*)"/g;
    let p;
    while ((p = re.exec(m[2])) !== null) params[p[1].toLowerCase()] = p[2];
    return { scheme: m[1].toLowerCase(), params };
  }

  // The token endpoint, on this page's own origin: a password is never sent
  // anywhere else.
  function realmUrl() {
    try {
      const u = new URL(auth.realm, location.href);
      if (u.origin === location.origin) return u;
    } catch (e) { /* fall through */ }
    return new URL('/auth/token', location.href);
  }

  class Failure extends Error {
    constructor(message, status) { super(message); this.status = status; }
  }

  async function fetchToken(scope, user, password) {
    const u = realmUrl();
    u.searchParams.set('service', auth.service);
    if (scope) u.searchParams.set('scope', scope);
    const headers = {};
    if (user) headers.Authorization = basicHeader(user, password);
    let res;
    try {
      res = await fetch(u, { headers, credentials: 'omit', cache: 'no-store' });
    } catch (e) {
      throw new Failure('The registry could not be reached.', 0);
    }
    if (res.status === 401) throw new Failure('The user name or the password is wrong.', 401);
    if (res.status === 429) {
      const after = res.headers.get('Retry-After');
      throw new Failure('Too many failed sign-ins for this name or address: try again' +
        (after ? ' in ' + after + ' seconds.' : ' in a minute.'), 429);
    }
    if (!res.ok) throw new Failure('The registry could not issue a token (' + res.status + ' ' + res.statusText + ').', res.status);
    const body = await res.json();
    const ttl = Number(body.expires_in) > 0 ? Number(body.expires_in) : 60;
    // Renewed a little before the registry would refuse it.
    return { token: body.token || body.access_token, expires: Date.now() + Math.max(ttl - 15, 5) * 1000 };
  }

  async function tokenFor(scope) {
    const held = auth.tokens.get(scope);
    if (held && held.expires > Date.now()) return held.token;
    const t = await fetchToken(scope, auth.user, auth.password);
    auth.tokens.set(scope, t);
    return t.token;
  }

  // One request to the registry, with a token where access control asks for
  // one. scope is what the request needs; a challenge's scope wins.
  async function api(path, { method = 'GET', accept, scope } = {}) {
    const send = async (token) => {
      const headers = {};
      if (accept) headers.Accept = accept;
      if (token) headers.Authorization = 'Bearer ' + token;
      try {
        return await fetch(path, { method, headers, credentials: sendCookies(), cache: 'no-store' });
      } catch (e) {
        throw new Failure('The registry could not be reached.', 0);
      }
    };
    let res = await send(auth.mode === 'token' && scope ? await tokenFor(scope) : null);
    if (res.status === 401) {
      const ch = parseChallenge(res.headers.get('WWW-Authenticate'));
      if (ch && ch.scheme === 'bearer') {
        if (auth.mode !== 'token') setMode('token', ch.params);
        const wanted = ch.params.scope || scope || '';
        auth.tokens.delete(wanted);
        res = await send(await tokenFor(wanted));
      }
    }
    return res;
  }

  // Under the web server's own Basic authentication the browser asks for
  // the password and sends it; otherwise nothing of the browser's goes out.
  function sendCookies() { return auth.mode === 'basic' ? 'same-origin' : 'omit'; }

  function setMode(mode, params) {
    auth.mode = mode;
    if (params && params.realm) auth.realm = params.realm;
    if (params && params.service) auth.service = params.service;
    showAccount();
  }

  function showAccount() {
    $('who').textContent = auth.mode !== 'token' ? '' : auth.user ? 'Signed in as ' + auth.user : 'Browsing anonymously';
    $('signin-open').hidden = auth.mode !== 'token' || !!auth.user;
    $('signout').hidden = auth.mode !== 'token' || !auth.user;
  }

  // ---- errors, as sentences -------------------------------------------------
  async function failureOf(res, what) {
    let code = '', detail = '';
    try {
      const body = await res.json();
      if (body && Array.isArray(body.errors) && body.errors[0]) {
        code = body.errors[0].code || '';
        detail = body.errors[0].message || '';
      }
    } catch (e) { /* no JSON body */ }
    const who = auth.user ? 'user ' + auth.user : 'anonymous users';
    const sentences = {
      NAME_UNKNOWN: 'There is no repository named ' + what.repo + '.',
      NAME_INVALID: '"' + what.repo + '" is not a valid repository name.',
      MANIFEST_UNKNOWN: what.repo + ' has nothing under ' + (what.ref || 'that reference') + '.',
      BLOB_UNKNOWN: 'A blob that ' + what.repo + ' refers to is missing.',
      TAG_INVALID: '"' + what.ref + '" is not a valid tag.',
      UNSUPPORTED: 'The registry does not allow this here.',
      TOOMANYREQUESTS: 'The registry is refusing requests for a while; try again later.',
    };
    let text;
    if (res.status === 403 || code === 'DENIED') {
      const deed = what.action === 'delete' ? 'delete in ' + what.repo : what.repo ? 'see ' + what.repo : 'do this';
      text = 'Denied: the registry\'s policy does not let ' + who + ' ' + deed + '.' +
        (auth.user || auth.mode !== 'token' ? '' : ' Sign in to do more.');
    } else if (res.status === 401) {
      text = auth.mode === 'token' && !auth.user ? 'Sign in to ' + (what.action === 'delete' ? 'delete.' : 'see this.') : 'The registry did not accept the sign-in for this.';
    } else if (sentences[code]) {
      text = sentences[code];
    } else if (res.status === 405) {
      text = 'The registry does not allow ' + (what.action || 'this') + ' here.';
    } else {
      text = 'The registry answered ' + res.status + ' ' + res.statusText + (detail ? ': ' + detail : '') + '.';
    }
    return new Failure(text, res.status);
  }

  async function getJSON(path, opts, what) {
    const res = await api(path, opts);
    if (!res.ok) throw await failureOf(res, what);
    return { res, body: await res.json() };
  }

  // Every page of a listing, following Link: rel="next". onPage sees each
  // page's names as it comes.
  async function allPages(first, key, opts, what, onPage) {
    let url = first;
    const names = [];
    for (let i = 0; url && i < MAX_PAGES; i++) {
      const { res, body } = await getJSON(url, opts, what);
      const page = (body && body[key]) || [];
      for (const n of page) names.push(n);
      if (onPage) onPage(names, page);
      url = nextLink(res.headers.get('Link'));
    }
    return names;
  }

  function nextLink(header) {
    if (!header) return null;
    const m = /<([^>]*)>\s*;\s*rel="?next"?/.exec(header);
    return m ? new URL(m[1], location.href).pathname + new URL(m[1], location.href).search : null;
  }

  // At most PARALLEL of the jobs at once, in order of the list.
  async function pool(items, job) {
    let next = 0;
    const worker = async () => {
      while (next < items.length) {
        const i = next++;
        try { await job(items[i], i); } catch (e) { /* each job shows its own failure */ }
      }
    };
    await Promise.all(Array.from({ length: Math.min(PARALLEL, items.length) }, worker));
  }

  // ---- formatting -------------------------------------------------------------
  function size(n) {
    if (typeof n !== 'number' || !isFinite(n)) return '';
    const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
    let i = 0;
    while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
    return (i === 0 ? String(n) : n.toFixed(n < 10 ? 1 : 0)) + ' ' + units[i];
  }

  function date(s) {
    if (!s) return '';
    const d = new Date(s);
    if (isNaN(d)) return s;
    return d.toISOString().slice(0, 16).replace('T', ' ') + ' UTC';
  }

  function shortDigest(d) {
    return d && d.length > 19 ? d.slice(0, 19) + '…' : d || '';
  }

  // A small element builder: el('td', {class: 'num'}, 'text', child...).
  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (v === undefined || v === null || v === false) continue;
      if (k === 'class') e.className = v;
      else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
      else e.setAttribute(k, v === true ? '' : v);
    }
    for (const c of children) {
      if (c === undefined || c === null || c === false) continue;
      e.append(c instanceof Node ? c : String(c));
    }
    return e;
  }

  function link(text, hash, attrs) { return el('a', Object.assign({ href: hash }, attrs), text); }
  function repoHash(name) { return '#/repo?' + new URLSearchParams({ name }); }
  function imageHash(name, ref) { return '#/image?' + new URLSearchParams({ name, ref }); }

  function status(text) { $('status').textContent = text || ''; }
  function showError(where, e) {
    where.replaceChildren(el('p', { class: 'error', role: 'alert' }, e instanceof Failure ? e.message : 'Something went wrong: ' + e.message));
  }

  function heading(text) {
    const h = el('h1', { tabindex: '-1' }, text);
    return h;
  }

  // A Performance API mark at the first frame painted after a view drew
  // its list (the benchmarks read them), once per page load.
  const marked = new Set();
  function markPainted(name) {
    if (marked.has(name)) return;
    marked.add(name);
    requestAnimationFrame(() => setTimeout(() => performance.mark(name), 0));
  }

  // A list's Previous and Next buttons, made once per view and updated as
  // the page turns: drawn anew, the button just pressed would vanish and
  // take the keyboard focus with it, back to the top of the document.
  function pagerOf(pager, turn) {
    const prev = el('button', { type: 'button', onclick: () => turn(-1) }, 'Previous page');
    const next = el('button', { type: 'button', onclick: () => turn(1) }, 'Next page');
    pager.replaceChildren(prev, next);
    pager.hidden = true;
    return (page, pages) => {
      const focused = document.activeElement;
      prev.disabled = page === 0;
      next.disabled = page >= pages - 1;
      pager.hidden = pages <= 1;
      // A button disabled under the focus hands it to the other one.
      if (focused === next && next.disabled && !prev.disabled) prev.focus();
      if (focused === prev && prev.disabled && !next.disabled) next.focus();
    };
  }

  // Each view draws into main; a newer view makes an older one's late
  // answers harmless.
  let generation = 0;
  function fresh() { generation++; const g = generation; return () => g === generation; }

  // ---- repositories -------------------------------------------------------------
  async function viewRepositories(params) {
    const current = fresh();
    const h = heading('Repositories');
    const filter = el('input', { id: 'repo-filter', type: 'search', 'aria-describedby': 'repo-count', value: params.get('q') || '' });
    const count = el('p', { id: 'repo-count', class: 'muted', 'aria-live': 'polite' }, 'Loading…');
    const list = el('ul', { class: 'repos', 'aria-label': 'Repositories' });
    const pager = el('div', { class: 'bar' });
    const errors = el('div');
    main.replaceChildren(h, el('div', { class: 'bar' }, el('label', { for: 'repo-filter' }, 'Filter'), filter), count, list, pager, errors);
    h.focus();

    let names = [];
    let page = 0;
    let done = false;
    const showPager = pagerOf(pager, (step) => { page += step; draw(); });
    const draw = () => {
      const q = filter.value.trim().toLowerCase();
      const shown = q ? names.filter((n) => n.includes(q)) : names;
      const pages = Math.max(1, Math.ceil(shown.length / ROWS));
      if (page >= pages) page = pages - 1;
      const frag = document.createDocumentFragment();
      for (const n of shown.slice(page * ROWS, page * ROWS + ROWS)) frag.append(el('li', null, link(n, repoHash(n))));
      list.replaceChildren(frag);
      count.textContent = (q ? shown.length + ' of ' : '') + names.length + (names.length === 1 ? ' repository' : ' repositories') + (done ? '' : ' so far (loading)') +
        (shown.length > ROWS ? ', page ' + (page + 1) + ' of ' + pages : '') + '.';
      showPager(page, pages);
      if (shown.length === 0 && done) list.replaceChildren(el('li', { class: 'muted' }, q ? 'No repository matches.' : 'The registry holds no repository yet.'));
    };
    let timer = 0;
    filter.addEventListener('input', () => { clearTimeout(timer); timer = setTimeout(() => { page = 0; draw(); }, 120); });

    status('Loading repositories…');
    try {
      await allPages('/v2/_catalog?n=' + PAGE, 'repositories', { scope: 'registry:catalog:*' }, { repo: '', action: 'list repositories' },
        (all) => { if (!current()) throw new Error('stale'); names = all; draw(); markPainted('repositories-painted'); });
      done = true;
      if (current()) { draw(); markPainted('repositories-complete'); }
    } catch (e) {
      if (!current()) return;
      done = true;
      draw();
      showError(errors, e);
    } finally {
      if (current()) status('');
    }
  }

  // ---- a repository's tags ------------------------------------------------------
  async function describe(name, ref) {
    const { res, body } = await getJSON('/v2/' + name + '/manifests/' + encodeURIComponent(ref),
      { accept: MANIFEST_TYPES, scope: 'repository:' + name + ':pull' }, { repo: name, ref, action: 'pull' });
    const type = body.mediaType || (res.headers.get('Content-Type') || '').split(';')[0];
    const out = { digest: res.headers.get('Docker-Content-Digest') || '', type, manifest: body, bytes: Number(res.headers.get('Content-Length')) || 0 };
    if (INDEX_TYPES.has(type)) {
      out.size = (body.manifests || []).reduce((s, m) => s + (m.size || 0), 0);
      out.summary = (body.manifests || []).length + ' manifests';
    } else {
      out.size = (body.config ? body.config.size || 0 : 0) + (body.layers || body.blobs || []).reduce((s, l) => s + (l.size || 0), 0);
    }
    return out;
  }

  async function configOf(name, manifest) {
    const c = manifest.config;
    if (!c || !CONFIG_TYPES.has(c.mediaType) || !(c.size < (1 << 20))) return null;
    const { body } = await getJSON('/v2/' + name + '/blobs/' + c.digest, { scope: 'repository:' + name + ':pull' }, { repo: name, action: 'pull' });
    return body;
  }

  async function viewRepository(params) {
    const current = fresh();
    const name = params.get('name') || '';
    const h = heading(name);
    const filter = el('input', { id: 'tag-filter', type: 'search', 'aria-describedby': 'tag-count' });
    const count = el('p', { id: 'tag-count', class: 'muted', 'aria-live': 'polite' }, 'Loading…');
    const body = el('tbody');
    const table = el('table', null, el('caption', null, 'Tags of ' + name),
      el('thead', null, el('tr', null, ...['Tag', 'Digest', 'Media type'].map((t) => el('th', { scope: 'col' }, t)),
        el('th', { scope: 'col', class: 'num' }, 'Size'), el('th', { scope: 'col' }, 'Created'), el('th', { scope: 'col' }, el('span', { class: 'muted' }, 'Actions')))), body);
    const pager = el('div', { class: 'bar' });
    const errors = el('div');
    main.replaceChildren(el('p', null, link('Repositories', '#/')), h,
      el('div', { class: 'bar' }, el('label', { for: 'tag-filter' }, 'Filter tags'), filter), count, table, pager, errors);
    h.focus();

    let tags = [];
    let page = 0;
    const details = new Map();
    const showPager = pagerOf(pager, (step) => { page += step; drawRows(); });
    const drawRows = () => {
      const q = filter.value.trim().toLowerCase();
      const shown = q ? tags.filter((t) => t.toLowerCase().includes(q)) : tags;
      const pages = Math.max(1, Math.ceil(shown.length / TAG_ROWS));
      if (page >= pages) page = pages - 1;
      const slice = shown.slice(page * TAG_ROWS, page * TAG_ROWS + TAG_ROWS);
      const frag = document.createDocumentFragment();
      const rows = slice.map((t) => {
        const cells = [el('td'), el('td', { class: 'mono' }), el('td', { class: 'mono' }), el('td', { class: 'num' }), el('td'), el('td')];
        cells[0].append(link(t, imageHash(name, t)));
        cells[5].append(el('button', { type: 'button', class: 'danger', 'aria-label': 'Delete tag ' + t, onclick: () => deleteTag(name, t, errors) }, 'Delete tag'));
        const tr = el('tr', { 'data-tag': t }, ...cells);
        frag.append(tr);
        return { t, cells };
      });
      body.replaceChildren(frag);
      count.textContent = (q ? shown.length + ' of ' : '') + tags.length + (tags.length === 1 ? ' tag' : ' tags') + (shown.length > TAG_ROWS ? ', page ' + (page + 1) + ' of ' + pages : '') + '.';
      showPager(page, pages);
      // Only the rows on screen are looked into: a manifest and its config
      // each, a few at a time.
      pool(rows, async ({ t, cells }) => {
        if (!current() || !cells[0].isConnected) return;
        const d = await detailOf(t);
        if (d.error) { cells[1].replaceChildren(el('span', { class: 'error' }, d.error)); return; }
        cells[1].replaceChildren(el('span', { title: d.digest }, shortDigest(d.digest)));
        cells[2].textContent = d.type + (d.summary ? ' (' + d.summary + ')' : '');
        cells[3].textContent = size(d.size);
        cells[4].textContent = date(d.created);
      });
    };
    // One look per tag, however often its row is drawn again.
    const detailOf = (t) => {
      if (!details.has(t)) {
        details.set(t, (async () => {
          try {
            const d = await describe(name, t);
            const cfg = await configOf(name, d.manifest).catch(() => null);
            d.created = cfg && cfg.created;
            return d;
          } catch (e) {
            return { error: e.message };
          }
        })());
      }
      return details.get(t);
    };
    let timer = 0;
    filter.addEventListener('input', () => { clearTimeout(timer); timer = setTimeout(() => { page = 0; drawRows(); }, 120); });

    status('Loading tags…');
    try {
      // Drawn as each page comes (the registry lists tags sorted), so the
      // first rows show before the last page is in.
      const all = await allPages('/v2/' + name + '/tags/list?n=' + PAGE, 'tags', { scope: 'repository:' + name + ':pull' },
        { repo: name, action: 'pull from' }, (sofar) => {
          if (!current()) throw new Error('stale');
          tags = sofar.slice();
          drawRows();
          markPainted('tags-painted');
        });
      if (!current()) return;
      tags = all.slice().sort();
      drawRows();
      if (tags.length === 0) body.replaceChildren(el('tr', null, el('td', { colspan: '6', class: 'muted' }, 'No tags.')));
    } catch (e) {
      if (current()) { count.textContent = ''; showError(errors, e); }
    } finally {
      if (current()) status('');
    }
  }

  async function remove(name, ref, errors, done) {
    const what = /^[a-z0-9]+:/.test(ref) ? 'the manifest ' + ref + ' and every tag that names it' : 'the tag ' + ref;
    if (!window.confirm('Delete ' + what + ' from ' + name + '?')) return;
    status('Deleting…');
    try {
      const res = await api('/v2/' + name + '/manifests/' + encodeURIComponent(ref), { method: 'DELETE', scope: 'repository:' + name + ':delete' });
      if (!res.ok) throw await failureOf(res, { repo: name, ref, action: 'delete' });
      status('Deleted ' + ref + '.');
      done();
    } catch (e) {
      status('');
      showError(errors, e);
    }
  }

  function deleteTag(name, tag, errors) {
    remove(name, tag, errors, () => {
      const said = $('status').textContent;
      Promise.resolve(route()).then(() => status(said));
    });
  }

  // ---- an image --------------------------------------------------------------------
  function table(caption, heads, rows) {
    return el('table', null, el('caption', null, caption),
      el('thead', null, el('tr', null, ...heads.map(([t, cls]) => el('th', { scope: 'col', class: cls }, t)))),
      el('tbody', null, ...rows.map((cells) => el('tr', null, ...cells.map(([v, cls]) => el('td', { class: cls }, v))))));
  }

  function kv(pairs) {
    const dl = el('dl', { class: 'kv' });
    for (const [k, v] of pairs) if (v !== undefined && v !== null && v !== '') dl.append(el('dt', null, k), el('dd', null, v));
    return dl;
  }

  function annotations(a) {
    return a && Object.keys(a).length ? kv(Object.entries(a).map(([k, v]) => [k, el('span', { class: 'mono' }, v)])) : null;
  }

  function pullCommands(name, ref) {
    const at = /^[a-z0-9]+:/.test(ref) ? '@' + ref : ':' + ref;
    const target = location.host + '/' + name + at;
    const plain = location.protocol === 'http:';
    const commands = [
      ['docker', 'docker pull ' + target],
      ['podman', 'podman pull ' + (plain ? '--tls-verify=false ' : '') + target],
      ['oras', 'oras pull ' + (plain ? '--plain-http ' : '') + target],
    ];
    return el('section', { 'aria-labelledby': 'pull-title' }, el('h2', { id: 'pull-title' }, 'Pull'),
      ...commands.map(([tool, cmd]) => {
        const code = el('code', { id: 'pull-' + tool }, cmd);
        return el('div', { class: 'pull' }, el('span', { class: 'tool' }, tool), code,
          el('button', { type: 'button', 'aria-label': 'Copy the ' + tool + ' command', onclick: (ev) => copy(cmd, code, ev.currentTarget) }, 'Copy'));
      }));
  }

  async function copy(text, code, button) {
    try {
      await navigator.clipboard.writeText(text);
      button.textContent = 'Copied';
    } catch (e) {
      // Without the clipboard (a page over plain HTTP elsewhere than
      // localhost), select the text for the user to copy.
      const r = document.createRange();
      r.selectNodeContents(code);
      const s = getSelection();
      s.removeAllRanges();
      s.addRange(r);
      button.textContent = 'Selected';
    }
    setTimeout(() => { button.textContent = 'Copy'; }, 2000);
  }

  function platformOf(p) {
    if (!p) return 'unknown';
    return [p.os, p.architecture, p.variant].filter(Boolean).join('/') + (p['os.version'] ? ' ' + p['os.version'] : '');
  }

  async function viewImage(params) {
    const current = fresh();
    const name = params.get('name') || '';
    const ref = params.get('ref') || '';
    const h = heading(name + (/^[a-z0-9]+:/.test(ref) ? '@' + shortDigest(ref) : ':' + ref));
    const errors = el('div');
    main.replaceChildren(el('p', null, link('Repositories', '#/'), ' / ', link(name, repoHash(name))), h, errors);
    h.focus();
    status('Loading the manifest…');
    let d;
    try {
      d = await describe(name, ref);
    } catch (e) {
      if (current()) { status(''); showError(errors, e); }
      return;
    }
    if (!current()) return;
    const m = d.manifest;
    const parts = [];
    parts.push(kv([['Digest', el('span', { class: 'mono' }, d.digest)], ['Media type', d.type],
      ['Artifact type', m.artifactType], ['Manifest size', size(d.bytes)], ['Total size', INDEX_TYPES.has(d.type) ? '' : size(d.size)]]));
    parts.push(pullCommands(name, ref));
    if (INDEX_TYPES.has(d.type)) {
      parts.push(el('h2', null, 'Platforms'), table('Manifests of this index',
        [['Platform'], ['Digest'], ['Media type'], ['Size', 'num']],
        (m.manifests || []).map((c) => [[link(platformOf(c.platform), imageHash(name, c.digest))],
          [el('span', { title: c.digest }, shortDigest(c.digest)), 'mono'], [c.mediaType || '', 'mono'], [size(c.size), 'num']])));
    } else {
      const layers = m.layers || m.blobs || [];
      parts.push(el('h2', null, 'Layers'), table(layers.length + ' layers, ' + size(layers.reduce((s, l) => s + (l.size || 0), 0)),
        [['#', 'num'], ['Digest'], ['Media type'], ['Size', 'num']],
        layers.map((l, i) => [[String(i + 1), 'num'], [el('span', { title: l.digest }, shortDigest(l.digest)), 'mono'], [l.mediaType || '', 'mono'], [size(l.size), 'num']])));
    }
    const ann = annotations(m.annotations);
    if (ann) parts.push(el('h2', null, 'Annotations'), ann);
    const configPlace = el('div');
    const referrersPlace = el('section', { 'aria-labelledby': 'referrers-title' }, el('h2', { id: 'referrers-title' }, 'Referrers'), el('p', { class: 'muted' }, 'Loading…'));
    parts.push(configPlace, referrersPlace);
    if (d.digest) {
      parts.push(el('div', { class: 'bar' }, el('button', { type: 'button', class: 'danger',
        onclick: () => remove(name, d.digest, errors, () => { location.hash = repoHash(name); }) }, 'Delete this manifest')));
    }
    main.append(...parts);
    status('');

    if (!INDEX_TYPES.has(d.type)) {
      configOf(name, m).then((cfg) => { if (cfg && current()) configPlace.replaceChildren(...configView(cfg)); })
        .catch((e) => { if (current()) showError(configPlace, e); });
    }
    if (d.digest) {
      const tree = el('ul', { class: 'tree', 'aria-label': 'Referrers of ' + shortDigest(d.digest) });
      const budget = { left: 200 };
      referrers(name, d.digest, tree, 0, budget, current).then(() => {
        if (!current()) return;
        referrersPlace.replaceChildren(referrersPlace.firstChild, tree.childElementCount ? tree : el('p', { class: 'muted' }, 'Nothing refers to this manifest.'));
      }).catch((e) => { if (current()) { referrersPlace.replaceChildren(referrersPlace.firstChild); referrersPlace.append(el('p', { class: 'error' }, e.message)); } });
    }
  }

  function configView(cfg) {
    const c = cfg.config || {};
    const out = [el('h2', null, 'Configuration'), kv([
      ['Created', date(cfg.created)], ['Platform', platformOf(cfg)], ['Author', cfg.author],
      ['Entrypoint', c.Entrypoint ? el('code', null, JSON.stringify(c.Entrypoint)) : ''],
      ['Command', c.Cmd ? el('code', null, JSON.stringify(c.Cmd)) : ''],
      ['Working directory', c.WorkingDir], ['User', c.User],
      ['Exposed ports', c.ExposedPorts ? Object.keys(c.ExposedPorts).join(', ') : ''],
    ])];
    if (c.Env && c.Env.length) out.push(el('h2', null, 'Environment'), el('pre', null, c.Env.join('\n')));
    const labels = annotations(c.Labels);
    if (labels) out.push(el('h2', null, 'Labels'), labels);
    if (cfg.history && cfg.history.length) {
      out.push(el('h2', null, 'History'), table('How the image was built', [['Created'], ['Step'], ['Layer']],
        cfg.history.map((s) => [[date(s.created)], [el('code', null, s.created_by || s.comment || ''), ''], [s.empty_layer ? 'none' : 'yes']])));
    }
    return out;
  }

  // The referrers of a digest, and theirs, as nested lists.
  async function referrers(name, digest, into, depth, budget, current) {
    if (depth > 4 || budget.left <= 0) return;
    const found = await allPages('/v2/' + name + '/referrers/' + digest, 'manifests', { scope: 'repository:' + name + ':pull' }, { repo: name, action: 'pull from' });
    for (const r of found) {
      if (budget.left-- <= 0 || !current()) return;
      const sub = el('ul', { class: 'tree' });
      const li = el('li', null, link(r.artifactType || r.mediaType || 'manifest', imageHash(name, r.digest)), ' ',
        el('span', { class: 'mono muted', title: r.digest }, shortDigest(r.digest)), ' ', el('span', { class: 'muted' }, size(r.size)),
        annotations(r.annotations), sub);
      into.append(li);
      await referrers(name, r.digest, sub, depth + 1, budget, current);
      if (!sub.childElementCount) sub.remove();
    }
  }

  // ---- routing and sign-in -----------------------------------------------------
  function route() {
    const hash = location.hash.replace(/^#/, '') || '/';
    const [path, query] = hash.split('?');
    const params = new URLSearchParams(query || '');
    if (path === '/repo' && params.get('name')) return viewRepository(params);
    if (path === '/image' && params.get('name') && params.get('ref')) return viewImage(params);
    if (path === '/' || path === '') return viewRepositories(params);
    fresh();
    const h = heading('Not found');
    main.replaceChildren(h, el('p', null, 'This page does not exist. ', link('See the repositories.', '#/')));
    h.focus();
  }

  function openSignIn(show) {
    $('signin').hidden = !show;
    $('signin-error').textContent = '';
    if (show) $('signin-user').focus();
    else $('signin-open').focus();
  }

  async function signIn(ev) {
    ev.preventDefault();
    const user = $('signin-user').value;
    const password = $('signin-password').value;
    $('signin-error').textContent = '';
    try {
      const t = await fetchToken('registry:catalog:*', user, password);
      auth.user = user;
      auth.password = password;
      auth.tokens.clear();
      auth.tokens.set('registry:catalog:*', t);
      $('signin-password').value = '';
      $('signin').hidden = true;
      showAccount();
      route();
    } catch (e) {
      $('signin-error').textContent = e.message;
    }
  }

  function signOut() {
    auth.user = '';
    auth.password = '';
    auth.tokens.clear();
    showAccount();
    $('signin-open').focus();
    route();
  }

  async function start() {
    $('signin-open').addEventListener('click', () => openSignIn(true));
    $('signin-cancel').addEventListener('click', () => openSignIn(false));
    $('signin').addEventListener('submit', signIn);
    $('signout').addEventListener('click', signOut);
    window.addEventListener('hashchange', route);
    // Which access control the registry uses, from its answer to /v2/.
    try {
      const res = await fetch('/v2/', { credentials: 'omit', cache: 'no-store' });
      const ch = res.status === 401 ? parseChallenge(res.headers.get('WWW-Authenticate')) : null;
      if (ch && ch.scheme === 'bearer') setMode('token', ch.params);
      else if (ch && ch.scheme === 'basic') setMode('basic');
    } catch (e) { /* the first view says the registry cannot be reached */ }
    route();
  }

  start();
})();
