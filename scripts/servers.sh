# Sourced by the demo, the screenshots and the benchmarks: local servers on loopback ports
# chosen by the system. Each start_* leaves its process id in SERVER_PIDS; stop_servers ends
# them all.
SERVER_PIDS=()

# free_ports N: N free loopback TCP ports on one line, all distinct (held until all are known).
free_ports() {
  python3 -c '
import socket, sys
held = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in held: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in held])' "$1"
}

# start_nginx DIR ROOT PORT...: one nginx serving ROOT on each port, its files under DIR.
# NGINX_ACCESS_LOG=path logs every request there (default: off).
start_nginx() {
  local dir=$1 root=$2 user_line="" servers="" port
  shift 2
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
  for port in "$@"; do servers+="  server { listen 127.0.0.1:$port; root $root; }"$'\n'; done
  cat > "$dir/nginx.conf" <<CONF
$user_line
worker_processes 1;
daemon off;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 256; }
http {
  access_log ${NGINX_ACCESS_LOG:-off};
  client_body_temp_path $dir/body;
  proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi;
  uwsgi_temp_path $dir/uwsgi;
  scgi_temp_path $dir/scgi;
  default_type application/octet-stream;
  sendfile on;
  keepalive_requests 1000000;
$servers}
CONF
  nginx -p "$dir" -c "$dir/nginx.conf" &
  SERVER_PIDS+=($!)
}

# wait_for_url URL: until it answers, at most 5 s.
wait_for_url() {
  local _
  for _ in $(seq 50); do curl -sf -o /dev/null "$1" && return 0; sleep 0.1; done
  echo "no answer from $1" >&2
  return 1
}

# start_update_server BUILD_DIR CONFIG LOG: the reference update server on free ports; sets
# VERSION_PORT and BANNER_PORT.
start_update_server() {
  local _
  "$1/tools/quorvel-update-server/quorvel-update-server" --config "$2" \
    --address 127.0.0.1 --version-port 0 --banner-port 0 > "$3" 2>&1 &
  SERVER_PIDS+=($!)
  for _ in $(seq 50); do grep -q '^listening ' "$3" && break; sleep 0.1; done
  read -r _ _ _ VERSION_PORT _ BANNER_PORT < <(grep '^listening ' "$3")
}

stop_servers() {
  local pid
  for pid in "${SERVER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  SERVER_PIDS=()
}
