#!/usr/bin/env bash
# Digest speed of `kestrava-patcher md5` against md5sum on the same 1 GiB
# file, read from the page cache by both (target ratio: at least 0.95).
# The two commands alternate, five runs each, and the best run of each
# counts, so that load from other programs hits both alike. CPU time (user +
# system) is printed beside wall time: it is the steadier figure on a busy
# machine.
# Usage: md5_vs_md5sum.sh PATCHER [SIZE_MIB]
set -euo pipefail
patcher=$1
size_mib=${2:-1024}
file=$(mktemp /tmp/kestrava-md5-bench-XXXXXX)
trap 'rm -f "$file" "$file.time"' EXIT
head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$file"
cat "$file" > /dev/null

[ "$("$patcher" md5 "$file" | cut -c1-32)" = "$(md5sum "$file" | cut -c1-32)" ] ||
  { echo "digests differ"; exit 1; }

run() {  # label command... -> "label wall cpu"
  local label=$1; shift
  /usr/bin/time -f "%e %U %S" -o "$file.time" "$@" > /dev/null
  awk -v l="$label" '{print l, $1, $2 + $3}' "$file.time"
}

for _ in 1 2 3 4 5; do
  run ours "$patcher" md5 "$file"
  run md5sum md5sum "$file"
done | awk -v n="$size_mib" '
  { if (!($1 in wall) || $2 < wall[$1]) wall[$1] = $2
    if (!($1 in cpu) || $3 < cpu[$1]) cpu[$1] = $3 }
  END {
    printf "kestrava-patcher md5: wall %.2f s (%.0f MiB/s)  cpu %.2f s (%.0f MiB/s)\n",
           wall["ours"], n / wall["ours"], cpu["ours"], n / cpu["ours"]
    printf "md5sum:               wall %.2f s (%.0f MiB/s)  cpu %.2f s (%.0f MiB/s)\n",
           wall["md5sum"], n / wall["md5sum"], cpu["md5sum"], n / cpu["md5sum"]
    printf "speed ratio ours/md5sum: wall %.3f  cpu %.3f  (target >= 0.95)\n",
           wall["md5sum"] / wall["ours"], cpu["md5sum"] / cpu["ours"]
  }'
