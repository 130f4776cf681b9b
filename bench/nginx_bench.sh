# Sourced by the whole-command benchmarks: makes a scratch folder, starts the
# loopback nginx of the tests serving $www, and stops and removes both on exit.
# Usage: . bench/nginx_bench.sh NAME   (sets here, work, fixture, port, www, base;
# defines make_big_files, make_small_files and settle)
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

# Waits until the virtual machine has handed every freed page back to its
# host (free page reporting, when its kernel reports a count). A run that
# starts while pages freed just before are still in the guest writes into
# them at no cost, and one that starts later pays a host fault for each:
# on this workplace's machines, writing a GiB into tmpfs took 0.36-0.72 s
# right after a removal and 0.48-2.04 s once the pages had been handed back.
# Waiting before every timed run gives each side the same start.
settle() {
  local count=/sys/module/page_reporting/parameters/reported_kib last=-1 now
  [ -r "$count" ] || return 0
  while now=$(cat "$count") && [ "$now" != "$last" ]; do
    last=$now
    sleep 0.3
  done
}
