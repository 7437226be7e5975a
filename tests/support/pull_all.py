#!/usr/bin/env python3
"""Pulls every tag of every repository whole through a registry node.

  pull_all.py BASE_URL

Lists the catalog and each repository's tags (following Link pages), fetches
each tag's manifest, every manifest an index names, and every blob they
refer to, and checks that each hashes to its digest. Prints one JSON line:
{"repositories": N, "tags": N, "manifests": N, "blobs": N, "problems": [...]}
and exits 0 when there were no problems.
"""
import hashlib
import http.client
import json
import re
import sys
import urllib.parse

ACCEPT = ", ".join([
    "application/vnd.oci.image.manifest.v1+json",
    "application/vnd.oci.image.index.v1+json",
    "application/vnd.docker.distribution.manifest.v2+json",
    "application/vnd.docker.distribution.manifest.list.v2+json",
])
INDEX_TYPES = ("application/vnd.oci.image.index.v1+json", "application/vnd.docker.distribution.manifest.list.v2+json")


class Node:
    def __init__(self, base):
        u = urllib.parse.urlparse(base)
        self.conn = http.client.HTTPConnection(u.hostname, u.port, timeout=120)

    def get(self, path, accept=None):
        self.conn.request("GET", path, headers={"Accept": accept} if accept else {})
        r = self.conn.getresponse()
        return r.status, dict((k.lower(), v) for k, v in r.getheaders()), r.read()


def paged(node, path, key):
    names = []
    while path:
        status, headers, body = node.get(path)
        if status != 200:
            raise RuntimeError("%s: %d %s" % (path, status, body[:200]))
        names += json.loads(body).get(key) or []
        m = re.match(r"<([^>]+)>", headers.get("link", ""))
        path = m.group(1) if m else None
    return names


def hashed(data, digest):
    alg = digest.split(":", 1)[0]
    return alg + ":" + hashlib.new(alg, data).hexdigest() == digest


def main():
    node = Node(sys.argv[1])
    counts = {"repositories": 0, "tags": 0, "manifests": 0, "blobs": 0}
    problems = []
    for repo in paged(node, "/v2/_catalog?n=1000", "repositories"):
        counts["repositories"] += 1
        seen = set()

        def manifest(ref, where):
            status, headers, body = node.get("/v2/%s/manifests/%s" % (repo, ref), ACCEPT)
            if status != 200:
                problems.append("%s: manifest %s: %d" % (where, ref, status))
                return
            digest = headers.get("docker-content-digest", "")
            if not hashed(body, digest) or (":" in ref and ref != digest):
                problems.append("%s: manifest %s: its bytes do not hash to %s" % (where, ref, digest))
                return
            counts["manifests"] += 1
            doc = json.loads(body)
            if doc.get("mediaType") in INDEX_TYPES or "manifests" in doc:
                for child in doc.get("manifests", []):
                    manifest(child["digest"], "%s > %s" % (where, child["digest"]))
                return
            for desc in [doc.get("config")] + doc.get("layers", []) + doc.get("blobs", []):
                if not desc or desc["digest"] in seen:
                    continue
                seen.add(desc["digest"])
                status, _, data = node.get("/v2/%s/blobs/%s" % (repo, desc["digest"]))
                if status != 200 or not hashed(data, desc["digest"]) or len(data) != desc["size"]:
                    problems.append("%s: blob %s: %d, %d bytes" % (where, desc["digest"], status, len(data)))
                counts["blobs"] += 1

        for tag in paged(node, "/v2/%s/tags/list?n=1000" % repo, "tags"):
            counts["tags"] += 1
            manifest(tag, "%s:%s" % (repo, tag))
    counts["problems"] = problems[:20]
    print(json.dumps(counts))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
