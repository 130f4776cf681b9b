# Sourced by the test-server fixtures (nginx_fixture.sh, varnish_edge.sh):
# a free loopback port, and stopping a daemon through its pid file.

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Ends the daemon whose pid the file holds, waits up to 10 s for it to go,
# and removes the file. Nothing to do without the file.
stop_by_pid_file() {
  local file=$1 pid
  [ -f "$file" ] || return 0
  pid=$(cat "$file")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 200); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  rm -f "$file"
}
