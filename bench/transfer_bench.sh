#!/usr/bin/env bash
# Transfer benchmark: the download workers (four, as in the launcher) against
# curl with four parallel transfers, fetching the same files from a loopback
# nginx. Two sets: 1 GiB in 4 files, and 5000 files of 8 KiB. Prints both
# times and the ratio (ours / curl; targets: <= 1.2 and <= 1.5).
# Usage: bench/transfer_bench.sh [path/to/kestrava-patcher]
set -euo pipefail
. "$(dirname "$0")/nginx_bench.sh" transfer-bench
patcher=${1:-$here/../build/bin/kestrava-patcher}

# Lists for our side ("md5 size path") and curl configs for the other.
make_lists() {  # set name
  python3 - "$www/$1" "$base/$1/" "$work/curl-$1/" "$work/$1.list" "$work/$1.curl" <<'PY'
import hashlib, os, sys
root, base, out, listing, config = sys.argv[1:]
names = sorted(os.path.relpath(os.path.join(d, f), root)
               for d, _, fs in os.walk(root) for f in fs)
with open(listing, "w") as l, open(config, "w") as c:
    for n in names:
        data = open(os.path.join(root, n), "rb").read()
        l.write("%s %d %s\n" % (hashlib.md5(data).hexdigest(), len(data), n))
        c.write('url = "%s%s"\noutput = "%s%s"\n' % (base, n, out, n))
PY
}

echo "preparing files..."
make_big_files "$www/big"
make_small_files "$www/small"
make_lists big
make_lists small

now() { date +%s.%N; }
run_set() {  # set name, target ratio
  local set=$1 target=$2 t0 t1 t2 ours theirs
  sync
  t0=$(now)
  curl --silent --show-error --fail --parallel --parallel-max 4 --create-dirs \
    -K "$work/$set.curl" 2>"$work/curl.err" || { cat "$work/curl.err" >&2; exit 1; }
  t1=$(now)
  "$patcher" fetch --base "$base/$set/" --list "$work/$set.list" --out "$work/ours-$set" \
    >"$work/ours-$set.out"
  t2=$(now)
  # What a verified fetch costs with the tools: curl's files through md5sum.
  (cd "$work/curl-$set" && find . -type f -print0 | xargs -0 -P 2 -n 500 md5sum >/dev/null)
  t3=$(now)
  awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" -v n="$(wc -l <"$work/$set.list")" \
    -v s="$set" -v t="$target" 'BEGIN {
      printf "%-20s curl %7.3f s   kestrava %7.3f s   ratio %.2f (target <= %s)\n",
             s " (" n " files)", b - a, c - b, (c - b) / (b - a), t
      printf "%-20s curl + md5sum %7.3f s (kestrava verifies while fetching): ratio %.2f\n",
             "", (b - a) + (d - c), (c - b) / ((b - a) + (d - c)) }'
  grep '^fetched' "$work/ours-$set.out" | sed 's/^/    kestrava: /'
  rm -rf "$work/curl-$set" "$work/ours-$set"
}

run_set big 1.2
run_set small 1.5
