#!/usr/bin/env python3
"""A client that pushes, re-pushes and deletes images as fast as it can,
for the tests that run garbage collection beside it.

  pusher.py BASE_URL REPO NAME SEED ROUNDS SECONDS [MOUNT_FROM] [--chunked]
            [--at-least N] [--bound SECONDS]

BASE_URL may name several registry nodes that serve one storage tree,
separated by commas: then every request goes to the next node in turn, as
behind a balancer with no session affinity, so a blob is HEADed on one node,
its upload started on a second and finished on a third, and every read of a
push goes through another node than the write before it. --chunked uploads
each blob in two PATCH requests before the PUT that finishes it, instead of
in one POST.

It runs ROUNDS rounds, and starts no round after SECONDS once it has pushed
--at-least N times (default 1): on a machine slow enough that SECONDS pass
before its first pushes, it goes on until it has made them, within --bound
seconds in all (default SECONDS + 150), so that a test can always ask for
progress, whatever the speed. Each round ends with a line "round N: pushed"
or "round N: gave up", flushed, for a test that paces its work by the
pushers' progress.

Each round pushes an image as docker and skopeo do: HEAD every blob, upload
the ones the registry says it lacks, then PUT the manifest under one of the
pusher's own tags. Layers come from a pool every pusher shares, so images
share layers within and across repositories. Right after each push the
pusher pulls its tag back and checks every byte; every fourth round it
deletes one of its tags. A push the registry refuses because a blob went
missing between the HEAD and the PUT (MANIFEST_BLOB_UNKNOWN) is retried
from the HEADs, up to eight times: that is a clean failure. A pull of a tag
just pushed that does not come back whole is a violation.

Prints one JSON line: {"pushes": N, "retries": N, "violations": N,
"problems": [...]} and exits 0 when there were no violations.
"""
import hashlib
import http.client
import json
import random
import sys
import time
import urllib.parse

POOL = 8


def pool_layer(i):
    # Shared by every pusher: the same bytes, the same digest.
    return (b"shared layer %d " % i) * (500 + 300 * i)


