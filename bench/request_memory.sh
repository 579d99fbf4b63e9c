#!/usr/bin/env bash
# Shows the peak memory of one request at the default request limit (16 MiB of form
# data) with /usr/bin/time -v: one large field, and 10,000 fields, each mailed as a
# field listing to a loopback SMTP sink and answered with the built-in page or a
# template page; and a request over the limit, refused before its body is read.
# Every peak must stay below 4 x body size + 8 MiB.
#
#   bench/request_memory.sh [build folder]      (default build/release, built already)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
build=${1:-build/release}
[ -x "$build/velloc" ] && [ -x "$build/bench/smtp_sink" ] ||
  { echo "Build velloc and bench/smtp_sink in $build first." >&2; exit 2; }

make_scratch memory

start_smtp_sink "$build" "$scratch/sink.out"

mkdir -p "$scratch/site/tmp" "$scratch/site/templates"
cp "$build/velloc" "$scratch/site/"
printf '<HTML><BODY>Thank you. %%NOTE%%</BODY></HTML>\n' >"$scratch/site/templates/thanks.htm"
cat >"$scratch/site/VELLOC.ini" <<INI
[Velloc]
SMTP=127.0.0.1:$port
DefaultRecipient=owner@example.test
TEMPLATE_DIR=templates/
TEMP=$scratch/site/tmp/
LOGFILE=$scratch/velloc.log
INI

# Bodies of exactly 16 MiB; the control fields come first.
/usr/bin/python3 - "$scratch" <<'PY'
import sys
size = 16 * 1024 * 1024
def body(path, head, fields):
    data = head + "".join(fields)
    data += "&NOTE=" + "n" * (size - len(data) - 6)
    open(path, "w").write(data)
per = size // 10000
many = [f"&F{i}=" + "y" * (per - len(f"&F{i}=")) for i in range(9996)]
body(sys.argv[1] + "/one.body", "EMAIL=jo%40example.test", [])
body(sys.argv[1] + "/many.body", "EMAIL=jo%40example.test", many)
body(sys.argv[1] + "/template.body", "EMAIL=jo%40example.test&TEMPLATE_WEB=thanks.htm", [])
PY

# The peak resident set of one run, in KiB.
peak_rss() {
  local body=$1 length=$2
  env -i PATH=/usr/bin:/bin REQUEST_METHOD=POST CONTENT_LENGTH="$length" \
    /usr/bin/time -v -o "$scratch/time.out" "$scratch/site/velloc" <"$body" >"$scratch/page.out" \
    2>"$scratch/errors.out"
  sed -n 's/^\s*Maximum resident set size (kbytes): //p' "$scratch/time.out"
}

failed=0
printf '%-58s %10s %10s %10s\n' "request" "body KiB" "peak KiB" "bound KiB"
# Each case: label|body file|CONTENT_LENGTH (empty: the file's size)|text of the page
while IFS='|' read -r label file length expect; do
  body=$scratch/$file
  [ -n "$length" ] || length=$(stat -c %s "$body")
  cd "$scratch/site"
  peak=$(peak_rss "$body" "$length")
  cd - >/dev/null
  bytes=$length
  bound=$(((4 * bytes + 8 * 1024 * 1024) / 1024))
  printf '%-58s %10d %10d %10d\n' "$label" $((bytes / 1024)) "$peak" "$bound"
  sed 's/^/  standard error: /' "$scratch/errors.out"
  grep -q "$expect" "$scratch/page.out" || { echo "  unexpected page for: $label" >&2; failed=1; }
  [ "$peak" -lt "$bound" ] || failed=1
done <<CASES
one 16 MiB field, form mail and built-in page|one.body||Form Sent Successfully
10,000 fields of 16 MiB in all, form mail and built-in page|many.body||Form Sent Successfully
one 16 MiB field, form mail and template page|template.body||Thank you.
25 million empty fields announced (251 MiB), refused|one.body|263192576|CGI Initialization Error
CASES
exit $failed
