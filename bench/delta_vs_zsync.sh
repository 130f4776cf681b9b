#!/usr/bin/env bash
# Delta updates of one large file (random bytes, like a packed game archive)
# with `kestrava-patcher update`, side by side with our whole-file update,
# zsync and the best single patch zstd makes, against a loopback nginx.
# Scenarios on a file of SIZE_MIB (default 1024) MiB:
#   (a) 64 scattered edits of 4 KiB     (b) 16 MiB inserted at 100 MiB
#   (c) 100 MiB rewritten in one block  (d) 64 MiB appended
#   (e) repair: 10 zeroed 4 KiB sectors in the installed copy, the release
#       unchanged (--mode repair)
# For each: bytes the server sent (nginx's $body_bytes_sent: our delta with
# its chunk map and lists, zsync with its .zsync file, the whole-file update)
# and wall time, the zstd --patch-from size and time, and the ratios against
# the targets:
#   bytes <= zsync's everywhere; <= 8 MiB in (a) and (e); <= 1.5 x the zstd
#   patch in (b)-(d); wall <= zsync's; wall <= 1.3 x the whole-file update on
#   loopback; with nginx at RATE (default 25m, per connection) <= 0.1 x the
#   whole-file update in (a) and (e); peak RSS of update <= 64 MiB; publish
#   with chunk maps <= 1.3 x publish without.
# The whole-file update is the same patcher on a release published with
# --no-delta. A patcher whose publish has no such option writes no maps
# either: bench's write_chunk_maps, built beside it, adds them to the
# release (its time counts as publishing with maps).
# zstd runs -T2 --long=31 at -19, or at the highest of -15, -9, -3 that is
# expected to take at most ZSTD_CAP seconds (default 300) per scenario
# (ZSTD_LEVEL forces one); one that runs over is done again a level lower.
# Single runs (best of 1): the files are large and every run moves a GiB.
# Everything lives on tmpfs (/dev/shm) and is removed on exit.
# --big adds scenario (a) on a 4 GiB file, peak memory only: its game
# folder is written to TMPDIR (disk), its release and installation need
# 12 GiB free on /dev/shm, else it is skipped.
# Needs: nginx, zsync, zsyncmake, zstd, /usr/bin/time (Debian's "time"), curl.
# Usage: [SIZE_MIB=1024] [RATE=25m] [ZSTD_CAP=300] [ZSTD_LEVEL=N] bench/delta_vs_zsync.sh [--big] [path/to/kestrava-patcher]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
big=0
patcher=$here/../build/bin/kestrava-patcher
for arg in "$@"; do
  case $arg in
    --big) big=1 ;;
    -*) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2 ;;
    *) patcher=$arg ;;
  esac
done
patcher=$(realpath "$patcher")
size_mib=${SIZE_MIB:-1024}
rate=${RATE:-25m}
zstd_cap=${ZSTD_CAP:-300}
zstd_level=${ZSTD_LEVEL:-}
[ "$size_mib" -ge 256 ] || { echo "SIZE_MIB must be at least 256" >&2; exit 2; }
for tool in nginx zsync zsyncmake zstd curl python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "missing $tool (apt-get install -y nginx zsync zstd time curl)" >&2; exit 2; }
done
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
delta_option=0
"$patcher" publish --help | grep -q -- --no-delta && delta_option=1
map_writer=$(dirname "$patcher")/write_chunk_maps
if [ "$delta_option" = 0 ] && [ ! -x "$map_writer" ]; then
  echo "this patcher's publish writes no chunk maps, and $map_writer is not built" >&2
  exit 2
fi

