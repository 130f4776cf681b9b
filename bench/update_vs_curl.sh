#!/usr/bin/env bash
# Whole-command figures of `kestrava-patcher update` against a loopback nginx:
#  1. first install of a release of 1 GiB in 4 files, and of 5000 files of
#     8 KiB, against curl --parallel --parallel-max 4 fetching the same bytes
#     (targets: <= 1.3x and <= 2.0x); then the download of differences to a
#     release that changes every file, against curl fetching the same files
#     (targets: <= 1.05x for 1 GiB, <= 1.3x for 5000 files);
#  2. repair (every file digested) of the 1 GiB installation against md5sum
#     run as two processes (target <= 1.1x);
#  3. peak memory of the 1 GiB first install (target <= 150 MB).
# For the small files it also prints curl followed by bsdtar unpacking the
# fetched packages four at a time: the cost of creating 5000 files, which
# curl alone never pays.
# Usage: [KINDS="big small"] bench/update_vs_curl.sh [path/to/kestrava-patcher]
set -euo pipefail
. "$(dirname "$0")/nginx_bench.sh" update-bench
patcher=${1:-$here/../build/bin/kestrava-patcher}
now() { date +%s.%N; }
ratio() { python3 -c "print('%.2f' % ($1 / $2))"; }

make_game() {  # folder, kind
  mkdir -p "$1/scope"
  printf '#!/bin/sh\n' >"$1/Launcher.exe"
  printf '#!/bin/sh\n' >"$1/Launcher.dat"
  if [ "$2" = big ]; then
    make_big_files "$1"
    echo part1.bin >"$1/scope/login.scope"
  else
    make_small_files "$1"
    echo d00/f0000.dat >"$1/scope/login.scope"
  fi
}

# curl fetches exactly what the updater fetched: every GET in the access log.
curl_same_bytes() {  # release name, output folder
  python3 - "$work/nginx/access.log" "$1" "$base" "$2" >"$work/curl.cfg" <<'PY'
import sys
log, rel, base, out = sys.argv[1:]
seen = set()
for line in open(log):
    uri = line.split(" ")[0]
    if f"/{rel}/" in uri and "range=bytes" in line and uri not in seen:
        seen.add(uri)
        print(f'url = "{base}{uri}"\noutput = "{out}{uri}"')
PY
  local t0 t1
  t0=$(now)
  curl -s --parallel --parallel-max 4 --create-dirs -K "$work/curl.cfg" 2>/dev/null
  t1=$(now)
  python3 -c "print($t1 - $t0)"
}

for kind in ${KINDS:-big small}; do
  echo "== $kind: publishing"
  make_game "$work/game-$kind" "$kind"
  "$patcher" publish "$work/game-$kind" "$www/$kind" --version 1 --level 0 \
    --package-size 256 --package-files 1000 >/dev/null
  : >"$work/nginx/access.log"
  mkdir -p "$work/inst-$kind/LauncherConfig"
  printf '[check]\r\nsign=%s\r\n' "$(date +%-d)" >"$work/inst-$kind/LauncherConfig/check.ini"
  t0=$(now)
  /usr/bin/time -f "%M" -o "$work/rss-$kind" \
    "$patcher" update "$work/inst-$kind" --url "$base/$kind/" >/dev/null
  t1=$(now)
  ours=$(python3 -c "print($t1 - $t0)")
  theirs=$(curl_same_bytes "$kind" "$work/curl-$kind")
  rss=$(($(cat "$work/rss-$kind") / 1024))
  echo "first install ($kind): update ${ours}s, curl ${theirs}s, ratio $(ratio "$ours" "$theirs"), peak RSS ${rss} MB"
  if [ "$kind" = small ]; then
    t0=$(now)
    find "$work/curl-$kind" -name '*.7z' -path '*/small/data*' -print0 |
      xargs -0 -P 4 -I{} sh -c 'mkdir -p "$1.x" && bsdtar -xf "$1" -C "$1.x"' _ {}
    t1=$(now)
    unpack=$(python3 -c "print($theirs + $t1 - $t0)")
    echo "first install ($kind): curl + bsdtar ${unpack}s, ratio $(ratio "$ours" "$unpack")"
  fi
  rm -rf "$work/curl-$kind"

  # The next release changes every file: the download of differences.
  echo "== $kind: publishing a release that changes every file"
  if [ "$kind" = big ]; then make_big_files "$work/game-$kind"; else make_small_files "$work/game-$kind"; fi
  "$patcher" publish "$work/game-$kind" "$www/$kind-2" --version 2 --level 0 \
    --package-size 256 --package-files 1000 >/dev/null
  : >"$work/nginx/access.log"
  t0=$(now)
  "$patcher" update "$work/inst-$kind" --url "$base/$kind-2/" >/dev/null
  t1=$(now)
  ours=$(python3 -c "print($t1 - $t0)")
  theirs=$(curl_same_bytes "$kind-2" "$work/curl-$kind")
  echo "download of differences ($kind): update ${ours}s, curl ${theirs}s, ratio $(ratio "$ours" "$theirs")"
  rm -rf "$work/curl-$kind"
done

[ -d "$work/inst-big" ] || exit 0
echo "== repair of the 1 GiB installation"
t0=$(now)
"$patcher" update "$work/inst-big" --url "$base/big/" --mode repair >/dev/null
t1=$(now)
ours=$(python3 -c "print($t1 - $t0)")
sync
t0=$(now)
(md5sum "$work/inst-big/part1.bin" "$work/inst-big/part2.bin" >/dev/null &
 md5sum "$work/inst-big/part3.bin" "$work/inst-big/part4.bin" >/dev/null &
 wait)
t1=$(now)
theirs=$(python3 -c "print($t1 - $t0)")
echo "repair (1 GiB): update ${ours}s, 2 x md5sum ${theirs}s, ratio $(ratio "$ours" "$theirs")"
