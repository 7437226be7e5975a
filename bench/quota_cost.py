#!/usr/bin/env python3
"""What a quota costs a blob push: the registry program as CGI finishing a
small monolithic blob push (POST /v2/<name>/blobs/uploads/?digest=) into a
repository that already links N blobs, with a quota line for it in the
policy and without. With a limit, the push looks at every link and its
blob twice (before the body, and under the lock at the finish); the
figure says what that walk costs as N grows.

    bench/quota_cost.py [--links 1000,10000] [--pushes 40]

Prints one CSV row per N: links, median ms without quota, median ms with
quota, and their ratio. Uses build/bin/registry; the tree is made in a
temporary directory through the same program.
"""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REGISTRY = os.path.join(TOP, "build", "bin", "registry")


def push(root, repo, blob):
    digest = "sha256:" + hashlib.sha256(blob).hexdigest()
    env = {
        "REGISTRY_STORAGE_ROOT": root,
        "REQUEST_METHOD": "POST",
        "PATH_INFO": "/v2/%s/blobs/uploads/" % repo,
        "QUERY_STRING": "digest=" + digest,
        "CONTENT_LENGTH": str(len(blob)),
        "CONTENT_TYPE": "application/octet-stream",
        "HTTP_HOST": "bench.example",
    }
    start = time.perf_counter()
    out = subprocess.run([REGISTRY], input=blob, env=env, capture_output=True, check=True).stdout
    elapsed = time.perf_counter() - start
    if not out.startswith(b"Status: 201"):
        sys.exit("push failed: %r" % out[:200])
    return elapsed


def median_ms(root, repo, first, count):
    times = [push(root, repo, b"push %d" % (first + i)) for i in range(count)]
    return statistics.median(times) * 1000


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--links", default="1000,10000")
    ap.add_argument("--pushes", type=int, default=40)
    args = ap.parse_args()
    print("links,plain_ms,quota_ms,ratio")
    for n in (int(x) for x in args.links.split(",")):
        with tempfile.TemporaryDirectory() as tmp:
            root = os.path.join(tmp, "root")
            os.makedirs(os.path.join(root, "auth"))
            policy = os.path.join(root, "auth", "policy")
            for i in range(n):
                push(root, "bench/app", b"blob %d" % i)
            # Alternated, so that a busy moment of the machine falls on both.
            plain, quota = [], []
            for r in range(4):
                with open(policy, "w") as f:
                    f.write("* ** *\n")
                plain.append(median_ms(root, "bench/app", 1000000 * (2 * r + 1), args.pushes // 4))
                with open(policy, "w") as f:
                    f.write("* ** *\nquota: bench/** 10GiB\n")
                quota.append(median_ms(root, "bench/app", 1000000 * (2 * r + 2), args.pushes // 4))
            p, q = statistics.median(plain), statistics.median(quota)
            print("%d,%.2f,%.2f,%.2f" % (n, p, q, q / p), flush=True)


if __name__ == "__main__":
    main()
