"""What the browser tests of the web page share, whatever the browser: the
registry program as CGI under a real lighttpd (deploy/lighttpd.conf, as
scripts/serve runs it) on 127.0.0.1, and the content they browse, pushed by
real clients (skopeo, oras) and by plain HTTP where a client would take too
long (a thousand small repositories).
"""
import base64
import hashlib
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"


def missing_tools(top, *more):
    """The first of the web server, the clients, axe-core and more that is
    not installed, or None."""
    axe = axe_path(top)
    for tool in (LIGHTTPD, shutil.which("skopeo"), shutil.which("oras"), axe, *more):
        if not tool or not os.path.exists(tool):
            return tool or "a client"
    return None


def axe_path(top):
    return os.path.join(top, "tests", "web", "node_modules", "axe-core", "axe.min.js")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(argv, stdin=None, cwd=None):
    r = subprocess.run(argv, input=stdin, capture_output=True, text=True, timeout=300, cwd=cwd)
    if r.returncode != 0:
        raise AssertionError("%s failed: %s%s" % (" ".join(argv), r.stdout, r.stderr))
    return r.stdout


class Registry:
    """The registry program as CGI under lighttpd, with the web page in the
    document root, as scripts/serve lays them out."""

    def __init__(self, top, bin_dir, config=None):
        self.top = top
        self.bin = bin_dir
        self.dir = tempfile.mkdtemp(prefix="browser-test-")
        self.storage = os.path.join(self.dir, "registry_storage")
        os.makedirs(os.path.join(self.dir, "htdocs"))
        os.makedirs(self.storage)
        shutil.copy2(os.path.join(bin_dir, "registry"), os.path.join(self.dir, "registry"))
        for f in ("index.html", "app.js", "app.css"):
            shutil.copy2(os.path.join(top, "web", f), os.path.join(self.dir, "htdocs", f))
        if config:
            with open(os.path.join(self.dir, "config.json"), "w") as f:
                json.dump(config, f)
        self.port = free_port()
        self.host = "127.0.0.1:%d" % self.port
        self.url = "http://" + self.host
        env = dict(os.environ, REGISTRY_PORT=str(self.port), REGISTRY_CGI=os.path.join(self.dir, "registry"),
                   REGISTRY_DOCROOT=os.path.join(self.dir, "htdocs"))
        self.log = open(os.path.join(self.dir, "lighttpd.log"), "w")
        self.proc = subprocess.Popen([LIGHTTPD, "-D", "-f", os.path.join(top, "deploy", "lighttpd.conf")],
                                     cwd=self.dir, env=env, stdout=self.log, stderr=subprocess.STDOUT)
        deadline = time.time() + 30
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    break
                time.sleep(0.1)
        log = open(os.path.join(self.dir, "lighttpd.log")).read()
        self.stop()
        raise AssertionError("lighttpd did not start: " + log)

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def push_image(self, name, layout_args=(), creds=None, all_platforms=False):
        layout = os.path.join(self.dir, "layout-" + hashlib.sha256(name.encode()).hexdigest()[:8])
        run([sys.executable, os.path.join(self.top, "tests", "support", "make_image.py"), layout, *layout_args])
        argv = ["skopeo", "--insecure-policy", "copy", "--dest-tls-verify=false"]
        if all_platforms:
            argv.append("--all")
        if creds:
            argv.append("--dest-creds=" + creds)
        run(argv + ["oci:%s:latest" % layout, "docker://%s/%s" % (self.host, name)])

    def token(self, user, password, scope):
        req = urllib.request.Request(self.url + "/auth/token?service=registry&scope=" + scope)
        req.add_header("Authorization", "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode())
        return json.load(urllib.request.urlopen(req))["token"]

    def get_json(self, path, token=None):
        req = urllib.request.Request(self.url + path)
        if token:
            req.add_header("Authorization", "Bearer " + token)
        return json.load(urllib.request.urlopen(req))


def fill_open_registry(reg):
    """What the tests browse without access control: team/hello with two
    tags (v1 made at a known time, with an SBOM and a signature attached by
    oras), team/multi, an index over two platforms, and notes, an artifact
    alone."""
    reg.push_image("team/hello:v1", ["--layers", "2", "--created", "2026-01-02T03:04:05Z"])
    reg.push_image("team/hello:v2", ["--layers", "3", "--seed", "2"])
    reg.push_image("team/multi:v1", ["--platforms", "2", "--seed", "3", "--created", "2026-02-03T04:05:06Z"],
                   all_platforms=True)
    work = os.path.join(reg.dir, "oras")
    os.makedirs(work)
    for f, body in (("sbom.json", '{"sbom": true}'), ("sig.txt", "signed"), ("note.txt", "a note")):
        with open(os.path.join(work, f), "w") as fh:
            fh.write(body)
    ref = reg.host + "/team/hello:v1"
    run(["oras", "attach", "--plain-http", ref, "--artifact-type", "application/vnd.example.sbom",
         "--annotation", "org.example.tool=browser-test", "sbom.json"], cwd=work)
    run(["oras", "attach", "--plain-http", ref, "--artifact-type", "application/vnd.example.signature",
         "sig.txt"], cwd=work)
    run(["oras", "push", "--plain-http", reg.host + "/notes:v1", "--artifact-type",
         "application/vnd.example.note", "note.txt"], cwd=work)


def fill_access_registry(reg):
    """Users alice (may do anything) and bob (may pull), and a policy that
    lets anonymous users pull public/** alone; public/hello:v1, and
    team/app with tags v1 and v2."""
    admin = os.path.join(reg.bin, "registry-admin")
    for user in ("alice", "bob"):
        run([admin, "--root", reg.storage, "user", "add", user, "--cost", "4"], stdin=user + "-pw\n")
    with open(os.path.join(reg.storage, "auth", "policy"), "w") as f:
        f.write("anonymous  public/**  pull\nalice      **         *\nbob        **         pull\n")
    reg.push_image("public/hello:v1", ["--layers", "1"], creds="alice:alice-pw")
    reg.push_image("team/app:v1", ["--layers", "1", "--seed", "4"], creds="alice:alice-pw")
    reg.push_image("team/app:v2", ["--layers", "1", "--seed", "5"], creds="alice:alice-pw")


def push_small_repositories(host, prefix, count):
    """count repositories, each with one tiny image, over one kept-alive
    connection: two requests each (the config blob, then the manifest)."""
    config = b"{}"
    digest = "sha256:" + hashlib.sha256(config).hexdigest()
    manifest = json.dumps({"schemaVersion": 2, "mediaType": "application/vnd.oci.image.manifest.v1+json",
                           "config": {"mediaType": "application/vnd.oci.empty.v1+json", "digest": digest, "size": 2},
                           "layers": []}).encode()
    conn = http.client.HTTPConnection(host, timeout=60)
    for i in range(count):
        name = "%s-%04d" % (prefix, i)
        conn.request("POST", "/v2/%s/blobs/uploads/?digest=%s" % (name, digest), body=config,
                     headers={"Content-Type": "application/octet-stream"})
        r = conn.getresponse()
        r.read()
        assert r.status == 201, (name, r.status)
        conn.request("PUT", "/v2/%s/manifests/v1" % name, body=manifest,
                     headers={"Content-Type": "application/vnd.oci.image.manifest.v1+json"})
        r = conn.getresponse()
        r.read()
        assert r.status == 201, (name, r.status)
    conn.close()
