#!/usr/bin/env python3
"""The peer registry's side of the HTTP benchmark.

  peer_registry.py manifest             print the image manifest both registries store
  peer_registry.py populate PORT COUNT  push COUNT repositories "repo-NNN", each with
                                        its config and layer blobs and one manifest
                                        tagged "latest", through the registry HTTP API
"""
import hashlib
import http.client
import json
import sys

CONFIG = b'{"architecture":"amd64","os":"linux","rootfs":{"type":"layers","diff_ids":[]}}'
LAYER = bytes(range(256)) * 16


def digest(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


def manifest():
    doc = {
        "schemaVersion": 2,
        "mediaType": "application/vnd.docker.distribution.manifest.v2+json",
        "config": {"mediaType": "application/vnd.docker.container.image.v1+json",
                   "size": len(CONFIG), "digest": digest(CONFIG)},
        "layers": [{"mediaType": "application/vnd.docker.image.rootfs.diff.tar.gzip",
                    "size": len(LAYER), "digest": digest(LAYER)}],
    }
    return json.dumps(doc, separators=(",", ":")).encode()


def populate(port, count):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)

    def request(method, path, body, content_type, want):
        conn.request(method, path, body=body,
                     headers={"Content-Type": content_type, "Content-Length": str(len(body))})
        response = conn.getresponse()
        data = response.read()
        if response.status != want:
            raise SystemExit(f"{method} {path}: {response.status} {data[:200]!r}")
        return response

    body = manifest()
    for i in range(count):
        name = f"repo-{i:03d}"
        for blob in (CONFIG, LAYER):
            # Start an upload, then finish it with the whole blob in one PUT.
            started = request("POST", f"/v2/{name}/blobs/uploads/", b"", "application/octet-stream", 202)
            location = started.getheader("Location")
            location = location[location.index("/v2/"):] if "://" in location else location
            sep = "&" if "?" in location else "?"
            request("PUT", f"{location}{sep}digest={digest(blob)}", blob, "application/octet-stream", 201)
        request("PUT", f"/v2/{name}/manifests/latest", body,
                "application/vnd.docker.distribution.manifest.v2+json", 201)


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] == "manifest":
        sys.stdout.buffer.write(manifest())
    elif len(sys.argv) == 4 and sys.argv[1] == "populate":
        populate(int(sys.argv[2]), int(sys.argv[3]))
    else:
        raise SystemExit(__doc__)
