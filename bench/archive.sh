#!/usr/bin/env bash
# Prints what the archive (Archive=1) costs per submission: the template page + CSV
# record through lighttpd, as a CGI program (mod_cgi) and persistent (mod_fastcgi
# starting velloc), one request at a time, with the archive off and on, on the
# embedded SQLite store and on a private PostgreSQL server on loopback. Each figure
# is the median over the repeats of each run's median time per submission; off and
# on runs alternate, so that a load that comes and goes weighs on both alike. Every
# submission made with the archive on must be found in the store afterwards.
#
#   bench/archive.sh [BUILD_DIR]     (build/release: velloc)
#
# Optional environment:
#   VELLOC_BENCH_REPEATS            runs per figure (5)
#   VELLOC_BENCH_CGI_REQUESTS       requests per run as a CGI program (200)
#   VELLOC_BENCH_FASTCGI_REQUESTS   requests per run persistent (2000)
#   VELLOC_BENCH_STORES             "sqlite postgresql" (either alone to skip the other)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_site.sh
source tools/packages.sh
ensure_packages lighttpd apache2-utils libsqliteodbc
stores=(${VELLOC_BENCH_STORES:-sqlite postgresql})
[[ " ${stores[*]} " == *" postgresql "* ]] && ensure_packages postgresql odbc-postgresql

build=$(cd "${1:-build/release}" && pwd)
repeats=${VELLOC_BENCH_REPEATS:-5}
cgi_requests=${VELLOC_BENCH_CGI_REQUESTS:-200}
fastcgi_requests=${VELLOC_BENCH_FASTCGI_REQUESTS:-2000}
url_path=/cgi-bin/velloc

scratch=$(mktemp -d /tmp/velloc-archive-bench-XXXXXX)
chmod 755 "$scratch"
source bench/bench_servers.sh
trap cleanup EXIT
make_scratch_site
body=$scratch/template.body
cp "$site/VELLOC.ini" "$scratch/base.ini"

configure() {  # store archive(0|1)
  cp "$scratch/base.ini" "$site/VELLOC.ini"
  if [ "$2" = 1 ]; then
    printf 'Archive=1\n' >>"$site/VELLOC.ini"
    [ "$1" = postgresql ] && printf 'StateDSN=%s\n' "$pg_dsn" >>"$site/VELLOC.ini"
  fi
  return 0
}

archived() {  # store: prints the number of archived submissions
  if [ "$1" = postgresql ]; then
    pg_psql -c "SELECT COUNT(*) FROM velloc_submissions"
  else
    /usr/bin/python3 -c 'import sqlite3, sys
print(sqlite3.connect(sys.argv[1]).execute("SELECT COUNT(*) FROM velloc_submissions").fetchone()[0])' \
      "$site/velloc-state.db"
  fi
}

# The answer to one request must be velloc's thank-you page.
check_answer() {
  local page
  page=$(curl -s --max-time 60 -H "Referer: http://127.0.0.1/form.html" \
    --data-binary "@$body" "http://127.0.0.1:$http_port$url_path")
  if [[ $page != *"Thank you, Jo Doe"* ]]; then
    echo "Unexpected answer: $page" >&2
    exit 1
  fi
}

# The processor time (clock ticks) velloc has used under lighttpd: its children that
# ended (the CGI programs) and those still running (the persistent ones), with theirs.
velloc_ticks() {
  local pid ticks fields children
  read -r -a fields <"/proc/$server_pid/stat"
  ticks=$((fields[15] + fields[16]))
  children=$(pgrep -d, -P "$server_pid" || true)
  for pid in ${children//,/ } $([ -z "$children" ] || pgrep -P "$children" || true); do
    read -r -a fields <"/proc/$pid/stat" 2>/dev/null || continue
    ticks=$((ticks + fields[13] + fields[14] + fields[15] + fields[16]))
  done
  echo "$ticks"
}

# One ab run at concurrency 1: prints the median time per submission and velloc's
# processor time per submission (ms); fails on any failed or non-2xx request.
ab_run() {  # requests
  local ticks
  ticks=$(velloc_ticks)
  ab_post "$body" "$1" 1
  awk -F, -v ticks=$(($(velloc_ticks) - ticks)) -v hz="$(getconf CLK_TCK)" -v n="$1" \
    '$1 == 50 { print $2, ticks * 1000 / hz / n }' "$scratch/ab.csv"
}

results=$scratch/results.tsv
: >"$results"
for store in "${stores[@]}"; do
  [ "$store" = postgresql ] && start_postgres
  for mode in cgi fastcgi; do
    requests=$cgi_requests
    [ "$mode" = fastcgi ] && requests=$fastcgi_requests
    configure "$store" 0
    start_lighttpd_for "$mode"
    # The first request of each setting makes what it needs (the store's tables).
    for archive in 0 1; do
      configure "$store" "$archive"
      check_answer
    done
    for ((run = 0; run < repeats; run++)); do
      for archive in 0 1; do
        echo "$store $mode archive=$archive run $((run + 1))/$repeats ..." >&2
        configure "$store" "$archive"
        [ "$archive" = 1 ] && before=$(archived "$store")
        printf '%s\t%s\t%s\t%s\n' "$store" "$mode" "$archive" "$(ab_run "$requests")" \
          >>"$results"
        if [ "$archive" = 1 ]; then
          after=$(archived "$store")
          if [ $((after - before)) -ne "$requests" ]; then
            echo "$store $mode: $requests submissions, $((after - before)) archived." >&2
            exit 1
          fi
        fi
      done
    done
    stop_server
  done
done

echo "Machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end."
/usr/bin/python3 - "$results" "$repeats" "$cgi_requests" "$fastcgi_requests" <<'PY'
import statistics, sys
from collections import defaultdict

runs = defaultdict(list)
for line in open(sys.argv[1]):
    store, mode, archive, p50, cpu = line.split()
    runs[(store, mode, archive)].append((float(p50), float(cpu)))
print(f"Template page + CSV record through lighttpd, one at a time; median over "
      f"{sys.argv[2]} runs of each run's median time and of velloc's processor time "
      f"(ms per submission; {sys.argv[3]} requests per CGI run, {sys.argv[4]} per "
      f"FastCGI run).\n")
print(f"{'':21}{'time per submission':^30}   {'velloc processor time':^30}")
print(f"{'store':12}{'mode':9}" + f"{'archive off':>12}{'on':>9}{'cost':>9}   " * 2)
for store in ("sqlite", "postgresql"):
    for mode in ("cgi", "fastcgi"):
        off, on = runs.get((store, mode, "0")), runs.get((store, mode, "1"))
        if not off or not on:
            continue
        line = f"{store:12}{'CGI' if mode == 'cgi' else 'FastCGI':9}"
        for column in (0, 1):
            a = statistics.median(run[column] for run in off)
            b = statistics.median(run[column] for run in on)
            line += f"{a:12.3f}{b:9.3f}{b - a:+9.3f}   "
        print(line.rstrip())
PY
