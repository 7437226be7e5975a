#!/usr/bin/env python3
"""An OCI image layout of random layers, for the transfer benchmarks.

  oci_layout.py DIR TAG MIB [MIB ...]

writes an OCI image layout in DIR (made, or added to) whose image TAG has
one layer of each size in MiB, every byte of it random. Each layer is a
gzip stream of stored (uncompressed) deflate blocks: clients see a
compressed layer and send it as it is, instead of spending the run
compressing random bytes, and the bytes on the wire are the sizes asked
for (plus a few bytes of framing per 64 KiB block). Prints the digests of
the manifest, of the config (and its size) and of the last layer (and its
size), on one line.
"""
import gzip
import hashlib
import json
import os
import sys

CHUNK = 1 << 20


def write_blob(blobs, data):
    d = hashlib.sha256(data).hexdigest()
    with open(os.path.join(blobs, d), "wb") as f:
        f.write(data)
    return "sha256:" + d, len(data)


def write_layer(blobs, mib):
    """A layer of MIB MiB of random bytes; returns (digest, size, diff_id)."""
    tmp = os.path.join(blobs, ".layer.tmp")
    packed = hashlib.sha256()
    plain = hashlib.sha256()

    class Hashing:
        def __init__(self, f):
            self.f = f

        def write(self, b):
            packed.update(b)
            return self.f.write(b)

        def flush(self):
            self.f.flush()

    with open(tmp, "wb") as raw:
        out = Hashing(raw)
        with gzip.GzipFile(fileobj=out, mode="wb", compresslevel=0, mtime=0) as z:
            for _ in range(mib):
                chunk = os.urandom(CHUNK)
                plain.update(chunk)
                z.write(chunk)
        size = raw.tell()
    d = packed.hexdigest()
    os.rename(tmp, os.path.join(blobs, d))
    return "sha256:" + d, size, "sha256:" + plain.hexdigest()


def main():
    if len(sys.argv) < 4:
        raise SystemExit(__doc__)
    top, tag, sizes = sys.argv[1], sys.argv[2], [int(s) for s in sys.argv[3:]]
    blobs = os.path.join(top, "blobs", "sha256")
    os.makedirs(blobs, exist_ok=True)
    with open(os.path.join(top, "oci-layout"), "w") as f:
        json.dump({"imageLayoutVersion": "1.0.0"}, f)

    layers = [write_layer(blobs, mib) for mib in sizes]
    config = json.dumps({
        "architecture": "amd64",
        "os": "linux",
        "rootfs": {"type": "layers", "diff_ids": [diff_id for _, _, diff_id in layers]},
    }, separators=(",", ":")).encode()
    config_digest, config_size = write_blob(blobs, config)
    manifest = json.dumps({
        "schemaVersion": 2,
        "mediaType": "application/vnd.oci.image.manifest.v1+json",
        "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                   "digest": config_digest, "size": config_size},
        "layers": [{"mediaType": "application/vnd.oci.image.layer.v1.tar+gzip", "digest": d, "size": s}
                   for d, s, _ in layers],
    }, separators=(",", ":")).encode()
    manifest_digest, manifest_size = write_blob(blobs, manifest)

    index_path = os.path.join(top, "index.json")
    index = {"schemaVersion": 2, "manifests": []}
    if os.path.exists(index_path):
        with open(index_path) as f:
            index = json.load(f)
    index["manifests"] = [m for m in index["manifests"]
                          if m.get("annotations", {}).get("org.opencontainers.image.ref.name") != tag]
    index["manifests"].append({
        "mediaType": "application/vnd.oci.image.manifest.v1+json",
        "digest": manifest_digest, "size": manifest_size,
        "annotations": {"org.opencontainers.image.ref.name": tag},
    })
    with open(index_path, "w") as f:
        json.dump(index, f)
    # What a benchmark needs to name: the manifest, the config and the
    # last (smallest) layer, with their sizes.
    print(manifest_digest, config_digest, config_size, layers[-1][0], layers[-1][1])


if __name__ == "__main__":
    main()
