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

# make_test_certificates DIR: a certificate authority of its own (DIR/ca.pem) and a server
# certificate for 127.0.0.1 signed by it (DIR/server.pem, DIR/server.key).
make_test_certificates() {
  local dir=$1
  mkdir -p "$dir"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 2 \
    -subj "/CN=Quorvel local authority" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout "$dir/server.key" -out "$dir/server.csr" \
    -subj "/CN=127.0.0.1" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' > "$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
    -out "$dir/server.pem" -days 2 -extfile "$dir/server.ext" 2>/dev/null
}

# start_nginx DIR ROOT PORT...: one nginx serving ROOT on each port, its files under DIR.
# A port written PORT:tls speaks HTTPS with the certificate of make_test_certificates DIR/tls.
# NGINX_ACCESS_LOG=path logs every request there (default: off).
start_nginx() {
  local dir=$1 root=$2 user_line="" servers="" port tls
  shift 2
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
  for port in "$@"; do
    tls=""
    if [ "${port%:tls}" != "$port" ]; then
      port=${port%:tls}
      [ -f "$dir/tls/server.pem" ] || make_test_certificates "$dir/tls"
      tls=" ssl; ssl_certificate $dir/tls/server.pem; ssl_certificate_key $dir/tls/server.key"
    fi
    servers+="  server { listen 127.0.0.1:$port$tls; root $root; }"$'\n'
  done
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

# start_update_server BUILD_DIR CONFIG LOG [OPTION...]: the reference update server on free
# ports, with more options if given; sets VERSION_PORT and BANNER_PORT.
start_update_server() {
  local _
  : > "$3" # there before the server's first line, for the wait below
  "$1/tools/quorvel-update-server/quorvel-update-server" --config "$2" \
    --address 127.0.0.1 --version-port 0 --banner-port 0 "${@:4}" > "$3" 2>&1 &
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
