# Sourced by the whole-command benchmarks: makes a scratch folder, starts the
# loopback nginx of the tests serving $www, and stops and removes both on exit.
# Usage: . bench/nginx_bench.sh NAME   (sets here, work, fixture, port, www, base;
# defines make_big_files and make_small_files)
here=$(cd "$(dirname "${BASH_SOURCE[1]}")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrava-$1-XXXXXX")
fixture=$here/../tests/server/nginx_fixture.sh
cleanup() {
  "$fixture" stop "$work/nginx" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

"$fixture" start "$work/nginx" >/dev/null
port=$(sed -n 's/^port=//p' "$work/nginx/server.env")
www=$work/nginx/www
base=http://127.0.0.1:$port

# The two benchmark games: 1 GiB in 4 random files, and 5000 random files of
# 8 KiB in 50 folders. Usage: make_big_files DIR; make_small_files DIR
make_big_files() {
  mkdir -p "$1"
  for i in 1 2 3 4; do head -c $((256 << 20)) /dev/urandom >"$1/part$i.bin"; done
}
make_small_files() {
  python3 - "$1" <<'PY'
import os, sys
root = sys.argv[1]
for i in range(5000):
    d = os.path.join(root, "d%02d" % (i % 50))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%04d.dat" % i), "wb") as f:
        f.write(os.urandom(8192))
PY
}
