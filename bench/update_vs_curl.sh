#!/usr/bin/env bash
# Whole-command figures of `kestrava-patcher update` against a loopback
# nginx, everything on tmpfs (TMPDIR, default /dev/shm), best of ROUNDS:
#  1. first install from the first-download packages, of 1 GiB of random data
#     in 4 packages and of 5000 files of 8 KiB in 5 packages, unsigned and
#     signed, against the fastest chain a user could make by hand from the
#     same packages: curl fetching them 4 at a time, then bsdtar unpacking
#     them 4 at a time (target <= 1.05x; signed <= 1.05x unsigned);
#  2. the download of differences to a release that changes every file
#     (from a copy of the installation each round), against curl
#     --parallel-max 4 fetching the same files, best of ROUNDS (targets:
#     <= 1.05x for 1 GiB, <= 1.3x for 5000 files);
#  3. repair (every file digested) of the 1 GiB installation, up to date with
#     the release it is repaired from so that nothing is fetched, against
#     md5sum run as two processes (target <= 0.95x);
#  4. peak memory of the 1 GiB first install (target <= 150 MB).
# Every timed run starts once the machine has settled (see settle).
# The patcher must read KESTRAVA_RELEASE_KEYS from the environment (not a
# Release build with keys built in).
# Usage: [KINDS="big small"] [ROUNDS=3] bench/update_vs_curl.sh [path/to/kestrava-patcher]
set -euo pipefail
export TMPDIR=${TMPDIR:-/dev/shm}
. "$(dirname "$0")/nginx_bench.sh" update-bench
patcher=${1:-$here/../build/bin/kestrava-patcher}
rounds=${ROUNDS:-3}
now() { date +%s.%N; }
ratio() { python3 -c "print('%.2f' % ($1 / $2))"; }
best() { python3 -c "import sys; print('%.3f' % min(map(float, sys.argv[1:])))" "$@"; }

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
  settle
  t0=$(now)
  curl -s --parallel --parallel-max 4 --create-dirs -K "$work/curl.cfg" 2>/dev/null
  t1=$(now)
  python3 -c "print($t1 - $t0)"
}


key=$("$patcher" keygen "$work/release.pem")

fresh() {  # folder: emptied, with today's periodic check done
  rm -rf "$1"
  mkdir -p "$1/LauncherConfig"
  printf '[check]\r\nsign=%s\r\n' "$(date +%-d)" >"$1/LauncherConfig/check.ini"
}

install_once() {  # release, keys, folder: seconds of one first install
  local t0 t1
  fresh "$3"
  settle
  t0=$(now)
  KESTRAVA_RELEASE_KEYS=$2 "$patcher" update "$3" --url "$base/$1/" >/dev/null
  t1=$(now)
  python3 -c "print($t1 - $t0)"
}

# The packages fetched 4 at a time, then unpacked 4 at a time.
by_hand_once() {  # release, folder: seconds
  local t0 t1
  rm -rf "$2" && mkdir -p "$2"
  settle
  t0=$(now)
  cut -d, -f1 "$www/$1/LauncherConfig/update/firstdownload" |
    sed "s|.*|url = \"$base/$1/&\"\noutput = \"$2/&\"|" >"$2.cfg"
  curl -s --fail --parallel --parallel-max 4 -K "$2.cfg" 2>/dev/null
  cut -d, -f1 "$www/$1/LauncherConfig/update/firstdownload" |
    xargs -P 4 -I{} bsdtar -xf "$2/{}" -C "$2"
  t1=$(now)
  python3 -c "print($t1 - $t0)"
}

for kind in ${KINDS:-big small}; do
  echo "== $kind: publishing, unsigned and signed"
  make_game "$work/game-$kind" "$kind"
  for sign in plain signed; do
    args=()
    [ "$sign" = signed ] && args=(--sign-key "$work/release.pem")
    "$patcher" publish "$work/game-$kind" "$www/$kind-$sign" --version 1 --level 0 \
      --package-size 256 --package-files 1000 "${args[@]}" >/dev/null
  done
  declare -A t=()
  for round in $(seq "$rounds"); do
    t[hand]="${t[hand]:-} $(by_hand_once "$kind-plain" "$work/hand")"
    t[plain]="${t[plain]:-} $(install_once "$kind-plain" "" "$work/inst-$kind")"
    t[signed]="${t[signed]:-} $(install_once "$kind-signed" "$key" "$work/inst-$kind-signed")"
  done
  rm -rf "$work/hand" "$work/inst-$kind-signed"
  hand=$(best ${t[hand]}) plain=$(best ${t[plain]}) signed=$(best ${t[signed]})
  echo "first install from packages ($kind): curl + bsdtar (4 at a time) ${hand}s," \
    "update ${plain}s, ratio $(ratio "$plain" "$hand"); signed ${signed}s," \
    "ratio $(ratio "$signed" "$hand"), signed/unsigned $(ratio "$signed" "$plain")"
  if [ "$kind" = big ]; then
    fresh "$work/inst-$kind"
    /usr/bin/time -f "%M" -o "$work/rss" \
      "$patcher" update "$work/inst-$kind" --url "$base/$kind-plain/" >/dev/null
    echo "first install ($kind): peak RSS $(($(cat "$work/rss") / 1024)) MB"
  fi

  # The next release changes every file: the download of differences.
  echo "== $kind: publishing a release that changes every file"
  if [ "$kind" = big ]; then make_big_files "$work/game-$kind"; else make_small_files "$work/game-$kind"; fi
  "$patcher" publish "$work/game-$kind" "$www/$kind-2" --version 2 --level 0 \
    --package-size 256 --package-files 1000 >/dev/null
  # Best of ROUNDS on both sides: a single curl run on tmpfs here ranges
  # from 0.6 s to 1.4 s for the same gibibyte.
  cp -a "$work/inst-$kind" "$work/inst-$kind-v1"
  t=()
  for round in $(seq "$rounds"); do
    rm -rf "$work/inst-$kind" && cp -a "$work/inst-$kind-v1" "$work/inst-$kind"
    : >"$work/nginx/access.log"
    settle
    t0=$(now)
    "$patcher" update "$work/inst-$kind" --url "$base/$kind-2/" >/dev/null
    t1=$(now)
    t[ours]="${t[ours]:-} $(python3 -c "print($t1 - $t0)")"
    rm -rf "$work/curl-$kind"
    t[curl]="${t[curl]:-} $(curl_same_bytes "$kind-2" "$work/curl-$kind")"
  done
  rm -rf "$work/curl-$kind" "$work/inst-$kind-v1"
  ours=$(best ${t[ours]}) theirs=$(best ${t[curl]})
  echo "download of differences ($kind): update ${ours}s, curl ${theirs}s, ratio $(ratio "$ours" "$theirs")"
done


[ -d "$work/inst-big" ] || exit 0
echo "== repair of the 1 GiB installation"
settle
t0=$(now)
"$patcher" update "$work/inst-big" --url "$base/big-2/" --mode repair >/dev/null
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
