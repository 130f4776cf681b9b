# Sourced by the whole-command benchmarks: makes a scratch folder, starts the
# loopback nginx of the tests serving $www, and stops and removes both on exit.
# Usage: . bench/nginx_bench.sh NAME   (sets here, work, fixture, port, www, base)
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
