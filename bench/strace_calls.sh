#!/usr/bin/env bash
# Counts the system calls of one full submission (template page, CSV record and form
# mail to the loopback SMTP sink) run as a CGI program under `strace -c -f`, and
# prints strace's table. Uses the binaries of an existing build folder.
#
#   bench/strace_calls.sh [BUILD_DIR] [VELLOC]   (build/release; BUILD_DIR/velloc)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
source bench/bench_site.sh
build=$(cd "${1:-build/release}" && pwd)
velloc=${2:-$build/velloc}

make_scratch strace

start_smtp_sink "$build" "$scratch/sink.out"
site=$scratch/site
make_bench_site "$site" "$velloc" "$port" "$scratch/velloc.log"
write_bench_bodies "$scratch"
body=$scratch/mail.body
(cd "$site" && env -i GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST PATH=/usr/bin:/bin \
  CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH="$(stat -c %s "$body")" \
  REMOTE_ADDR=127.0.0.1 HTTP_REFERER=http://127.0.0.1/form.html \
  strace -c -f -o "$scratch/strace.out" ./velloc <"$body" >"$scratch/page") || true
grep -q "Thank you, Jo Doe" "$scratch/page" || { echo "Unexpected answer:" >&2; cat "$scratch/page" >&2; exit 1; }
cat "$scratch/strace.out"
