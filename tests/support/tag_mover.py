#!/usr/bin/env python3
"""Moves and deletes tags through one registry node and checks each change
through the others at once, for the tests of several nodes over one tree.

  tag_mover.py MOVE_URL CHECK_URLS REPOS ROUNDS SECONDS [--bound SECONDS]

CHECK_URLS and REPOS are comma-separated. Each round takes a tag that
someone else pushed in one of the repositories, fetches its manifest
through MOVE_URL and puts it under a tag of the mover's own ("latest" or
"moved-N"), which then must read back byte for byte through every node of
CHECK_URLS; every other round it deletes one of its own tags through
MOVE_URL, which then must be gone through every node. A tag that another
client deleted between the listing and the fetch, and a put refused
because collection took what the manifest needs once it was untagged
(MANIFEST_BLOB_UNKNOWN), are clean failures; anything else that a node
answers after the change is a violation.

Prints one JSON line: {"moves": N, "deletes": N, "skipped": N,
"violations": N, "problems": [...]} and exits 0 when there were no
violations.

It runs ROUNDS rounds, and starts no round after SECONDS once it has moved
a tag: until then it goes on, within --bound seconds in all (default
SECONDS + 150). Each round ends with a line "round N: ...", flushed.
"""
import http.client
import json
import random
import sys
import time
import urllib.parse

ACCEPT = ", ".join([
    "application/vnd.oci.image.manifest.v1+json",
    "application/vnd.oci.image.index.v1+json",
    "application/vnd.docker.distribution.manifest.v2+json",
    "application/vnd.docker.distribution.manifest.list.v2+json",
])


def request(base, method, path, body=None, headers=None):
    u = urllib.parse.urlparse(base)
    conn = http.client.HTTPConnection(u.hostname, u.port, timeout=60)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        r = conn.getresponse()
        return r.status, dict((k.lower(), v) for k, v in r.getheaders()), r.read()
    finally:
        conn.close()


def main():
    args = sys.argv[1:]
    bound = None
    if "--bound" in args:
        at = args.index("--bound")
        bound = float(args[at + 1])
        del args[at:at + 2]
    mover, checks, repos, rounds, seconds = args[0:5]
    if bound is None:
        bound = float(seconds) + 150
    checks = checks.split(",")
    repos = repos.split(",")
    rng = random.Random(7)
    started = time.monotonic()
    deadline = started + float(seconds)
    moves = deletes = skipped = violations = 0
    problems = []

    def violation(text):
        nonlocal violations
        violations += 1
        problems.append("VIOLATION %s (at %.1f s)" % (text, time.monotonic() - started))

    def one_round(rnd):
        """One move (and every other round a delete), checked through every node."""
        nonlocal moves, deletes, skipped
        repo = repos[rnd % len(repos)]
        status, _, body = request(mover, "GET", "/v2/%s/tags/list" % repo)
        if status != 200:
            skipped += 1
            time.sleep(0.2)
            return
        others = [t for t in json.loads(body).get("tags") or [] if t != "latest" and not t.startswith("moved-")]
        if not others:
            skipped += 1
            time.sleep(0.2)
            return
        source = rng.choice(others)
        status, headers, manifest = request(mover, "GET", "/v2/%s/manifests/%s" % (repo, source),
                                            headers={"Accept": ACCEPT})
        if status != 200:
            skipped += 1  # deleted or moved away by its pusher meanwhile
            return
        target = "latest" if rnd % 3 == 0 else "moved-%d" % (rnd % 4)
        status, _, resp = request(mover, "PUT", "/v2/%s/manifests/%s" % (repo, target), body=manifest,
                                  headers={"Content-Type": headers.get("content-type", "")})
        if status != 201:
            if b"MANIFEST_BLOB_UNKNOWN" in resp or b"BLOB_UNKNOWN" in resp:
                skipped += 1
            else:
                problems.append("round %d: put %s:%s: %d %s" % (rnd, repo, target, status, resp[:200]))
            return
        moves += 1
        for node in checks:
            status, _, got = request(node, "GET", "/v2/%s/manifests/%s" % (repo, target), headers={"Accept": ACCEPT})
            if status != 200 or got != manifest:
                violation("round %d: %s:%s moved through %s reads %d%s through %s" %
                          (rnd, repo, target, mover, status, "" if status != 200 else " with other bytes", node))
        if rnd % 2 == 1:
            gone = "moved-%d" % rng.randrange(4)
            status, _, resp = request(mover, "DELETE", "/v2/%s/manifests/%s" % (repo, gone))
            if status not in (202, 404):
                problems.append("round %d: delete %s:%s: %d %s" % (rnd, repo, gone, status, resp[:200]))
                return
            deletes += 1
            for node in checks:
                status, _, _ = request(node, "GET", "/v2/%s/manifests/%s" % (repo, gone), headers={"Accept": ACCEPT})
                if status != 404:
                    violation("round %d: %s:%s deleted through %s reads %d through %s" % (rnd, repo, gone, mover, status, node))

    for rnd in range(int(rounds)):
        now = time.monotonic()
        if (now > deadline and moves > 0) or now > started + bound:
            break
        one_round(rnd)
        print("round %d: done" % rnd, flush=True)
    print(json.dumps({"moves": moves, "deletes": deletes, "skipped": skipped, "violations": violations,
                      "problems": problems[:20]}))
    sys.exit(1 if violations else 0)


if __name__ == "__main__":
    main()
