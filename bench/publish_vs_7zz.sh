#!/usr/bin/env bash
# Whole-command figures of `kestrava-patcher publish` at its default level
# against `7zz a -mx5` (every core) packing the same game folder once, on
# tmpfs (TMPDIR, default /dev/shm), for two folders of SIZE_MIB:
#  - random: one file of random bytes, like a packed game archive;
#  - mixed: half random archives (4 files), half compressible text in
#    thousands of 32 KiB files.
# Target: publish <= 1.5x 7zz. Also prints the release size beside 7zz's
# archive (a release holds every file plus the first-download packages, so
# about twice the game's packed size).
# Usage: [SIZE_MIB=256] [KINDS="random mixed"] [KEEP=1: keep the folders]
#        bench/publish_vs_7zz.sh [path/to/kestrava-patcher]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
patcher=${1:-$here/../build/bin/kestrava-patcher}
size_mib=${SIZE_MIB:-256}
work=$(mktemp -d "${TMPDIR:-/dev/shm}/kestrava-publish-bench-XXXXXX")
[ -n "${KEEP:-}" ] && echo "kept in $work" || trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }

launcher_files() {  # folder
  mkdir -p "$1/scope"
  printf '#!/bin/sh\n' >"$1/Launcher.exe"
  printf '#!/bin/sh\n' >"$1/Launcher.dat"
}
make_random() {  # folder
  launcher_files "$1"
  head -c $((size_mib << 20)) /dev/urandom >"$1/game.pak"
  echo game.pak >"$1/scope/login.scope"
}
make_mixed() {  # folder
  launcher_files "$1"
  for i in 1 2 3 4; do head -c $((size_mib << 17)) /dev/urandom >"$1/archive$i.pak"; done
  python3 - "$1" "$size_mib" <<'PY'
import os, random, sys
root, mib = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(5000)]
for i in range((mib << 20) // 2 // 32768):
    d = os.path.join(root, "text", "d%02d" % (i % 40))
    os.makedirs(d, exist_ok=True)
    out, size = [], 0
    while size < 32768:
        line = " ".join(rng.choice(words) for _ in range(12)) + "\n"
        out.append(line)
        size += len(line)
    with open(os.path.join(d, "t%05d.txt" % i), "w") as f:
        f.write("".join(out)[:32768])
PY
  echo text/d00/t00000.txt >"$1/scope/login.scope"
}

for kind in ${KINDS:-random mixed}; do
  game=$work/game-$kind
  "make_$kind" "$game"
  t0=$(now)
  "$patcher" publish "$game" "$work/release-$kind" --version 1 >/dev/null
  t1=$(now)
  ours=$(python3 -c "print($t1 - $t0)")
  t0=$(now)
  (cd "$game" && 7zz a -mx5 -bso0 -bsp0 "$work/$kind.7z" . >/dev/null)
  t1=$(now)
  theirs=$(python3 -c "print($t1 - $t0)")
  release=$(du -sb "$work/release-$kind" | cut -f1)
  archive=$(stat -c %s "$work/$kind.7z")
  echo "publish ($kind, ${size_mib} MiB): publish ${ours}s, 7zz a -mx5 ${theirs}s," \
    "ratio $(python3 -c "print('%.2f' % ($ours / $theirs))");" \
    "release $((release >> 20)) MiB, 7zz archive $((archive >> 20)) MiB"
  [ -n "${KEEP:-}" ] && continue
  rm -rf "$game" "$work/release-$kind" "$work/$kind.7z"
done
