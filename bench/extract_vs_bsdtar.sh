#!/usr/bin/env bash
# Unpacking a 1 GiB first-download package: `kestrava-patcher extract`
# against `bsdtar -xf` on the same 7z archive (target: ours takes at most
# 1.2 times as long), with the peak resident memory of each (target: ours
# stays under 64 MiB beyond the decoder's dictionary). The package mixes
# compressible and incompressible files, made by Debian's 7zz (LZMA2, solid).
# Ours runs twice: as the download workers use it (the MD5 of every file is
# taken while it is written) and without digests, as bsdtar works. The
# commands alternate, three runs each; the best run of each counts.
# Usage: extract_vs_bsdtar.sh PATCHER [SIZE_MIB]
set -euo pipefail
patcher=$1
size_mib=${2:-1024}
work=$(mktemp -d /tmp/kestrava-extract-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT

# Game-like content: a quarter text (compresses well), the rest noise.
mkdir -p "$work/src/data/maps" "$work/src/data/sound"
piece=$((size_mib / 16))
for i in $(seq 1 16); do
  if [ $((i % 4)) -eq 0 ]; then
    { seq 1 100000000 || true; } | head -c "$((piece * 1024 * 1024))" > "$work/src/data/maps/map$i.mis"
  else
    head -c "$((piece * 1024 * 1024))" /dev/urandom > "$work/src/data/sound/s$i.ogg"
  fi
done
(cd "$work/src" && 7zz a -bd -bso0 -mx1 -mmt2 "$work/package.7z" . > /dev/null)
echo "package: $(du -m "$work/package.7z" | cut -f1) MiB holding $size_mib MiB"
cat "$work/package.7z" > /dev/null

run() {  # label command... -> "label wall cpu maxrss_kib"
  local label=$1; shift
  rm -rf "$work/out"; mkdir "$work/out"
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" > /dev/null
  awk -v l="$label" '{print l, $1, $2 + $3, $4}' "$work/time"
}

for _ in 1 2 3; do
  run digest "$patcher" extract "$work/package.7z" "$work/out"
  run ours "$patcher" extract --quiet "$work/package.7z" "$work/out"
  run bsdtar bsdtar -xf "$work/package.7z" -C "$work/out"
done | awk -v n="$size_mib" '
  { if (!($1 in wall) || $2 < wall[$1]) wall[$1] = $2
    if (!($1 in cpu) || $3 < cpu[$1]) cpu[$1] = $3
    if ($4 > rss[$1]) rss[$1] = $4 }
  END {
    printf "with MD5 of every file:   wall %.2f s (%.0f MiB/s)  cpu %.2f s  peak RSS %.1f MiB\n",
           wall["digest"], n / wall["digest"], cpu["digest"], rss["digest"] / 1024
    printf "kestrava-patcher extract: wall %.2f s (%.0f MiB/s)  cpu %.2f s  peak RSS %.1f MiB\n",
           wall["ours"], n / wall["ours"], cpu["ours"], rss["ours"] / 1024
    printf "bsdtar -xf:               wall %.2f s (%.0f MiB/s)  cpu %.2f s  peak RSS %.1f MiB\n",
           wall["bsdtar"], n / wall["bsdtar"], cpu["bsdtar"], rss["bsdtar"] / 1024
    printf "time ratio ours/bsdtar: wall %.3f  cpu %.3f  (target <= 1.2)\n",
           wall["ours"] / wall["bsdtar"], cpu["ours"] / cpu["bsdtar"]
    printf "with MD5 ratio /bsdtar: wall %.3f  cpu %.3f\n",
           wall["digest"] / wall["bsdtar"], cpu["digest"] / cpu["bsdtar"]
  }'

# Both unpacked the same bytes.
rm -rf "$work/out" "$work/ref"; mkdir "$work/out" "$work/ref"
"$patcher" extract --quiet "$work/package.7z" "$work/out"
bsdtar -xf "$work/package.7z" -C "$work/ref"
diff -r "$work/out" "$work/ref" > /dev/null && echo "outputs identical"
