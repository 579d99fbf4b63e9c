#!/usr/bin/env bash
# Prints how fast the inbox answers with a large archive: 100,000 submissions (four
# fields and one delivery each, over the last 60 days; one in twenty spam) are put
# into the store in one transaction, then velloc runs persistent behind lighttpd
# (mod_fastcgi, the inbox behind mod_auth) and the list page, a search that finds one
# submission and a search that finds one in seven are each asked for 50 times, one at
# a time. Each figure is the median of those 50 (curl's time_total: from the request
# to the last byte). On the embedded SQLite store and on a private PostgreSQL server on
# loopback. Every page is checked: 200, and as many rows as the archive holds matches.
# Then the CSV and the JSON export of everything, once each: time, size and the
# largest velloc process's peak resident memory.
#
#   bench/inbox.sh [BUILD_DIR]     (build/release: velloc)
#
# Optional environment:
#   VELLOC_BENCH_SUBMISSIONS   submissions in the archive (100000)
#   VELLOC_BENCH_ROUNDS        requests per figure (50)
#   VELLOC_BENCH_STORES        "sqlite postgresql" (either alone to skip the other)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/bench_site.sh
source tools/packages.sh
ensure_packages lighttpd libsqliteodbc curl openssl
stores=(${VELLOC_BENCH_STORES:-sqlite postgresql})
[[ " ${stores[*]} " == *" postgresql "* ]] && ensure_packages postgresql odbc-postgresql

build=$(cd "${1:-build/release}" && pwd)
submissions=${VELLOC_BENCH_SUBMISSIONS:-100000}
rounds=${VELLOC_BENCH_ROUNDS:-50}
url_path=/cgi-bin/velloc
user=bench
password=bench-inbox

scratch=$(mktemp -d /tmp/velloc-inbox-bench-XXXXXX)
chmod 755 "$scratch"
source bench/bench_servers.sh
trap cleanup EXIT
make_scratch_site
cat >>"$site/VELLOC.ini" <<INI
Archive=1
Inbox=1
InboxUsers=$user
InboxSecret=$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')
INI
cp "$site/VELLOC.ini" "$scratch/base.ini"
# A cheap hash: the figures are velloc's, not the password check's.
printf '%s:%s\n' "$user" "$(openssl passwd -apr1 "$password")" >"$scratch/htpasswd"

# The archive's rows, made by the database itself in one transaction from a counted
# series: SQL that SQLite and PostgreSQL both run. The tables are the store's own,
# made by velloc with the first submission. Every seventh message asks about
# Darjeeling; submission N's address is visitorN@example.test.
fill_sql() {
  local now_ms=$(($(date +%s) * 1000)) span_ms=$((60 * 86400000)) count=$1
  local step=$((span_ms / count)) keep=$((now_ms + 90 * 86400000))
  local series="WITH RECURSIVE n(i) AS (SELECT CAST(0 AS BIGINT) UNION ALL SELECT i + 1 FROM n WHERE i < $((count - 1)))"
  cat <<SQL
BEGIN;
$series
INSERT INTO velloc_submissions (submission_id, received_at, keep_until, form_profile,
  remote_address, receipt_number, status)
SELECT 'bench' || i, $now_ms - 60000 - i * $step, $keep,
  CASE i % 3 WHEN 0 THEN 'contact' WHEN 1 THEN 'order' ELSE 'newsletter' END,
  '192.0.2.' || (i % 250), '' || i,
  CASE WHEN i % 20 = 0 THEN 'spam' WHEN i % 50 = 7 THEN 'failed' ELSE 'accepted' END FROM n;
$series
INSERT INTO velloc_submission_fields (submission_id, seq, field_name, field_value)
SELECT 'bench' || i, 0, 'name', 'Visitor ' || i FROM n;
$series
INSERT INTO velloc_submission_fields (submission_id, seq, field_name, field_value)
SELECT 'bench' || i, 1, 'email', 'visitor' || i || '@example.test' FROM n;
$series
INSERT INTO velloc_submission_fields (submission_id, seq, field_name, field_value)
SELECT 'bench' || i, 2, 'message', 'A question about ' ||
  CASE i % 7 WHEN 0 THEN 'Darjeeling' WHEN 1 THEN 'Sencha' WHEN 2 THEN 'Assam'
    WHEN 3 THEN 'Oolong' WHEN 4 THEN 'Rooibos' WHEN 5 THEN 'Earl Grey' ELSE 'Matcha' END ||
  ' tea: how long should it steep, and at what temperature? Order ' || i FROM n;
$series
INSERT INTO velloc_submission_fields (submission_id, seq, field_name, field_value)
SELECT 'bench' || i, 3, 'phone', '555 ' || (i % 10000) FROM n;
$series
INSERT INTO velloc_deliveries (delivery_id, submission_id, kind, target, payload, status,
  created_at, next_attempt, attempts, claimed_by, claimed_until)
SELECT 'benchd' || i, 'bench' || i, 'form_mail', 'owner@example.test', 'U3ViamVjdDogYmVuY2gNCg0K',
  CASE WHEN i % 50 = 7 THEN 'failed' WHEN i % 97 = 3 THEN 'pending' ELSE 'delivered' END,
  $now_ms - 60000 - i * $step, $now_ms - 60000 - i * $step, 1, '', 0 FROM n WHERE i % 20 <> 0;
COMMIT;
ANALYZE;
SQL
}

fill() {  # store
  fill_sql "$submissions" >"$scratch/fill.sql"
  if [ "$1" = postgresql ]; then
    pg_psql -f "$scratch/fill.sql"
  else
    /usr/bin/python3 -c 'import sqlite3, sys
db = sqlite3.connect(sys.argv[1], isolation_level=None)
db.executescript(open(sys.argv[2]).read())' "$site/velloc-state.db" "$scratch/fill.sql"
  fi
}

