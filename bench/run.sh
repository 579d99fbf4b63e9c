#!/usr/bin/env bash
# Prints the benchmark figures of velloc: one table of whole-process times (each the
# median of repeated runs, against a CGI program that only prints a header, with the
# target ratios of the template page and the full submission and each case's peak
# resident set size), then the request-decoding and template-expansion throughput.
# Builds what it needs in build/bench (release) first.
#
#   bench/run.sh [--runs N]      (default 200 runs per row; VELLOC_BENCH_RUNS too)
#
# Optional environment:
#   VELLOC_BENCH_BUILD_DIR  build folder (build/bench)
#   VELLOC_BENCH_NO_BUILD   set to 1 to use the binaries already in the build folder
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
source bench/bench_site.sh
top=$PWD

runs=${VELLOC_BENCH_RUNS:-200}
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    *) echo "usage: bench/run.sh [--runs N]" >&2; exit 2 ;;
  esac
done
warmup=5
build=${VELLOC_BENCH_BUILD_DIR:-$top/build/bench}

if [ "${VELLOC_BENCH_NO_BUILD:-0}" != 1 ]; then
  source tools/packages.sh
  ensure_packages "${VELLOC_RUNTIME_PACKAGES[@]}" libgtest-dev libgmock-dev libbenchmark-dev
  echo "Building in $build ..." >&2
  build_log=$(mktemp)
  if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLOC_BENCH=ON &&
    cmake --build "$build" --target velloc floor_cgi cgi_timer smtp_sink peak_rss decode_bench \
      template_bench; } >"$build_log" 2>&1; then
    tail -n 40 "$build_log" >&2
    rm -f "$build_log"
    exit 1
  fi
  rm -f "$build_log"
fi

make_scratch bench

# The site: velloc and the floor program in the folder the web server would run
# them from, with the settings file beside velloc and the templates below it.
site=$scratch/site
start_smtp_sink "$build" "$scratch/sink.out"
make_bench_site "$site" "$build/velloc" "$port" "$scratch/velloc.log"
cp "$build/bench/floor_cgi" "$site/"
write_bench_bodies "$scratch"

