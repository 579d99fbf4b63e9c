#!/usr/bin/env bash
# Prints what DKIM signing costs per mail in persistent (FastCGI) mode: the full
# submission with its form mail (bench/site, to the loopback SMTP sink) behind
# lighttpd's mod_fastcgi, one request at a time, unsigned, signed RSA-SHA256 (2048
# bits), and signed twice (RSA-SHA256 and Ed25519-SHA256); milliseconds per request
# (mean and p50, each the median of the repeats) and the difference to unsigned.
# On a machine shared with other work the differences carry its noise: compare
# them within one run only.
#
#   bench/dkim_cost.sh [BUILD_DIR]     (build/release: velloc and bench/smtp_sink)
#
# Optional environment:
#   VELLOC_BENCH_REPEATS     runs per figure (3)
#   VELLOC_BENCH_REQUESTS    requests per run (2000)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
source bench/bench_site.sh
source tools/packages.sh
ensure_packages lighttpd apache2-utils libopendkim11 openssl

build=$(cd "${1:-build/release}" && pwd)
repeats=${VELLOC_BENCH_REPEATS:-3}
requests=${VELLOC_BENCH_REQUESTS:-2000}
url_path=/cgi-bin/velloc

make_scratch dkim-cost
source bench/bench_servers.sh
trap 'stop_server; sink_cleanup' EXIT
start_smtp_sink "$build" "$scratch/sink.out"
make_scratch_site "$port"
cp "$site/VELLOC.ini" "$scratch/unsigned.ini"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$scratch/rsa.pem" 2>/dev/null
openssl genpkey -algorithm ed25519 -out "$scratch/ed25519.pem"
chmod 600 "$scratch/rsa.pem" "$scratch/ed25519.pem"

# The settings of one variant, renamed over the site's so the server takes them.
use_settings() {  # unsigned|rsa|both
  cp "$scratch/unsigned.ini" "$scratch/next.ini"
  if [ "$1" != unsigned ]; then
    printf 'DkimDomain=example.test\nDkimSelector=bench\nDkimKeyFile=%s\n' \
      "$scratch/rsa.pem" >>"$scratch/next.ini"
  fi
  if [ "$1" = both ]; then
    printf 'DkimSelectorEd25519=bench-ed\nDkimKeyFileEd25519=%s\n' \
      "$scratch/ed25519.pem" >>"$scratch/next.ini"
  fi
  mv "$scratch/next.ini" "$site/VELLOC.ini"
}

# One run: prints "mean p50" in milliseconds; fails on any failed or non-2xx request
# and on a page that is not the success page.
ab_run() {
  ab_post "$scratch/mail.body" "$requests" 1
  awk -F, -v mean="$(sed -n 's/^Time per request: *\([0-9.]*\).*(mean)$/\1/p' "$scratch/ab.out")" '
    $1 == 50 { p50 = $2 } END { print mean, p50 }' "$scratch/ab.csv"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

start_lighttpd_for fastcgi
printf '%-28s %10s %10s %12s\n' "form mail, FastCGI, c=1" "mean ms" "p50 ms" "+ mean ms"
base=
for variant in unsigned rsa both; do
  use_settings "$variant"
  ab_run >/dev/null  # the settings taken and the library loaded before the timing
  runs=()
  for ((r = 0; r < repeats; r++)); do runs+=("$(ab_run)"); done
  mean=$(printf '%s\n' "${runs[@]}" | cut -d' ' -f1 | median)
  p50=$(printf '%s\n' "${runs[@]}" | cut -d' ' -f2 | median)
  [ -n "$base" ] || base=$mean
  if grep -q 'DKIM signing failed' "$scratch/velloc.log" 2>/dev/null; then
    grep 'DKIM signing failed' "$scratch/velloc.log" | tail -n 1 >&2
    exit 1
  fi
  printf '%-28s %10s %10s %12s\n' "$variant" "$mean" "$p50" \
    "$(awk -v a="$mean" -v b="$base" 'BEGIN { printf "%.3f", a - b }')"
done
