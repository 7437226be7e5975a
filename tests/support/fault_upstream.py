#!/usr/bin/env python3
"""A registry that misbehaves on purpose, on loopback, for the mirror's
fault tests. It serves the image of an OCI layout (every tag names the
layout's first manifest) and logs each request's method and path.

  fault_upstream.py PORT LAYOUT MODE
    good   every byte as stored
    wrong  blobs over 1000 bytes with one byte changed, at their length
    cut    blobs over 1000 bytes: the length, half the bytes, then the
           process ends, as an upstream killed mid-blob
    busy   429 with Retry-After: 7 for everything below /v2/<name>/
    broken 503 with Retry-After: 9 for everything below /v2/<name>/
    paged  as good, and three artifacts that refer to the first manifest,
           listed by the referrers API one a page, each page's Link
           naming the next by its path
    astray as paged, but the second page's Link names another host
"""
import hashlib
import http.server
import json
import os
import sys

PORT, LAYOUT, MODE = int(sys.argv[1]), sys.argv[2], sys.argv[3]
MANIFEST_TYPE = "application/vnd.oci.image.manifest.v1+json"


def first_manifest():
    with open(os.path.join(LAYOUT, "index.json")) as f:
        return json.load(f)["manifests"][0]["digest"]


def blob(digest):
    alg, _, hexpart = digest.partition(":")
    if alg != "sha256" or not hexpart.isalnum():
        return None
    path = os.path.join(LAYOUT, "blobs", "sha256", hexpart)
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def artifacts():
    """Three artifact manifests whose subject is the first manifest, by
    digest, as (digest, body)."""
    subject = first_manifest()
    with open(os.path.join(LAYOUT, "blobs", "sha256", subject.split(":")[1]), "rb") as f:
        size = len(f.read())
    out = []
    for i in range(3):
        body = json.dumps({
            "schemaVersion": 2,
            "mediaType": MANIFEST_TYPE,
            "artifactType": "application/vnd.example.note." + str(i),
            "config": {"mediaType": "application/vnd.oci.empty.v1+json", "size": 2,
                       "digest": "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a"},
            "layers": [],
            "subject": {"mediaType": MANIFEST_TYPE, "digest": subject, "size": size},
        }, separators=(",", ":")).encode()
        out.append(("sha256:" + hashlib.sha256(body).hexdigest(), body))
    return out


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def answer(self, status, body, headers, head):
        self.send_response(status)
        for k, v in headers.items():
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if head:
            return
        if status == 200 and MODE == "cut" and len(body) > 1000:
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            os._exit(1)
        self.wfile.write(body)

    def serve(self, head):
        print(self.command, self.path, flush=True)
        parts = self.path.split("/")
        if self.path in ("/v2/", "/v2"):
            return self.answer(200, b"{}", {"Content-Type": "application/json"}, head)
        if len(parts) >= 5 and parts[1] == "v2" and MODE in ("busy", "broken"):
            status, after = (429, "7") if MODE == "busy" else (503, "9")
            return self.answer(status, b'{"errors":[]}', {"Retry-After": after}, head)
        path, _, query = self.path.partition("?")
        if MODE in ("paged", "astray") and len(parts) >= 5 and parts[1] == "v2" and "/referrers/" in path:
            return self.referrers_page(path, query, head)
        if MODE in ("paged", "astray") and parts[-2] == "manifests":
            for digest, body in artifacts():
                if parts[-1] == digest:
                    return self.answer(200, body, {"Docker-Content-Digest": digest, "Content-Type": MANIFEST_TYPE}, head)
        if len(parts) >= 5 and parts[1] == "v2" and parts[-2] in ("manifests", "blobs"):
            ref = parts[-1]
            digest = ref if ":" in ref else first_manifest()
            body = blob(digest)
            if body is None:
                return self.answer(404, b'{"errors":[{"code":"BLOB_UNKNOWN"}]}', {}, head)
            headers = {"Docker-Content-Digest": digest}
            if parts[-2] == "manifests":
                headers["Content-Type"] = MANIFEST_TYPE
            elif MODE == "wrong" and len(body) > 1000:
                body = body[:500] + bytes([body[500] ^ 0xFF]) + body[501:]
            return self.answer(200, body, headers, head)
        return self.answer(404, b"{}", {}, head)

    def referrers_page(self, path, query, head):
        if not path.endswith("/referrers/" + first_manifest()):
            return self.answer(200, json.dumps({"schemaVersion": 2, "manifests": []}).encode(),
                               {"Content-Type": "application/vnd.oci.image.index.v1+json"}, head)
        page = int(query.split("page=")[1]) if "page=" in query else 0
        digest, body = artifacts()[page]
        index = {"schemaVersion": 2, "mediaType": "application/vnd.oci.image.index.v1+json",
                 "manifests": [{"mediaType": MANIFEST_TYPE, "digest": digest, "size": len(body),
                                "artifactType": "application/vnd.example.note." + str(page)}]}
        headers = {"Content-Type": "application/vnd.oci.image.index.v1+json"}
        if page < 2:
            target = path + "?page=" + str(page + 1)
            if MODE == "astray" and page == 1:
                target = "http://127.0.0.2:9" + target
            headers["Link"] = "<" + target + '>; rel="next"'
        return self.answer(200, json.dumps(index).encode(), headers, head)

    def do_GET(self):
        self.serve(False)

    def do_HEAD(self):
        self.serve(True)


http.server.ThreadingHTTPServer(("127.0.0.1", PORT), Handler).serve_forever()
