#!/usr/bin/env bash
# One Varnish cache on loopback in front of an origin, as a CDN edge: tests
# start it, make it fail and recover, and stop it. Everything lives in one
# state folder of the caller's:
#   <state>/work      varnishd's private -n folder
#   <state>/edge.env  "port=" of the edge, written once it serves
#   <state>/*.vcl     the serving VCL and the one that answers 503
# KESTRAVA_EDGE_STORAGE: the cache size (default 512m; benchmarks of 1 GiB want 2g).
# KESTRAVA_EDGE_ORIGIN_FROM / _TO: the edge asks its origin for another path,
#   the first match of the regular expression FROM replaced by TO (an edge in
#   front of an origin that still holds the previous release).
# Usage:
#   varnish_edge.sh start <state> <origin port> [port]  (port: reuse one after a stop)
#   varnish_edge.sh fail <state>   503 to everything
#   varnish_edge.sh recover|stop <state>
set -euo pipefail
cmd=${1:?start, fail, recover or stop}
state=$(mkdir -p "${2:?state folder}" && cd "$2" && pwd)
varnishd_bin=$(command -v varnishd || echo /usr/sbin/varnishd)
varnishadm_bin=$(command -v varnishadm || echo /usr/bin/varnishadm)
. "$(dirname "$0")/server_common.sh"

write_vcl() {
  local origin=$1 rewrite=
  if [ -n "${KESTRAVA_EDGE_ORIGIN_FROM:-}" ]; then
    rewrite="sub vcl_backend_fetch {
  set bereq.url = regsub(bereq.url, \"$KESTRAVA_EDGE_ORIGIN_FROM\", \"${KESTRAVA_EDGE_ORIGIN_TO:-}\");
}"
  fi
  cat >"$state/serve.vcl" <<VCL
vcl 4.1;
backend origin { .host = "127.0.0.1"; .port = "$origin"; }
$rewrite
VCL
  cat >"$state/down.vcl" <<VCL
vcl 4.1;
backend origin { .host = "127.0.0.1"; .port = "$origin"; }
sub vcl_recv { return (synth(503)); }
VCL
}

# The manager stops its cache process and closes the listening socket.
stop() {
  stop_by_pid_file "$state/varnishd.pid"
  rm -f "$state/edge.env"
}

start() {
  local origin=${1:?origin port} port=${2:-}
  stop
  [ -n "$port" ] || port=$(free_port)
  write_vcl "$origin"
  # -j none: as root the cache would drop to a user that cannot read the
  # caller's folder; the edge only ever listens on loopback.
  "$varnishd_bin" -j none -n "$state/work" -a "127.0.0.1:$port" -T 127.0.0.1:0 \
    -f "$state/serve.vcl" -P "$state/varnishd.pid" -s "malloc,${KESTRAVA_EDGE_STORAGE:-512m}" \
    >"$state/varnishd.log" 2>&1
  for _ in $(seq 200); do
    if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
      printf 'port=%s\n' "$port" >"$state/edge.env.tmp"
      mv "$state/edge.env.tmp" "$state/edge.env"
      return 0
    fi
    sleep 0.05
  done
  echo "varnishd did not start; see $state/varnishd.log" >&2
  return 1
}

# Every request answered 503 until recover (the edge has lost its origin).
fail() {
  "$varnishadm_bin" -n "$state/work" vcl.load "down$$" "$state/down.vcl" >/dev/null
  "$varnishadm_bin" -n "$state/work" vcl.use "down$$" >/dev/null
}

recover() {
  "$varnishadm_bin" -n "$state/work" vcl.use boot >/dev/null
}

case $cmd in
  start) start "${3:-}" "${4:-}" ;;
  fail) fail ;;
  recover) recover ;;
  stop) stop ;;
  *) echo "usage: $0 start|fail|recover|stop <state> [origin port] [port]" >&2; exit 2 ;;
esac