# label, program, working folder, body, a text the response must contain[, target ratio]
row() { printf '%s\t%s\t%s\t%s\t%s' "$1" "$site/$2" "$site" "$scratch/$3.body" "$4"
  if [ $# -gt 4 ]; then printf '\t%s' "$5"; fi
  printf '\n'; }
{
  row "floor: CGI program printing a header only" floor_cgi floor "Content-type"
  row "(a) debug listing (DEBUG_VARIABLES)" velloc debug "Environment Variables"
  row "(b) built-in confirmation page" velloc builtin "Form Sent Successfully"
  row "(c) template page + CSV export" velloc template "Thank you, Jo Doe" 1.5
  row "(d) full submission: (c) + form mail to loopback SMTP" velloc mail "Thank you, Jo Doe" 2.2
} >"$scratch/cases.tsv"

"$build/bench/cgi_timer" --runs "$runs" --warmup "$warmup" "$scratch/cases.tsv"

# One more full submission, for velloc's peak resident set size.
body=$scratch/mail.body
(cd "$site" && env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST PATH=/usr/bin:/bin \
  CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH="$(stat -c %s "$body")" \
  REMOTE_ADDR=127.0.0.1 HTTP_REFERER=http://127.0.0.1/form.html \
  "$build/bench/peak_rss" "$site/velloc" <"$body" >/dev/null 3>"$scratch/peak") || true
echo
echo "velloc peak resident set size, full submission (d): $(cat "$scratch/peak") KiB"

kill "$sink_pid"
wait "$sink_pid" || true
sink_pid=
each=$((runs + warmup + 1))
mails=$(sed -n 's/^messages //p' "$scratch/sink.out")
records=$(wc -l <"$site/data/orders.csv")
# The timer's runs of (c) and (d), and the one full submission for the peak size.
if [ "$mails" != $((each + 1)) ] || [ "$records" -ne $((2 * each + 1)) ]; then
  echo "Expected $((each + 1)) mails and $((2 * each + 1)) CSV records, got $mails and $records." >&2
  exit 1
fi

# TLS is paid only where it is configured: the mail case once more, through a
# loopback server that requires STARTTLS and a login, in a site of its own.
tls_site=$scratch/tls-site
mkdir -p "$tls_site/tmp" "$tls_site/data"
cp -r bench/site/templates "$tls_site/templates"
cp "$build/velloc" "$build/bench/floor_cgi" "$tls_site/"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$scratch/tls.key" -out "$scratch/tls.pem" 2>/dev/null
tls_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/python3 bench/tls_smtp_sink.py --cert "$scratch/tls.pem" --key "$scratch/tls.key" \
  --port "$tls_port" --user bench --password bench-secret >"$scratch/tls.out" 2>/dev/null &
sink_pid=$!
for ((tries = 0; tries < 200; tries++)); do
  grep -q '^port ' "$scratch/tls.out" && break
  sleep 0.05
done
sed -e "s/^SMTP=.*/SMTP=127.0.0.1:$tls_port/" -e "s|$site|$tls_site|g" "$site/VELLOC.ini" \
  >"$tls_site/VELLOC.ini"
printf 'SMTP_TLS=starttls\nSMTP_CA_FILE=%s\nSMTP_USER=bench\nSMTP_PASSWORD=bench-secret\n' \
  "$scratch/tls.pem" >>"$tls_site/VELLOC.ini"
{
  printf '%s\t%s\t%s\t%s\t%s\n' "floor: CGI program printing a header only" \
    "$tls_site/floor_cgi" "$tls_site" "$scratch/floor.body" "Content-type"
  printf '%s\t%s\t%s\t%s\t%s\n' "(e) (d) through STARTTLS + AUTH on loopback" \
    "$tls_site/velloc" "$tls_site" "$scratch/mail.body" "Thank you, Jo Doe"
} >"$scratch/tls-cases.tsv"
echo
"$build/bench/cgi_timer" --runs "$runs" --warmup "$warmup" "$scratch/tls-cases.tsv"
kill "$sink_pid"
wait "$sink_pid" || true
sink_pid=
tls_mails=$(sed -n 's/^messages //p' "$scratch/tls.out")
if [ "$tls_mails" != "$each" ]; then
  echo "Expected $each mails through STARTTLS, got ${tls_mails:-none}." >&2
  exit 1
fi

# A visitor's 10 MiB file, mailed as an attachment to a fresh SMTP sink; velloc's
# peak RSS must stay below 24 MiB.
echo
echo "File upload (median of 11 runs):"
start_smtp_sink "$build" "$scratch/upload_sink.out"
sed -i "s/^SMTP=.*/SMTP=127.0.0.1:$port/" "$site/VELLOC.ini"
/usr/bin/python3 bench/upload_bench.py "$site" "$scratch" 11
kill "$sink_pid"
wait "$sink_pid" || true
sink_pid=

echo
echo "Throughput (Google Benchmark, in process, median of 3 repetitions):"
json=$scratch/throughput.json
# The median of three repetitions of each.
repeat=(--benchmark_format=json --benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
"$build/bench/decode_bench" "${repeat[@]}" >"$json.decode" 2>/dev/null
"$build/bench/template_bench" "${repeat[@]}" >"$json.template" 2>/dev/null
/usr/bin/python3 - "$json.decode" "$json.template" <<'PY'
import json, sys

def results(path):
    return {b["run_name"]: b for b in json.load(open(path))["benchmarks"]
            if b.get("aggregate_name") == "median"}

decode, expand = results(sys.argv[1]), results(sys.argv[2])
mb = 1e6
rows = []
for fields in (10000, 100000):
    b = decode[f"BM_DecodeBody/{fields}"]
    rows.append((f"request decoding, {b['body_bytes'] / mb:.0f} MB body ({fields:,} fields)", b))
for name, kind in (("BM_ExpandPlainText", "plain text"),
                   ("BM_ExpandDirectiveHeavy", "directive-heavy")):
    rows.append((f"template expansion, 50 MB template, {kind}", expand[name]))
for label, b in rows:
    print(f"  {label:52} {b['real_time']:7.1f} {b['time_unit']}  "
          f"{b['bytes_per_second'] / mb:5.0f} MB/s")
PY