start_lighttpd() {
  start_lighttpd_for fastcgi "" '"mod_auth", "mod_authn_file", ' \
    'auth.backend = "htpasswd"
auth.backend.htpasswd.userfile = "'"$scratch"'/htpasswd"
auth.require = ("'"$url_path"'/inbox" => ("method" => "basic", "realm" => "bench", "require" => "valid-user"))'
}

# The first submission through velloc makes the archive's tables.
first_submission() {
  local page
  page=$(curl -s --max-time 60 -H "Referer: http://127.0.0.1/form.html" \
    --data-binary "@$scratch/template.body" "http://127.0.0.1:$http_port$url_path")
  if [[ $page != *"Thank you, Jo Doe"* ]]; then
    echo "Unexpected answer: $page" >&2
    exit 1
  fi
}

# Asks for the inbox page QUERY once and checks it (200, ROWS rows); then ROUNDS
# times and appends "NAME seconds" per request to the results.
measure() {  # store name query rows
  local url="http://127.0.0.1:$http_port$url_path/inbox$3" code rows round
  code=$(curl -s -u "$user:$password" -o "$scratch/page.html" -w '%{http_code}' "$url")
  rows=$(grep -o '<tr class="submission">' "$scratch/page.html" | wc -l || true)
  if [ "$code" != 200 ] || [ "$rows" != "$4" ]; then
    echo "$1 $2: status $code with $rows rows, not 200 with $4; the page:" >&2
    head -c 2000 "$scratch/page.html" >&2
    tail -n 20 "$scratch/velloc.log" >&2
    exit 1
  fi
  for ((round = 0; round < rounds; round++)); do
    printf '%s\t%s\t' "$1" "$2" >>"$results"
    curl -s -u "$user:$password" -o /dev/null -w '%{time_total}\n' "$url" >>"$results"
  done
}

# Downloads the CSV and the JSON export of everything once each and checks the
# CSV's row count (ROWS); prints the time, the size and the peak resident memory
# of the largest velloc process until then.
measure_exports() {  # store rows
  local format url code rows peak
  for format in csv json; do
    url="http://127.0.0.1:$http_port$url_path/inbox/export.$format"
    read -r code seconds bytes < <(curl -s -u "$user:$password" -o "$scratch/export.$format" \
      -w '%{http_code} %{time_total} %{size_download}\n' "$url")
    if [ "$format" = csv ]; then
      rows=$(($(wc -l <"$scratch/export.csv") - 1))
      if [ "$code" != 200 ] || [ "$rows" != "$2" ]; then
        echo "$1 export: status $code with $rows rows, not 200 with $2" >&2
        tail -n 20 "$scratch/velloc.log" >&2
        exit 1
      fi
    fi
    peak=0
    for pid in $(pgrep -f "^$site/velloc" || true); do
      kib=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
      [ "${kib:-0}" -gt "$peak" ] && peak=$kib
    done
    printf '%s\t%s\t%s\t%s\n' "$1" "$format" "$seconds $bytes" "$peak" >>"$exports"
  done
}

results=$scratch/results.tsv
exports=$scratch/exports.tsv
: >"$results"
: >"$exports"
for store in "${stores[@]}"; do
  cp "$scratch/base.ini" "$site/VELLOC.ini"
  if [ "$store" = postgresql ]; then
    start_postgres
    printf 'StateDSN=%s\n' "$pg_dsn" >>"$site/VELLOC.ini"
  else
    rm -f "$site"/velloc-state.db*
  fi
  start_lighttpd
  first_submission
  echo "$store: filling the archive with $submissions submissions ..." >&2
  started=$(date +%s%N)
  fill "$store"
  echo "$store: filled in $((($(date +%s%N) - started) / 1000000)) ms" >&2
  measure "$store" list "" 50
  measure "$store" "search, 1 match" "?q=visitor4242%40example" 1
  measure "$store" "search, 1 in 7" "?q=darjeeling" 50
  measure_exports "$store" $((submissions + 1))
  stop_server
done

echo "Machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end."
/usr/bin/python3 - "$results" "$submissions" "$rounds" "$exports" <<'PY'
import statistics, sys
from collections import defaultdict

times = defaultdict(list)
for line in open(sys.argv[1]):
    store, page, seconds = line.rstrip("\n").split("\t")
    times[(store, page)].append(float(seconds) * 1000)
print(f"The inbox through lighttpd (FastCGI, basic login) with {int(sys.argv[2]):,} "
      f"submissions archived; median of {sys.argv[3]} requests, one at a time (ms).\n")
targets = {"list": 100, "search, 1 match": 300, "search, 1 in 7": 300}
print(f"{'store':12}{'page':18}{'median':>9}{'p10':>9}{'p90':>9}  target")
for (store, page), values in times.items():
    deciles = statistics.quantiles(values, n=10)
    median = statistics.median(values)
    verdict = "met" if median < targets[page] else "MISSED"
    print(f"{store:12}{page:18}{median:9.1f}{deciles[0]:9.1f}{deciles[-1]:9.1f}"
          f"  under {targets[page]} ms: {verdict}")
print("\nThe export of every submission, once each: time, size, and the largest velloc "
      "process's peak resident memory so far.\n")
print(f"{'store':12}{'format':8}{'seconds':>9}{'MB':>9}{'peak RSS MB':>13}")
for line in open(sys.argv[4]):
    store, fmt, measured, peak = line.rstrip("\n").split("\t")
    seconds, size = measured.split()
    print(f"{store:12}{fmt:8}{float(seconds):9.2f}{int(size) / 1e6:9.1f}{int(peak) / 1024:13.1f}")
PY
