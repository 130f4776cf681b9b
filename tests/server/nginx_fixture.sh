#!/usr/bin/env bash
# Starts or stops the loopback nginx that end-to-end tests use as the update
# server. Everything lives in one state folder (usually inside the build
# folder, so two build folders never share a server):
#   <state>/www         the served folder (tests put their files here)
#   <state>/server.env  "port=", "root=", "access_log=" lines for the tests, and
#                       "tls_port=", "ca=" for the same folder over https with a
#                       certificate of its own (ca= is the file to trust)
#   <state>/access.log  one line per request, with its Range header
# KESTRAVA_NGINX_RATE (bytes per second and connection, nginx's limit_rate:
# "25m") makes the plain http server as slow as a real network; benchmarks
# use it, tests leave it unset (no limit).
# Usage: nginx_fixture.sh start|stop <state folder>
set -euo pipefail
cmd=${1:?start or stop}
state=$(mkdir -p "${2:?state folder}" && cd "$2" && pwd)
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
. "$(dirname "$0")/server_common.sh"

stop() {
  stop_by_pid_file "$state/nginx.pid"
  rm -f "$state/server.env"
}

# A fresh self-signed certificate for 127.0.0.1 on every start, so that an
# old build folder never serves an expired one.
make_certificate() {
  mkdir -p "$state/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
    -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$state/tls/key.pem" \
    -out "$state/tls/cert.pem" >/dev/null 2>&1
}

start() {
  stop
  mkdir -p "$state/www" "$state/tmp"
  make_certificate
  local port tls_port user=""
  port=$(free_port)
  tls_port=$(free_port)
  [ "$(id -u)" -eq 0 ] && user="user root;"
  cat >"$state/nginx.conf" <<CONF
$user
daemon on;
worker_processes 2;
pid $state/nginx.pid;
error_log $state/error.log warn;
events { worker_connections 1024; }
http {
  log_format kestrava '\$request_uri range=\$http_range status=\$status sent=\$body_bytes_sent conn=\$connection';
  access_log $state/access.log kestrava;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  types { text/html html; }
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$port;
    root $state/www;
    limit_rate ${KESTRAVA_NGINX_RATE:-0};
    location / { }
  }
  server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $state/tls/cert.pem;
    ssl_certificate_key $state/tls/key.pem;
    root $state/www;
    location / { }
  }
}
CONF
  : >"$state/access.log"
  "$nginx_bin" -e "$state/error.log" -p "$state" -c "$state/nginx.conf"
  for _ in $(seq 100); do
    if curl -s -o /dev/null "http://127.0.0.1:$port/"; then
      printf 'port=%s\nroot=%s/www\naccess_log=%s/access.log\ntls_port=%s\nca=%s\n' \
        "$port" "$state" "$state" "$tls_port" "$state/tls/cert.pem" >"$state/server.env.tmp"
      mv "$state/server.env.tmp" "$state/server.env"
      echo "nginx on 127.0.0.1:$port serving $state/www"
      return 0
    fi
    sleep 0.05
  done
  echo "nginx did not start; see $state/error.log" >&2
  cat "$state/error.log" >&2 || true
  return 1
}

case $cmd in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop <state folder>" >&2; exit 2 ;;
esac