work=$(mktemp -d /dev/shm/kestrava-delta-bench-XXXXXX)
disk=""
cleanup() {
  if [ -f "$work/nginx/nginx.pid" ]; then
    local pid
    pid=$(cat "$work/nginx/nginx.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  fi
  rm -rf "$work" ${disk:+"$disk"}
}
trap cleanup EXIT
trap 'exit 130' INT TERM
results=$work/results  # "key value" lines, read by the report at the end
note() { echo "$1 $2" >>"$results"; }
now() { date +%s.%N; }
since() { python3 -c "print('%.2f' % ($(now) - $1))"; }

# --- nginx: one worker, so that its access log is in the order requests end
# (a marker request after a run proves that every line of the run is
# written); a second server at RATE per connection, as a fast real network.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
start_nginx() {
  local n=$work/nginx user=""
  mkdir -p "$n/tmp" "$work/www"
  port=$(free_port)
  slow_port=$(free_port)
  [ "$(id -u)" -eq 0 ] && user="user root;"
  cat >"$n/nginx.conf" <<CONF
$user
daemon on;
worker_processes 1;
pid $n/nginx.pid;
error_log $n/error.log warn;
events { worker_connections 1024; }
http {
  log_format delta '\$server_port \$status \$body_bytes_sent \$request_uri range=\$http_range';
  access_log $n/access.log delta;
  client_body_temp_path $n/tmp/body;
  proxy_temp_path $n/tmp/proxy;
  fastcgi_temp_path $n/tmp/fastcgi;
  uwsgi_temp_path $n/tmp/uwsgi;
  scgi_temp_path $n/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  log_not_found off;
  server { listen 127.0.0.1:$port; root $work/www; }
  server { listen 127.0.0.1:$slow_port; root $work/www; limit_rate $rate; }
}
CONF
  : >"$n/access.log"
  "$nginx_bin" -e "$n/error.log" -p "$n" -c "$n/nginx.conf"
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
    sleep 0.05
  done
  cat "$n/error.log" >&2
  return 1
}
start_nginx
fast=http://127.0.0.1:$port
slow=http://127.0.0.1:$slow_port
log=$work/nginx/access.log

# Bytes sent since the last call; the log starts afresh.
served() {
  local mark
  mark="/.end-of-run-$(date +%s%N)"
  curl -s -o /dev/null "$fast$mark"
  for _ in $(seq 200); do
    grep -q -- "$mark" "$log" && break
    sleep 0.05
  done
  grep -q -- "$mark" "$log" || { echo "nginx never logged $mark" >&2; exit 1; }
  awk -v m="$mark" '$4 != m { s += $3 } END { print s + 0 }' "$log"
  : >"$log"
}

# --- the game, its releases and installations
make_game() {  # folder: the launcher's own files around game.pak
  mkdir -p "$1/scope"
  printf '#!/bin/sh\n' >"$1/Launcher.exe"
  printf '#!/bin/sh\n' >"$1/Launcher.dat"
  echo game.pak >"$1/scope/login.scope"
}
publish() {  # game folder, release name, version, with|without maps -> seconds
  local options=() t0
  if [ "$4" = without ] && [ "$delta_option" = 1 ]; then options=(--no-delta); fi
  t0=$(now)
  "$patcher" publish "$1" "$work/www/$2" --version "$3" --level 0 --package-size 256 \
    "${options[@]}" >/dev/null
  [ "$4" = without ] && rm -rf "$work/www/$2/LauncherConfig/delta"
  [ "$4" = with ] && [ "$delta_option" = 0 ] && "$map_writer" "$work/www/$2" game.pak
  since "$t0"
}
fresh_install() {  # folder, release name
  mkdir -p "$1/LauncherConfig"
  printf '[check]\r\nsign=%s\r\n' "$(date +%-d)" >"$1/LauncherConfig/check.ini"
  "$patcher" update "$1" --url "$fast/$2/" >/dev/null
}
# One update run: notes wall time, bytes sent and peak RSS under KEY, and
# checks that the installed game.pak is the expected file.
run_update() {  # key, base url, release name, install folder, mode, expected file
  local t0 wall bytes
  : >"$log"
  t0=$(now)
  /usr/bin/time -f %M -o "$work/rss" \
    "$patcher" update "$4" --url "$2/$3/" --mode "$5" >"$work/update.out" 2>&1 ||
    { cat "$work/update.out" >&2; echo "update $1 failed" >&2; exit 1; }
  wall=$(since "$t0")
  bytes=$(served)
  note "$1.wall" "$wall"
  note "$1.bytes" "$bytes"
  note "$1.rss" "$(tail -1 "$work/rss")"
  cmp -s "$4/game.pak" "$6" || { echo "update $1 left a wrong game.pak" >&2; exit 1; }
}
run_zsync() {  # key, old file, release name, expected file
  local t0 wall bytes out=$work/zsync-out/game.pak
  rm -rf "$work/zsync-out"
  mkdir -p "$work/zsync-out"
  zsyncmake -o "$work/www/$3/game.pak.zsync" -u game.pak "$work/www/$3/game.pak" 2>/dev/null
  : >"$log"
  t0=$(now)
  (cd "$work/zsync-out" && zsync -q -i "$2" -o "$out" "$fast/$3/game.pak.zsync" >/dev/null 2>&1)
  wall=$(since "$t0")
  bytes=$(served)
  note "$1.wall" "$wall"
  note "$1.bytes" "$bytes"
  cmp -s "$out" "$4" || { echo "zsync $1 made a wrong file" >&2; exit 1; }
  rm -rf "$work/zsync-out" "$work/www/$3/game.pak.zsync"
}
run_zstd() {  # key, old file, new file
  local t0 rc=0
  t0=$(now)
  timeout "$zstd_cap" zstd -q -f -T2 --long=31 "-$zstd_level" --patch-from="$2" "$3" \
    -o "$work/patch.zst" 2>/dev/null || rc=$?
  if [ "$rc" = 124 ] && [ "$zstd_level" -gt 3 ]; then
    zstd_level=$(lower_level "$zstd_level")
    echo "   zstd took over ${zstd_cap}s: -$zstd_level from here on"
    run_zstd "$@"
    return
  fi
  [ "$rc" = 0 ] || { echo "zstd failed ($rc)" >&2; exit 1; }
  note "$1.wall" "$(since "$t0")"
  note "$1.bytes" "$(stat -c %s "$work/patch.zst")"
  note "$1.level" "$zstd_level"
  rm -f "$work/patch.zst"
}
lower_level() { case $1 in 19) echo 15 ;; 15) echo 9 ;; *) echo 3 ;; esac; }
# zstd's optimal parser takes about 0.7 s per MiB at -19 on these machines
# (12 min for 1 GiB): the level is the highest of 19, 15, 9, 3 whose time on
# a 32 MiB sample, scaled to the whole file, stays within ZSTD_CAP. On
# random bytes the patch sizes of these levels differ by a few per cent.
choose_zstd_level() {  # old file
  local t0 took
  head -c 32M "$1" >"$work/probe-old"
  cp "$work/probe-old" "$work/probe-new"
  dd if=/dev/urandom of="$work/probe-new" bs=4096 seek=1000 count=16 conv=notrunc status=none
  for zstd_level in 19 15 9; do
    t0=$(now)
    zstd -q -f -T2 --long=31 "-$zstd_level" --patch-from="$work/probe-old" "$work/probe-new" \
      -o "$work/probe.zst" 2>/dev/null
    took=$(since "$t0")
    python3 -c "import sys; sys.exit(0 if $took * $size_mib / 32 <= $zstd_cap else 1)" && break
    zstd_level=$(lower_level "$zstd_level")
  done
  rm -f "$work/probe-old" "$work/probe-new" "$work/probe.zst"
  echo "   zstd level -$zstd_level (the highest expected within ${zstd_cap}s per scenario)"
}

