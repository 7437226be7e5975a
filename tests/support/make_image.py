#!/usr/bin/env python3
"""Writes an OCI image layout for the interoperability tests.

  make_image.py DIR [--layers N] [--layer-bytes B] [--platforms P] [--seed S]
                    [--tag TAG] [--docker] [--created TIME]

Each layer is a gzipped tar holding one file of random bytes (real
archives, so that clients unpack what they pull). With --platforms 2 the
tag names an image index over two images (linux/amd64, linux/arm64) that
share their first layer. With --docker the manifests use Docker's schema 2
media types. With --created the configs carry that creation time (RFC 3339)
and a label. Prints the digest of what the tag names.
"""
import argparse
import gzip
import hashlib
import io
import json
import os
import random
import tarfile


def write_blob(root, data):
    digest = hashlib.sha256(data).hexdigest()
    path = os.path.join(root, "blobs", "sha256", digest)
    if not os.path.exists(path):
        with open(path, "wb") as f:
            f.write(data)
    return "sha256:" + digest, len(data)


def layer(rng, name, size):
    content = rng.randbytes(size)
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        info = tarfile.TarInfo(name)
        info.size = len(content)
        info.mtime = 0
        tar.addfile(info, io.BytesIO(content))
    tar_bytes = raw.getvalue()
    gz = gzip.compress(tar_bytes, mtime=0)
    return gz, "sha256:" + hashlib.sha256(tar_bytes).hexdigest()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("dir")
    p.add_argument("--layers", type=int, default=3)
    p.add_argument("--layer-bytes", type=int, default=4096)
    p.add_argument("--platforms", type=int, default=1)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--tag", default="latest")
    p.add_argument("--docker", action="store_true")
    p.add_argument("--created")
    a = p.parse_args()

    rng = random.Random(a.seed)
    root = a.dir
    os.makedirs(os.path.join(root, "blobs", "sha256"), exist_ok=True)
    with open(os.path.join(root, "oci-layout"), "w") as f:
        json.dump({"imageLayoutVersion": "1.0.0"}, f)

    if a.docker:
        manifest_type = "application/vnd.docker.distribution.manifest.v2+json"
        index_type = "application/vnd.docker.distribution.manifest.list.v2+json"
        config_type = "application/vnd.docker.container.image.v1+json"
        layer_type = "application/vnd.docker.image.rootfs.diff.tar.gzip"
    else:
        manifest_type = "application/vnd.oci.image.manifest.v1+json"
        index_type = "application/vnd.oci.image.index.v1+json"
        config_type = "application/vnd.oci.image.config.v1+json"
        layer_type = "application/vnd.oci.image.layer.v1.tar+gzip"

    shared, shared_diff = layer(rng, "shared", a.layer_bytes)
    images = []
    for arch in ["amd64", "arm64"][: a.platforms]:
        layers, diffs = [(shared, shared_diff)], []
        for i in range(a.layers - 1):
            layers.append(layer(rng, "file-%s-%d" % (arch, i), a.layer_bytes))
        descriptors = []
        for gz, diff in layers:
            d, n = write_blob(root, gz)
            descriptors.append({"mediaType": layer_type, "digest": d, "size": n})
            diffs.append(diff)
        fields = {
            "architecture": arch, "os": "linux",
            "config": {"Cmd": ["/bin/true"]},
            "rootfs": {"type": "layers", "diff_ids": diffs},
            "history": [{"created_by": "make_image.py"} for _ in diffs],
        }
        if a.created:
            fields["created"] = a.created
            fields["config"]["Labels"] = {"org.opencontainers.image.title": "made by make_image.py"}
        config = json.dumps(fields, sort_keys=True).encode()
        cd, cn = write_blob(root, config)
        manifest = json.dumps({
            "schemaVersion": 2, "mediaType": manifest_type,
            "config": {"mediaType": config_type, "digest": cd, "size": cn},
            "layers": descriptors,
        }, sort_keys=True).encode()
        md, mn = write_blob(root, manifest)
        images.append({"mediaType": manifest_type, "digest": md, "size": mn,
                       "platform": {"architecture": arch, "os": "linux"}})

    if a.platforms > 1:
        index = json.dumps({"schemaVersion": 2, "mediaType": index_type, "manifests": images},
                           sort_keys=True).encode()
        d, n = write_blob(root, index)
        top = {"mediaType": index_type, "digest": d, "size": n}
    else:
        top = {k: images[0][k] for k in ("mediaType", "digest", "size")}
    top["annotations"] = {"org.opencontainers.image.ref.name": a.tag}
    with open(os.path.join(root, "index.json"), "w") as f:
        json.dump({"schemaVersion": 2, "manifests": [top]}, f)
    print(top["digest"])


if __name__ == "__main__":
    main()
