#!/usr/bin/env bash
# Several release addresses and the shared bandwidth limit, with
# kestrava-patcher update against the loopback nginx of the tests:
#  - failover: a 1 GiB first install through two Varnish edges, the first
#    killed at 30 % of the bytes, against the same install with no fault
#    (target: wall <= 1.2x);
#  - every address down in the middle of a pass: seconds from the kill to
#    the failure status, one address against two;
#  - the limit: the achieved rate of a first install under --limit-rate 2M,
#    10M and 50M (target: within 5 %). 1 GiB at 2 MiB/s takes nine minutes,
#    so the sizes are 64 MiB, 256 MiB and 1 GiB (MIRRORS_BENCH_FULL=1: 1 GiB
#    for each).
# Usage: bench/mirrors_bench.sh [path/to/kestrava-patcher]
set -euo pipefail
. "$(dirname "$0")/nginx_bench.sh" mirrors-bench
patcher=${1:-$here/../build/bin/kestrava-patcher}
edge=$here/../tests/server/varnish_edge.sh
export KESTRAVA_EDGE_STORAGE=2g  # the whole GiB stays cached
trap '"$edge" stop "$work/edge-a" >/dev/null 2>&1 || true; "$edge" stop "$work/edge-b" >/dev/null 2>&1 || true; cleanup' EXIT

now() { date +%s.%N; }
publish() {  # game dir, release name
  printf '#!/bin/sh\n' >"$1/Launcher.exe"
  printf '#!/bin/sh\n' >"$1/Launcher.dat"
  "$patcher" publish "$1" "$www/$2" --version "$2" --level 0 >/dev/null
}
bytes_below() {
  local n
  n=$(du -sb "$1" 2>/dev/null | cut -f1)
  echo "${n:-0}"
}

echo "preparing 1 GiB..."
make_big_files "$work/game"
publish "$work/game" big
"$edge" start "$work/edge-a" "$port"
"$edge" start "$work/edge-b" "$port"
port_a=$(sed -n 's/^port=//p' "$work/edge-a/edge.env")
port_b=$(sed -n 's/^port=//p' "$work/edge-b/edge.env")
a=http://127.0.0.1:$port_a/big/
b=http://127.0.0.1:$port_b/big/
# Both caches warm, so that the two runs compare like with like.
"$patcher" update "$work/warm-a" --url "$a" >/dev/null 2>&1
"$patcher" update "$work/warm-b" --url "$b" >/dev/null 2>&1
rm -rf "$work/warm-a" "$work/warm-b"

t0=$(now)
"$patcher" update "$work/clean" --url "$a $b" >/dev/null 2>&1
t1=$(now)
rm -rf "$work/clean"

total=$((1 << 30))
KESTRAVA_MIRROR_COOL_DOWN_MS=30000 "$patcher" update "$work/fault" --url "$a $b" \
  >"$work/fault.out" 2>&1 &
pid=$!
t2=$(now)
while [ "$(bytes_below "$work/fault")" -lt $((total * 3 / 10)) ] && kill -0 $pid 2>/dev/null; do
  sleep 0.02
done
"$edge" stop "$work/edge-a"
wait $pid || { echo "the install with a killed edge failed:"; cat "$work/fault.out"; exit 1; }
t3=$(now)
rm -rf "$work/fault"
awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" 'BEGIN {
  printf "failover 1 GiB, two edges: no fault %7.3f s   edge killed at 30%% %7.3f s   ratio %.2f (target <= 1.2)\n",
         b - a, d - c, (d - c) / (b - a) }'

# Every address down in the middle of a pass: from the kill to the failure
# status, one address against two (the back-off between rounds in which
# every address failed must not make the pass fail much later than one dead
# address does).
restart_edge() {  # state folder, port
  "$edge" start "$1" "$port" "$2" >/dev/null
}
all_down_run() {  # addresses, then "state:port" of each edge to kill
  local urls=$1 pid t0 t1 rc=0 e
  shift
  rm -rf "$work/down"
  "$patcher" update "$work/down" --url "$urls" >"$work/down.out" 2>&1 &
  pid=$!
  while [ "$(bytes_below "$work/down")" -lt $((total * 3 / 10)) ] && kill -0 $pid 2>/dev/null; do
    sleep 0.02
  done
  t0=$(now)
  for e in "$@"; do "$edge" stop "${e%:*}" & done
  wait $pid || rc=$?
  t1=$(now)
  for e in "$@"; do restart_edge "${e%:*}" "${e##*:}"; done
  rm -rf "$work/down"
  awk -v a="$t0" -v b="$t1" -v n="$#" -v rc="$rc" 'BEGIN {
    printf "every address down mid-pass, %d address(es): status %d %6.3f s after the kill\n", n, rc, b - a }'
}
restart_edge "$work/edge-a" "$port_a"
all_down_run "$a" "$work/edge-a:$port_a"
all_down_run "$a $b" "$work/edge-a:$port_a" "$work/edge-b:$port_b"
"$edge" stop "$work/edge-b"

# The rate while the bytes arrive: from 10 % to 90 % of them, so that the
# pass's start (metadata, lists) and end (the first install's final check)
# do not count.
limit_run() {  # MiB/s, MiB to fetch
  local rate=$1 mib=$2 size t10="" t90="" t0 t1 pid got
  size=$((mib << 20))
  rm -rf "$work/lgame" "$www/lim"
  mkdir -p "$work/lgame"
  head -c "$size" /dev/urandom >"$work/lgame/data.bin"
  publish "$work/lgame" lim
  t0=$(now)
  "$patcher" update "$work/lim" --url "$base/lim/" --limit-rate "${rate}M" >/dev/null 2>&1 &
  pid=$!
  while kill -0 $pid 2>/dev/null; do
    got=$(bytes_below "$work/lim")
    [ -z "$t10" ] && [ "$got" -ge $((size / 10)) ] && t10=$(now)
    [ -z "$t90" ] && [ "$got" -ge $((size * 9 / 10)) ] && t90=$(now) && break
    sleep 0.02
  done
  wait $pid
  t1=$(now)
  rm -rf "$work/lim"
  awk -v a="$t10" -v b="$t90" -v s="$t0" -v e="$t1" -v r="$rate" -v m="$mib" 'BEGIN {
    got = 0.8 * m / (b - a)
    printf "limit %3d MiB/s over %5d MiB: %7.2f MiB/s while fetching, %+.1f%% (target within 5%%); whole command %7.3f s\n",
           r, m, got, (got - r) * 100 / r, e - s }'
}
if [ "${MIRRORS_BENCH_FULL:-0}" = 1 ]; then
  limit_run 2 1024; limit_run 10 1024; limit_run 50 1024
else
  limit_run 2 64; limit_run 10 256; limit_run 50 1024
fi