# The new game.pak of a scenario, from the installed old one.
make_new() {  # scenario, old file, new file
  local mib=$((1 << 20))
  case $1 in
    a) cp "$2" "$3"
       python3 - "$3" <<'PY'
import os, random, sys
path = sys.argv[1]
size = os.path.getsize(path)
rng = random.Random(1)
with open(path, "r+b") as f:
    for i in range(64):
        f.seek(i * (size // 64) + rng.randrange(0, size // 64 - 4096))
        f.write(os.urandom(4096))
PY
       ;;
    b) { head -c $((100 * mib)) "$2"; head -c $((16 * mib)) /dev/urandom
         tail -c +$((100 * mib + 1)) "$2"; } >"$3" ;;
    c) cp "$2" "$3"
       dd if=/dev/urandom of="$3" bs=1M seek=$((size_mib / 4)) count=100 conv=notrunc status=none ;;
    d) cp "$2" "$3"
       head -c $((64 * mib)) /dev/urandom >>"$3" ;;
  esac
}
damage() {  # file: 10 scattered 4 KiB sectors zeroed
  local sectors=$(($(stat -c %s "$1") / 4096)) i
  for i in $(seq 0 9); do
    dd if=/dev/zero of="$1" bs=4096 seek=$((i * sectors / 10 + 7 + i * 13)) count=1 \
      conv=notrunc status=none
  done
}

