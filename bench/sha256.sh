#!/usr/bin/env bash
# SHA-256 side by side, in one run on this machine:
#   1. sha256_update over 16 MiB in memory vs OpenSSL's EVP_Digest
#   2. sha256_file over a 1 GiB file in the page cache vs `openssl dgst -sha256`
#   3. the portable path, forced, vs coreutils' sha256sum on the same file
# Prints the three ratios (ours / theirs throughput, higher is better) and
# writes them to bench/results/sha256.csv.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
scripts/setup --bench >/dev/null
scripts/build sha256_bench sha256_file_tool >/dev/null

results="$top/bench/results"
mkdir -p "$results"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# 1. In memory (Google Benchmark, bytes per second).
build/bin/sha256_bench --benchmark_format=csv --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true >"$work/mem.csv" 2>/dev/null
bps() { grep "^\"$1/min_time:1.000_median\"" "$work/mem.csv" | awk -F, '{print $(NF-4)}'; }
ours_mem=$(bps BM_Sha256Update16MiB)
ossl_mem=$(bps BM_OpenSslEvpDigest16MiB)

# 2 and 3. Whole files, whole processes (hyperfine, median seconds).
file="$work/1GiB.bin"
head -c $((1 << 30)) /dev/urandom >"$file"
cat "$file" >/dev/null   # into the page cache
want=$(sha256sum "$file" | cut -d' ' -f1)
got=$(build/bin/sha256_file_tool "$file" | cut -d' ' -f1)
[ "$want" = "$got" ] || { echo "sha256.sh: digests differ: $want vs $got" >&2; exit 1; }

hyperfine -N --warmup 1 --runs 5 --export-json "$work/file.json" \
  -n ours "build/bin/sha256_file_tool $file" \
  -n openssl "openssl dgst -sha256 $file" \
  -n ours-portable "build/bin/sha256_file_tool --portable $file" \
  -n sha256sum "sha256sum $file" >/dev/null
median() {
  python3 -c "import json,sys; r={x['command']:x['median'] for x in json.load(open(sys.argv[1]))['results']}; print(r[sys.argv[2]])" "$work/file.json" "$1"
}
t_ours=$(median ours); t_ossl=$(median openssl); t_port=$(median ours-portable); t_sum=$(median sha256sum)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
r_mem=$(ratio "$ours_mem" "$ossl_mem")
r_file=$(ratio "$t_ossl" "$t_ours")
r_port=$(ratio "$t_sum" "$t_port")

{
  echo "benchmark,ours,theirs,unit,ratio,target"
  echo "sha256_update_16MiB_vs_openssl_evp,$ours_mem,$ossl_mem,bytes/s,$r_mem,0.95"
  echo "sha256_file_1GiB_vs_openssl_dgst,$t_ours,$t_ossl,s,$r_file,0.90"
  echo "sha256_file_1GiB_portable_vs_sha256sum,$t_port,$t_sum,s,$r_port,0.90"
} >"$results/sha256.csv"
column -s, -t <"$results/sha256.csv"
