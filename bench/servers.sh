#!/usr/bin/env bash
# Prints what velloc sustains behind real web servers, as a CGI program and persistent
# (FastCGI) side by side in one run: lighttpd (mod_cgi; mod_fastcgi starting velloc
# itself) and nginx (fcgiwrap for the CGI program; fastcgi_pass to
# `velloc --fastcgi unix:...`), loaded by ab at concurrency 1, 8 and 32 with the
# template page + CSV record and the full submission (the same with its form mail to
# the loopback SMTP sink): submissions per second, p50 and p99, each the median of the
# repeats. Then each persistent worker's resident memory after 1,000 and after
# 100,000 full submissions.
#
#   bench/servers.sh [BUILD_DIR]     (build/release: velloc and bench/smtp_sink)
#
# Optional environment:
#   VELLOC_BENCH_REPEATS            runs per figure (3)
#   VELLOC_BENCH_CGI_REQUESTS       requests per run as a CGI program (500)
#   VELLOC_BENCH_FASTCGI_REQUESTS   requests per run persistent (5000)
#   VELLOC_BENCH_RSS_REQUESTS       requests before the second memory reading (100000)
#   VELLOC_BENCH_WORKERS            persistent workers (velloc's default)
#   VELLOC_BENCH_TEMP               the folder of the mail's temporary files (the site's tmp/)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
source bench/bench_site.sh
source tools/packages.sh
ensure_packages lighttpd nginx-light fcgiwrap apache2-utils

build=$(cd "${1:-build/release}" && pwd)
repeats=${VELLOC_BENCH_REPEATS:-3}
cgi_requests=${VELLOC_BENCH_CGI_REQUESTS:-500}
fastcgi_requests=${VELLOC_BENCH_FASTCGI_REQUESTS:-5000}
rss_requests=${VELLOC_BENCH_RSS_REQUESTS:-100000}
workers=()
[ -n "${VELLOC_BENCH_WORKERS:-}" ] && workers=(--workers "$VELLOC_BENCH_WORKERS")
concurrencies=(1 8 32)
url_path=/cgi-bin/velloc

scratch=$(mktemp -d /tmp/velloc-servers-XXXXXX)
source bench/bench_servers.sh
sink_pid=
server_pids=()
stop_servers() {
  local pid tries
  # fcgiwrap's children outlive their parent: they are asked to end by their own IDs.
  for pid in "${server_pids[@]}"; do
    [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = fcgiwrap ] && server_pids+=($(pgrep -P "$pid"))
  done
  for pid in "${server_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${server_pids[@]}"; do
    for ((tries = 0; tries < 200; tries++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  server_pids=()
}
cleanup() {
  stop_servers
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

start_smtp_sink "$build" "$scratch/sink.out"
make_scratch_site "$port"

# Waits until the socket file $1 exists (at most ten seconds).
await_socket() { await_condition "Nothing listens on $1" test -S "$1"; }

start_lighttpd() {  # mode
  start_lighttpd_for "$1" "${workers[*]}" "" "server.max-connections = 1024"
  server_pids+=("$server_pid")
  server_pid=
}

start_nginx() {  # mode [further arguments of the persistent velloc]
  local socket mode=$1
  shift
  if [ "$mode" = cgi ]; then
    socket=$scratch/fcgiwrap.sock
    fcgiwrap -c 8 -s "unix:$socket" 2>>"$scratch/velloc.err" &
  else
    socket=$scratch/velloc.sock
    (cd "$site" && exec env -i PATH=/usr/bin:/bin ./velloc --fastcgi "unix:$socket" \
      "${workers[@]}" "$@" 2>>"$scratch/velloc.err") &
  fi
  server_pids+=($!)
  await_socket "$socket"
  local user=
  [ "$(id -u)" -eq 0 ] && user="user root;"
  cat >"$scratch/nginx.conf" <<CONF
$user
daemon off;
worker_processes 1;
pid $scratch/nginx.pid;
error_log $scratch/nginx-error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $scratch/nginx-body;
  fastcgi_temp_path $scratch/nginx-fastcgi;
  proxy_temp_path $scratch/nginx-proxy;
  uwsgi_temp_path $scratch/nginx-uwsgi;
  scgi_temp_path $scratch/nginx-scgi;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$http_port;
    root $site;
    location = $url_path {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $site/velloc;
      fastcgi_param PATH /usr/bin:/bin;
      fastcgi_pass unix:$socket;
    }
  }
}
CONF
  # Stopped before the FastCGI side, so that it is the first of the pair to end.
  nginx -p "$scratch" -c "$scratch/nginx.conf" -e "$scratch/nginx-error.log" &
  server_pids=($! "${server_pids[@]}")
  await_http
}

# One ab run: prints "requests/s p50 p99" (milliseconds) and fails on any failed or
# non-2xx request.
ab_run() {  # body, requests, concurrency
  ab_post "$1" "$2" "$3"
  ab_figures
}

# The answer to one request must be velloc's thank-you page.
check_answer() {  # body
  local page
  page=$(curl -s --max-time 60 -H "Referer: http://127.0.0.1/form.html" \
    --data-binary "@$1" "http://127.0.0.1:$http_port$url_path")
  if [[ $page != *"Thank you, Jo Doe"* ]]; then
    echo "Unexpected answer: $page" >&2
    exit 1
  fi
}

mails_expected=0
results=$scratch/results.tsv
: >"$results"
for server in lighttpd nginx; do
  for mode in cgi fastcgi; do
    "start_$server" "$mode"
    requests=$cgi_requests
    [ "$mode" = fastcgi ] && requests=$fastcgi_requests
    for case in template mail; do
      body=$scratch/$case.body
      check_answer "$body"
      [ "$case" = mail ] && mails_expected=$((mails_expected + 1))
      for concurrency in "${concurrencies[@]}"; do
        echo "$server $mode $case c=$concurrency ..." >&2
        for ((run = 0; run < repeats; run++)); do
          printf '%s\t%s\t%s\t%s\t%s\n' "$server" "$mode" "$case" "$concurrency" \
            "$(ab_run "$body" "$requests" "$concurrency")" >>"$results"
          [ "$case" = mail ] && mails_expected=$((mails_expected + requests))
        done
      done
    done
    stop_servers
  done
done

# Resident memory of each persistent worker, through nginx: after the first 1,000
# full submissions and after $rss_requests.
rss_of_workers() {  # supervisor pid
  local worker
  for worker in $(pgrep -P "$1" | sort -n); do
    printf '%s:%s ' "$worker" "$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$worker/status")"
  done
}
start_nginx fastcgi --max-requests $((rss_requests * 10))
# The subshell that started velloc became it: the supervisor, whose children are
# the workers.
supervisor=${server_pids[1]}
echo "nginx fastcgi: memory after 1,000 and $rss_requests requests ..." >&2
ab_run "$scratch/mail.body" 1000 8 >/dev/null
rss_first=$(rss_of_workers "$supervisor")
ab_run "$scratch/mail.body" $((rss_requests - 1000)) 8 >/dev/null
rss_last=$(rss_of_workers "$supervisor")
mails_expected=$((mails_expected + rss_requests))
stop_servers