echo "== ${size_mib} MiB of random bytes, published with and without chunk maps"
[ "$delta_option" = 1 ] ||
  echo "   (publish has no --no-delta: with maps is publish + write_chunk_maps)"
make_game "$work/game"
head -c $((size_mib << 20)) /dev/urandom >"$work/game/game.pak"
seconds=$(publish "$work/game" base 1 with)
note publish.with "$seconds"
seconds=$(publish "$work/game" base-whole 1 without)
note publish.without "$seconds"
note publish.maps "$(du -sb "$work/www/base/LauncherConfig/delta" 2>/dev/null | cut -f1 || echo 0)"
fresh_install "$work/inst-base" base-whole
rm -f "$work/game/game.pak"
old=$work/inst-base/game.pak
[ -n "$zstd_level" ] || choose_zstd_level "$old"

# (e) first, while the first release is still there.
echo "== (e) repair of 10 zeroed sectors"
cp "$old" "$work/damaged.pak"
damage "$work/damaged.pak"
for kind in delta whole; do
  rel=base
  [ "$kind" = whole ] && rel=base-whole
  for speed in fast slow; do
    rm -rf "$work/inst"
    cp -a "$work/inst-base" "$work/inst"
    cp "$work/damaged.pak" "$work/inst/game.pak"
    url=$fast
    [ "$speed" = slow ] && url=$slow
    run_update "e.$kind.$speed" "$url" "$rel" "$work/inst" repair "$old"
  done
done
rm -rf "$work/inst"
run_zsync e.zsync "$work/damaged.pak" base "$old"
run_zstd e.zstd "$work/damaged.pak" "$old"
rm -rf "$work/damaged.pak" "$work/www/base" "$work/www/base-whole"

for s in a b c d; do
  case $s in
    a) echo "== (a) 64 scattered edits of 4 KiB" ;;
    b) echo "== (b) 16 MiB inserted at 100 MiB" ;;
    c) echo "== (c) 100 MiB rewritten in one block" ;;
    d) echo "== (d) 64 MiB appended" ;;
  esac
  new=$work/game/game.pak
  make_new "$s" "$old" "$new"
  speeds=fast
  [ "$s" = a ] && speeds="fast slow"
  for kind in delta whole; do
    maps=with
    [ "$kind" = whole ] && maps=without
    publish "$work/game" "$s" 2 "$maps" >/dev/null
    for speed in $speeds; do
      rm -rf "$work/inst"
      cp -a "$work/inst-base" "$work/inst"
      url=$fast
      [ "$speed" = slow ] && url=$slow
      run_update "$s.$kind.$speed" "$url" "$s" "$work/inst" normal "$new"
    done
    rm -rf "$work/inst"
    [ "$kind" = delta ] && run_zsync "$s.zsync" "$old" "$s" "$new"
    rm -rf "$work/www/$s"
  done
  run_zstd "$s.zstd" "$old" "$new"
  rm -f "$new"
done
rm -rf "$work/inst-base"

if [ "$big" = 1 ]; then
  echo "== 4 GiB file, scenario (a): peak memory of the delta update"
  free_kib=$(df --output=avail -k /dev/shm | tail -1)
  if [ "$free_kib" -lt $((12 << 20)) ]; then
    echo "   skipped: $((free_kib >> 20)) GiB free on /dev/shm, 12 GiB needed"
  else
    disk=$(mktemp -d "${TMPDIR:-/var/tmp}/kestrava-delta-bench-XXXXXX")
    make_game "$disk/game"
    head -c $((4 << 30)) /dev/urandom >"$disk/game/game.pak"
    publish "$disk/game" big-base 1 with >/dev/null
    fresh_install "$work/inst-big" big-base
    rm -rf "$work/www/big-base"
    make_new a "$work/inst-big/game.pak" "$disk/game/game.pak.new"
    mv "$disk/game/game.pak.new" "$disk/game/game.pak"
    publish "$disk/game" big-a 2 with >/dev/null
    run_update big.delta.fast "$fast" big-a "$work/inst-big" normal "$disk/game/game.pak"
    rm -rf "$work/inst-big" "$work/www/big-a" "$disk"
    disk=""
  fi
