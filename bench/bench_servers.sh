# Sourced by the benchmark scripts that start their own servers, after `scratch` (a
# folder of the run, removed at exit) is set: the server's process, a free loopback
# port, a throw-away PostgreSQL cluster and the clean-up.
#
#   free_port                 prints a free TCP port on 127.0.0.1
#   make_scratch_site [SMTP_PORT]
#                             the bench site in $scratch/site for $build/velloc (its
#                             mail to SMTP_PORT, else a free port), its bodies in
#                             $scratch; sets site and a free http_port
#   await_condition WHAT CMD  runs CMD until it succeeds (at most ten seconds)
#   await_http                waits (at most ten seconds) for 127.0.0.1:$http_port
#   start_lighttpd_for MODE [VELLOC_ARGS] [MODULES] [LINES]
#                             lighttpd on $http_port running $site/velloc at $url_path
#                             as a CGI program (cgi) or started by it (fastcgi) with
#                             VELLOC_ARGS; MODULES ('"mod_x", ') load before the
#                             handler's, LINES are added; sets server_pid
#   stop_server               ends $server_pid, if any
#   start_postgres            a cluster on 127.0.0.1; sets pg_dsn (ODBC) and pg_port
#   pg_psql ARGS...           psql as the cluster's superuser
server_pid=
pg_bin=
pg_as=()
pg_dsn=
pg_password=bench-pw

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

make_scratch_site() {
  http_port=$(free_port)
  site=$scratch/site
  make_bench_site "$site" "$build/velloc" "${1:-$(free_port)}" "$scratch/velloc.log"
  write_bench_bodies "$scratch"
}

# Runs COMMAND... until it succeeds, at most ten seconds; else says WHAT and exits.
await_condition() {  # what command...
  local what=$1 tries
  shift
  for ((tries = 0; tries < 200; tries++)); do
    "$@" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "$what; see $scratch." >&2
  exit 1
}

http_listens() { (exec 3<>"/dev/tcp/127.0.0.1/$http_port") 2>/dev/null; }
await_http() { await_condition "The web server did not start" http_listens; }

start_lighttpd_for() {
  local handler
  if [ "$1" = cgi ]; then
    handler='server.modules = ('"${3:-}"'"mod_alias", "mod_cgi")
alias.url = ("'"$url_path"'" => "'"$site"'/velloc")
$HTTP["url"] =^ "'"$url_path"'" { cgi.assign = ("" => "") }'
  else
    handler='server.modules = ('"${3:-}"'"mod_fastcgi")
fastcgi.server = ("'"$url_path"'" => ((
  "socket" => "'"$scratch"'/lighttpd-velloc.sock",
  "bin-path" => "'"$site/velloc${2:+ $2}"'",
  "bin-environment" => ("PATH" => "/usr/bin:/bin"), "bin-copy-environment" => ("PATH"),
  "max-procs" => 1, "check-local" => "disable")))'
  fi
  cat >"$scratch/lighttpd.conf" <<CONF
$handler
server.document-root = "$site"
server.port = $http_port
server.bind = "127.0.0.1"
server.errorlog = "$scratch/lighttpd-error.log"
${4:-}
CONF
  lighttpd -D -f "$scratch/lighttpd.conf" 2>>"$scratch/velloc.err" &
  server_pid=$!
  await_http
}

stop_server() {
  local tries
  [ -n "$server_pid" ] || return 0
  kill -TERM "$server_pid" 2>/dev/null || true
  for ((tries = 0; tries < 200; tries++)); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

# Run as the postgres user when we are root, as the server refuses root; its
# superuser logs in over TCP with a password.
start_postgres() {
  pg_bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
  local driver
  driver=$(ls /usr/lib/*/odbc/psqlodbcw.so | head -n 1)
  # Not the web server's port, which is free while no server runs.
  pg_port=$http_port
  while [ "$pg_port" = "$http_port" ]; do pg_port=$(free_port); done
  mkdir "$scratch/pg"
  printf '%s\n' "$pg_password" >"$scratch/pg/pw"
  if [ "$(id -u)" -eq 0 ]; then
    chown -R postgres: "$scratch/pg"
    pg_as=(runuser -u postgres --)
  fi
  "${pg_as[@]}" "$pg_bin/initdb" -D "$scratch/pg/data" -U velloc -E UTF8 --locale=C \
    --auth-local=trust --auth-host=scram-sha-256 --pwfile="$scratch/pg/pw" --no-sync \
    >"$scratch/pg-init.log" 2>&1 || { cat "$scratch/pg-init.log" >&2; exit 1; }
  "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$scratch/pg/data" -l "$scratch/pg/server.log" -w -t 30 \
    -o "-p $pg_port -k $scratch/pg -c listen_addresses=127.0.0.1" start >/dev/null
  pg_dsn="DRIVER={$driver};Servername=127.0.0.1;Port=$pg_port;Database=postgres;UID=velloc;PWD={$pg_password}"
}

# Posts BODY REQUESTS times at CONCURRENCY to the site's form with ab, leaving ab's
# report in $scratch/ab.out and its percentiles in $scratch/ab.csv; fails on any failed
# or non-2xx request.
ab_post() {  # body, requests, concurrency
  ab -q -k -n "$2" -c "$3" -p "$1" -T application/x-www-form-urlencoded \
    -H "Referer: http://127.0.0.1/form.html" -e "$scratch/ab.csv" \
    "http://127.0.0.1:$http_port$url_path" >"$scratch/ab.out" 2>&1 ||
    { cat "$scratch/ab.out" >&2; exit 1; }
  if ! grep -q '^Failed requests: *0$' "$scratch/ab.out" || grep -q '^Non-2xx' "$scratch/ab.out"; then
    cat "$scratch/ab.out" >&2
    exit 1
  fi
}

# The last ab_post's "requests/s p50 p99" (milliseconds). ab's 99th percentile is
# unreliable for short runs; it is never above the longest.
ab_figures() {
  awk -F, -v rate="$(sed -n 's/^Requests per second: *\([0-9.]*\).*/\1/p' "$scratch/ab.out")" '
    $1 == 50 { p50 = $2 } $1 == 98 { p98 = $2 } $1 == 99 { p99 = $2 } $1 == 100 { p100 = $2 }
    END { if (p99 < p98 || p99 > p100) p99 = p100; print rate, p50, p99 }' "$scratch/ab.csv"
}

pg_psql() {
  "${pg_as[@]}" "$pg_bin/psql" -X -q -At -v ON_ERROR_STOP=1 -h "$scratch/pg" -p "$pg_port" \
    -U velloc -d postgres "$@"
}

cleanup() {
  stop_server
  if [ -n "$pg_bin" ] && [ -f "$scratch/pg/data/postmaster.pid" ]; then
    "${pg_as[@]}" "$pg_bin/pg_ctl" -D "$scratch/pg/data" -m immediate -w -t 30 stop \
      >/dev/null 2>&1 || true
  fi
  rm -rf "$scratch"
}