kill "$sink_pid"
wait "$sink_pid" || true
sink_pid=
mails=$(sed -n 's/^messages //p' "$scratch/sink.out")
if [ "$mails" != "$mails_expected" ]; then
  echo "Expected $mails_expected mails, the sink got ${mails:-none}." >&2
  exit 1
fi

/usr/bin/python3 - "$results" "$rss_first" "$rss_last" "$rss_requests" <<'PY'
import statistics, sys
from collections import defaultdict

runs = defaultdict(list)
for line in open(sys.argv[1]):
    server, mode, case, concurrency, figures = line.rstrip("\n").split("\t")
    runs[(server, case, int(concurrency), mode)].append([float(x) for x in figures.split()])

def median(key, column):
    return statistics.median(run[column] for run in runs[key])

names = {"template": "template page + CSV", "mail": "full submission (+ form mail)"}
print("Median of the runs; submissions/s, p50 and p99 in ms (ab, keep-alive).\n")
print(f"{'server':9}{'case':31}{'c':>3}   {'CGI /s':>8}{'p50':>7}{'p99':>7}"
      f"   {'FastCGI /s':>10}{'p50':>7}{'p99':>7}  {'x CGI':>6}")
for server in ("lighttpd", "nginx"):
    for case in ("template", "mail"):
        for concurrency in (1, 8, 32):
            cgi, fcgi = (server, case, concurrency, "cgi"), (server, case, concurrency, "fastcgi")
            if not runs[cgi] or not runs[fcgi]:
                continue
            print(f"{server:9}{names[case]:31}{concurrency:3}   "
                  f"{median(cgi, 0):8.0f}{median(cgi, 1):7.1f}{median(cgi, 2):7.1f}   "
                  f"{median(fcgi, 0):10.0f}{median(fcgi, 1):7.1f}{median(fcgi, 2):7.1f}  "
                  f"{median(fcgi, 0) / median(cgi, 0):5.1f}x")

def readings(text):
    return dict(item.split(":") for item in text.split())

first, last = readings(sys.argv[2]), readings(sys.argv[3])
print(f"\nPersistent workers' resident memory (KiB), nginx, full submissions at c=8:")
print(f"{'worker':>8}{'after 1,000':>13}{f'after {int(sys.argv[4]):,}':>15}{'growth':>9}")
for pid in sorted(set(first) | set(last), key=int):
    a, b = first.get(pid), last.get(pid)
    growth = f"{int(b) - int(a):+d}" if a and b else "replaced"
    print(f"{pid:>8}{a or '-':>13}{b or '-':>15}{growth:>9}")
PY