def digest(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


class Registry:
    def __init__(self, bases):
        self.nodes = []
        for base in bases.split(","):
            u = urllib.parse.urlparse(base)
            self.nodes.append((u.hostname, u.port))
        self.turn = 0
        self.started = time.monotonic()
        self.last = ""  # the node of the last request

    def when(self):
        """Where and when the last request went, for the problems reported."""
        return "at %.1f s through %s" % (time.monotonic() - self.started, self.last)

    def request(self, method, path, body=None, headers=None):
        # Each request to the next node: with one node, always that one.
        host, port = self.nodes[self.turn % len(self.nodes)]
        self.turn += 1
        self.last = "%s:%d" % (host, port)
        conn = http.client.HTTPConnection(host, port, timeout=60)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            r = conn.getresponse()
            data = r.read()
            return r.status, dict((k.lower(), v) for k, v in r.getheaders()), data
        finally:
            conn.close()


def upload_in_chunks(reg, repo, data):
    """POST, two PATCHes and the PUT, each (with several nodes) on another node."""
    d = digest(data)
    status, headers, body = reg.request("POST", "/v2/%s/blobs/uploads/" % repo, body=b"",
                                        headers={"Content-Length": "0"})
    if status != 202:
        raise RuntimeError("upload start for %s: %d %s" % (d, status, body[:200]))
    location = urllib.parse.urlparse(headers["location"])
    where = location.path
    half = len(data) // 2
    for start, chunk in ((0, data[:half]), (half, data[half:])):
        status, headers, body = reg.request(
            "PATCH", where, body=chunk,
            headers={"Content-Type": "application/octet-stream", "Content-Length": str(len(chunk)),
                     "Content-Range": "%d-%d" % (start, start + len(chunk) - 1)})
        if status != 202:
            raise RuntimeError("chunk %d of %s: %d %s" % (start, d, status, body[:200]))
        if headers.get("range") != "0-%d" % (start + len(chunk) - 1):
            raise RuntimeError("VIOLATION: chunk %d of %s: the upload now ends at %s (%s)" %
                               (start, d, headers.get("range"), reg.when()))
    status, _, body = reg.request("PUT", "%s?digest=%s" % (where, d), body=b"", headers={"Content-Length": "0"})
    if status != 201:
        raise RuntimeError("upload finish of %s: %d %s" % (d, status, body[:200]))


def push_blob(reg, repo, data, mount_from, chunked):
    d = digest(data)
    status, _, _ = reg.request("HEAD", "/v2/%s/blobs/%s" % (repo, d))
    if status == 200:
        return
    if mount_from:
        status, _, _ = reg.request("POST", "/v2/%s/blobs/uploads/?mount=%s&from=%s" % (repo, d, mount_from),
                                   body=b"", headers={"Content-Length": "0"})
        if status == 201:
            return
        # 202: an ordinary upload was started instead; push it anew.
    if chunked:
        upload_in_chunks(reg, repo, data)
        return
    status, _, body = reg.request("POST", "/v2/%s/blobs/uploads/?digest=%s" % (repo, d), body=data,
                                  headers={"Content-Type": "application/octet-stream",
                                           "Content-Length": str(len(data))})
    if status != 201:
        raise RuntimeError("upload of %s: %d %s" % (d, status, body[:200]))


def manifest_for(config, layers):
    desc = lambda mt, data: {"mediaType": mt, "digest": digest(data), "size": len(data)}
    return json.dumps({
        "schemaVersion": 2,
        "mediaType": "application/vnd.oci.image.manifest.v1+json",
        "config": desc("application/vnd.oci.image.config.v1+json", config),
        "layers": [desc("application/vnd.oci.image.layer.v1.tar", l) for l in layers],
    }, separators=(",", ":")).encode()


def take_option(args, name, default):
    """The value of --name VALUE in args (taken out of them), or default."""
    if name not in args:
        return default
    at = args.index(name)
    value = args[at + 1]
    del args[at:at + 2]
    return value


def main():
    args = [a for a in sys.argv[1:] if a != "--chunked"]
    chunked = len(args) != len(sys.argv) - 1
    at_least = int(take_option(args, "--at-least", "1"))
    base, repo, name, seed, rounds, seconds = args[0:6]
    bound = float(take_option(args, "--bound", str(float(seconds) + 150)))
    mount_from = args[6] if len(args) > 6 else ""
    rng = random.Random(int(seed))
    reg = Registry(base)
    started = time.monotonic()
    deadline = started + float(seconds)
    pushes = retries = violations = 0
    problems = []
    for rnd in range(int(rounds)):
        now = time.monotonic()
        if (now > deadline and pushes >= at_least) or now > started + bound:
            break
        layers = [pool_layer(i) for i in rng.sample(range(POOL), 2)]
        layers.append(b"own layer of %s, round %d " % (name.encode(), rnd) * 40)
        config = json.dumps({"pusher": name, "round": rnd}).encode()
        body = manifest_for(config, layers)
        tag = "%s-%d" % (name, rnd % 3)
        for attempt in range(8):
            try:
                for blob in [config] + layers:
                    push_blob(reg, repo, blob, mount_from, chunked)
                status, headers, resp = reg.request(
                    "PUT", "/v2/%s/manifests/%s" % (repo, tag), body=body,
                    headers={"Content-Type": "application/vnd.oci.image.manifest.v1+json"})
            except (OSError, RuntimeError) as e:
                if str(e).startswith("VIOLATION"):
                    violations += 1
                problems.append("round %d: %s (%s)" % (rnd, e, reg.when()))
                status, resp = 0, b""
            if status == 201:
                break
            if b"MANIFEST_BLOB_UNKNOWN" in resp or b"BLOB_UNKNOWN" in resp:
                retries += 1
                continue
            problems.append("round %d: manifest put %d %s (%s)" % (rnd, status, resp[:200], reg.when()))
            break
        else:
            problems.append("round %d: gave up after retries" % rnd)
        if status != 201:
            print("round %d: gave up" % rnd, flush=True)
            continue
        pushes += 1
        # Read your own write: the tag just pushed comes back whole.
        status, headers, got = reg.request("GET", "/v2/%s/manifests/%s" % (repo, tag),
                                           headers={"Accept": "application/vnd.oci.image.manifest.v1+json"})
        if status != 200 or got != body:
            violations += 1
            problems.append("VIOLATION round %d: manifest %s came back %d (%s)" % (rnd, tag, status, reg.when()))
            print("round %d: pushed" % rnd, flush=True)
            continue
        for blob in [config] + layers:
            status, _, data = reg.request("GET", "/v2/%s/blobs/%s" % (repo, digest(blob)))
            if status != 200 or data != blob:
                violations += 1
                problems.append("VIOLATION round %d: blob %s of %s came back %d (%s)" %
                                (rnd, digest(blob), tag, status, reg.when()))
        if rnd % 4 == 3:
            other = "%s-%d" % (name, (rnd + 1) % 3)
            reg.request("DELETE", "/v2/%s/manifests/%s" % (repo, other))
        print("round %d: pushed" % rnd, flush=True)
    print(json.dumps({"pushes": pushes, "retries": retries, "violations": violations, "problems": problems[:20]}))
    sys.exit(1 if violations else 0)


if __name__ == "__main__":
    main()
