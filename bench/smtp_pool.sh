#!/usr/bin/env bash
# Full submissions in direct mode (the form mail sent before the answer) through a
# persistent velloc started by lighttpd's mod_fastcgi, loaded by ab at concurrency 8,
# against the loopback SMTP sink: first with BEFORE_VELLOC (a build that opens a
# connection for every mail, e.g. the main branch's), then with this build's, which
# keeps its connections open. Prints submissions/s, p50 and p99 (the median of the
# repeats) and the connections the sink saw for the mails of each.
#
#   bench/smtp_pool.sh [BUILD_DIR] [BEFORE_VELLOC]     (build/release: velloc, smtp_sink)
#
# Optional environment: VELLOC_BENCH_REPEATS (3), VELLOC_BENCH_FASTCGI_REQUESTS (5000).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
source bench/bench_site.sh
source tools/packages.sh
ensure_packages lighttpd apache2-utils

build=$(cd "${1:-build/release}" && pwd)
before=${2:-}
repeats=${VELLOC_BENCH_REPEATS:-3}
requests=${VELLOC_BENCH_FASTCGI_REQUESTS:-5000}
url_path=/cgi-bin/velloc
make_scratch smtp-pool
source bench/bench_servers.sh

# One ab run: "requests/s p50 p99"; fails on any failed or non-2xx request.
ab_run() {
  ab_post "$scratch/mail.body" "$requests" 8
  ab_figures
}

# The figures of one velloc binary, and the sink's messages and connections.
measure() {  # label velloc
  local run
  start_smtp_sink "$build" "$scratch/sink.out"
  make_scratch_site "$port"
  cp "$2" "$site/velloc"
  start_lighttpd_for fastcgi "" "" "server.max-connections = 1024"
  for ((run = 0; run < repeats; run++)); do
    printf '%s\t%s\n' "$1" "$(ab_run)" >>"$scratch/results.tsv"
  done
  stop_server
  kill "$sink_pid"
  wait "$sink_pid" || true
  sink_pid=
  printf '%s\t%s\t%s\n' "$1" "$(sed -n 's/^messages //p' "$scratch/sink.out")" \
    "$(sed -n 's/^connections //p' "$scratch/sink.out")" >>"$scratch/sink.tsv"
  rm -rf "$site"
}

: >"$scratch/results.tsv"
: >"$scratch/sink.tsv"
[ -n "$before" ] && measure before "$before"
measure after "$build/velloc"

/usr/bin/python3 - "$scratch/results.tsv" "$scratch/sink.tsv" <<'PY'
import statistics, sys
from collections import defaultdict

runs = defaultdict(list)
for line in open(sys.argv[1]):
    label, figures = line.rstrip("\n").split("\t")
    runs[label].append([float(x) for x in figures.split()])
sink = {line.split("\t")[0]: line.split()[1:] for line in open(sys.argv[2])}
print("Full submissions, direct mode, lighttpd + persistent velloc, c=8, loopback sink")
print(f"{'velloc':8}{'/s':>8}{'p50 ms':>8}{'p99 ms':>8}{'mails':>9}{'connections':>13}")
for label, figures in runs.items():
    rate, p50, p99 = (statistics.median(run[i] for run in figures) for i in range(3))
    mails, connections = sink[label]
    print(f"{label:8}{rate:8.0f}{p50:8.1f}{p99:8.1f}{mails:>9}{connections:>13}")
PY