fi

echo
echo "Delta updates of a ${size_mib} MiB file; single runs; loopback nginx, rate-limited" \
  "runs at $rate per connection; patcher $(basename "$patcher")$([ "$delta_option" = 1 ] ||
  echo ', maps by write_chunk_maps')"
python3 - "$results" <<'PY'
import sys
r = {}
for line in open(sys.argv[1]):
    k, v = line.split()
    r[k] = float(v)
MiB = 1 << 20
def mib(b): return "%.2f MiB" % (b / MiB)
def ok(x, t): return "%.2f %s" % (x, "ok" if x <= t else "MISSED")
names = {"a": "(a) 64 x 4 KiB edits", "b": "(b) 16 MiB inserted", "c": "(c) 100 MiB rewritten",
         "d": "(d) 64 MiB appended", "e": "(e) repair 10 sectors"}
print()
print("| scenario | delta bytes | zsync bytes | whole bytes | zstd patch | delta wall | zsync wall | whole wall | zstd time |")
print("|---|---|---|---|---|---|---|---|---|")
for s in "abcde":
    print("| %s | %s | %s | %s | %s (-%d) | %.2f s | %.2f s | %.2f s | %.0f s |" % (
        names[s], mib(r[s + ".delta.fast.bytes"]), mib(r[s + ".zsync.bytes"]),
        mib(r[s + ".whole.fast.bytes"]), mib(r[s + ".zstd.bytes"]), r[s + ".zstd.level"],
        r[s + ".delta.fast.wall"], r[s + ".zsync.wall"], r[s + ".whole.fast.wall"],
        r[s + ".zstd.wall"]))
print()
print("| scenario | bytes / zsync (<= 1) | bytes (<= 8 MiB) | bytes / zstd (<= 1.5) | wall / zsync (<= 1) | wall / whole (<= 1.3) | at rate: delta, whole, ratio (<= 0.1) | peak RSS delta, whole (<= 64 MiB) |")
print("|---|---|---|---|---|---|---|---|")
for s in "abcde":
    d = s + ".delta.fast."
    cells = [names[s], ok(r[d + "bytes"] / r[s + ".zsync.bytes"], 1.0)]
    cells.append(("%s %s" % (mib(r[d + "bytes"]), "ok" if r[d + "bytes"] <= 8 * MiB else "MISSED"))
                 if s in "ae" else "")
    cells.append(ok(r[d + "bytes"] / r[s + ".zstd.bytes"], 1.5) if s in "bcd" else "")
    cells.append(ok(r[d + "wall"] / r[s + ".zsync.wall"], 1.0))
    cells.append(ok(r[d + "wall"] / r[s + ".whole.fast.wall"], 1.3))
    if s in "ae":
        ds, ws = r[s + ".delta.slow.wall"], r[s + ".whole.slow.wall"]
        cells.append("%.2f s, %.2f s, %s" % (ds, ws, ok(ds / ws, 0.1)))
    else:
        cells.append("")
    dr, wr = r[d + "rss"] / 1024, r[s + ".whole.fast.rss"] / 1024
    cells.append("%.1f, %.1f MiB %s" % (dr, wr, "ok" if dr <= 64 else "MISSED"))
    print("| " + " | ".join(cells) + " |")
print()
w, wo = r["publish.with"], r["publish.without"]
print("publish: with chunk maps %.2f s (maps %s), without %.2f s, ratio %s (target <= 1.3)" % (
    w, mib(r["publish.maps"]), wo, ok(w / wo, 1.3)))
if "big.delta.fast.rss" in r:
    b = r["big.delta.fast.rss"] / 1024
    print("4 GiB file, (a): delta update peak RSS %.1f MiB (%s), %.2f s, %s fetched" % (
        b, "ok" if b <= 64 else "MISSED", r["big.delta.fast.wall"], mib(r["big.delta.fast.bytes"])))
PY
