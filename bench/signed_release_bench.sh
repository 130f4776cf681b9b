#!/usr/bin/env bash
# What signed releases cost `kestrava-patcher update` against a loopback
# nginx: the same game published unsigned and signed, each installed into an
# empty folder (the unsigned one by a patcher without keys, the signed one
# with them), alternately, then each run again on its unchanged folder.
# Targets: the signed first install at most 2 % slower; an unchanged signed
# run at most 20 ms slower. Figures are medians of ROUNDS runs.
# The patcher must be a build that reads KESTRAVA_RELEASE_KEYS from the
# environment (not a Release build, no keys built in).
# On loopback the transfer costs nearly nothing and the machine's cores are
# the limit, so every digest shows in full; RATE=25m limits each of the four
# connections to 25 MB/s (nginx limit_rate), a fast real network.
# Usage: [SIZE_MIB=1024] [ROUNDS=3] [RATE=25m] bench/signed_release_bench.sh [path/to/kestrava-patcher]
set -euo pipefail
export KESTRAVA_NGINX_RATE=${RATE:-0}
. "$(dirname "$0")/nginx_bench.sh" signed-bench
patcher=${1:-$here/../build/bin/kestrava-patcher}
size_mib=${SIZE_MIB:-1024}
rounds=${ROUNDS:-3}
now() { date +%s.%N; }
median() { python3 -c "import statistics,sys; print('%.4f' % statistics.median(map(float, sys.argv[1:])))" "$@"; }

echo "== publishing ${size_mib} MiB in 4 files, unsigned and signed"
game=$work/game
mkdir -p "$game/scope"
for i in 1 2 3 4; do head -c $((size_mib << 18)) /dev/urandom >"$game/part$i.bin"; done
echo part1.bin >"$game/scope/login.scope"
printf '#!/bin/sh\n' >"$game/Launcher.exe"
printf '#!/bin/sh\n' >"$game/Launcher.dat"
key=$("$patcher" keygen "$work/release.pem")
for kind in plain signed; do
  sign=()
  [ "$kind" = signed ] && sign=(--sign-key "$work/release.pem")
  "$patcher" publish "$game" "$www/$kind" --version 1 --level 0 --package-size 256 \
    "${sign[@]}" >/dev/null
done

run() {  # kind, folder: seconds of one update pass
  local keys="" t0 t1
  [ "$1" = signed ] && keys=$key
  t0=$(now)
  KESTRAVA_RELEASE_KEYS=$keys "$patcher" update "$2" --url "$base/$1/" >/dev/null
  t1=$(now)
  python3 -c "print($t1 - $t0)"
}
fresh() {  # folder: emptied, with today's periodic check done
  rm -rf "$1"
  mkdir -p "$1/LauncherConfig"
  printf '[check]\r\nsign=%s\r\n' "$(date +%-d)" >"$1/LauncherConfig/check.ini"
}

declare -A first unchanged
for round in $(seq "$rounds"); do
  for kind in plain signed; do
    fresh "$work/inst-$kind"
    sync
    first[$kind]="${first[$kind]:-} $(run "$kind" "$work/inst-$kind")"
  done
done
for round in $(seq $((rounds * 3))); do
  for kind in plain signed; do
    unchanged[$kind]="${unchanged[$kind]:-} $(run "$kind" "$work/inst-$kind")"
  done
done

p=$(median ${first[plain]}) s=$(median ${first[signed]})
echo "first install (${size_mib} MiB, rate ${KESTRAVA_NGINX_RATE}): unsigned ${p}s, signed ${s}s," \
  "ratio $(python3 -c "print('%.3f' % ($s / $p))") (target <= 1.02)"
p=$(median ${unchanged[plain]}) s=$(median ${unchanged[signed]})
echo "unchanged run: unsigned ${p}s, signed ${s}s," \
  "difference $(python3 -c "print('%.1f' % (($s - $p) * 1000))") ms (target <= 20 ms)"
