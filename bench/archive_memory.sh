#!/usr/bin/env bash
# Shows the peak memory that the archive (Archive=1) adds, on the embedded SQLite store:
#  - one CGI run of a 15 MiB request with five uploads and a form mail (to a loopback
#    SMTP sink), with the archive off, on, and on with ArchiveFolder, and 16 such
#    requests at once to `velloc --fastcgi` with four workers, with the archive off
#    and on; each peak (each worker's) must stay below 4 x body size + 8 MiB, as
#    without the archive;
#  - `velloc --export csv` and `--export json` of an archive of ordinary submissions
#    and of archives of submissions with 1,500 field names of their own each (names
#    no other submission has), 120 and four times as many; the peak of the larger
#    export must stay within 8 MiB of the smaller one's.
#
#   bench/archive_memory.sh [build folder]   (default build/release: velloc, bench/peak_rss,
#                                             bench/smtp_sink built already)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
source tools/packages.sh
ensure_packages libsqliteodbc
build=$(cd "${1:-build/release}" && pwd)
for program in velloc bench/peak_rss bench/smtp_sink; do
  [ -x "$build/$program" ] || { echo "Build $program in $build first." >&2; exit 2; }
done

make_scratch archive-memory
start_smtp_sink "$build" "$scratch/sink.out"

site=$scratch/site
mkdir -p "$site/tmp" "$site/files"
cp "$build/velloc" "$site/"
cat >"$scratch/base.ini" <<INI
[Velloc]
SMTP=127.0.0.1:$port
DefaultRecipient=owner@example.test
TEMP=$site/tmp/
LOGFILE=$scratch/velloc.log
LOG_LEVEL=1
INI

boundary=velloc-bench-boundary
/usr/bin/python3 - "$scratch/upload.body" "$boundary" <<'PY'
import os, sys
path, boundary = sys.argv[1], sys.argv[2]
with open(path, "wb") as body:
    for name, value in (("NAME", "Jo Doe"), ("EMAIL", "jo@example.test"),
                        ("SUBJECT", "Application")):
        body.write(f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n'
                   f'{value}\r\n'.encode())
    for n in range(5):
        body.write(f'--{boundary}\r\nContent-Disposition: form-data; name="FILE{n}"; '
                   f'filename="part{n}.bin"\r\nContent-Type: application/octet-stream\r\n\r\n'
                   .encode())
        body.write(os.urandom(3 * 1024 * 1024) + b"\r\n")
    body.write(f"--{boundary}--\r\n".encode())
PY

configure() {  # extra settings lines
  cp "$scratch/base.ini" "$site/VELLOC.ini"
  printf '%s\n' "$@" >>"$site/VELLOC.ini"
}

# The peak resident set of one CGI run of `velloc` on body $1 (KiB).
cgi_peak() {
  (cd "$site" && env -i PATH=/usr/bin:/bin GATEWAY_INTERFACE=CGI/1.1 REQUEST_METHOD=POST \
    CONTENT_TYPE="multipart/form-data; boundary=$boundary" CONTENT_LENGTH="$(stat -c %s "$1")" \
    REMOTE_ADDR=127.0.0.1 "$build/bench/peak_rss" "$site/velloc" <"$1" >"$scratch/page.out" \
    3>"$scratch/peak") || true
  cat "$scratch/peak"
}

# The peak of one operator's command (KiB), its output in $scratch/command.out.
command_peak() {
  (cd "$site" && env -i PATH=/usr/bin:/bin "$build/bench/peak_rss" "$site/velloc" "$@" \
    --settings "$site/VELLOC.ini" >"$scratch/command.out" 3>"$scratch/peak") ||
    { echo "velloc $* failed" >&2; exit 1; }
  cat "$scratch/peak"
}

failed=0
body=$scratch/upload.body
size=$(stat -c %s "$body")
bound=$(((4 * size + 8 * 1024 * 1024) / 1024))
echo "One CGI run: $((size / 1024)) KiB body, five uploads of 3 MiB, form mail; bound $bound KiB"
printf '  %-44s %10s\n' "setting" "peak KiB"
while IFS='|' read -r label settings; do
  configure $settings
  peak=$(cgi_peak "$body")
  printf '  %-44s %10d\n' "$label" "$peak"
  grep -q "Form Sent Successfully" "$scratch/page.out" ||
    { echo "  unexpected page:" >&2; head -c 600 "$scratch/page.out" >&2; failed=1; }
  [ "$peak" -lt "$bound" ] || failed=1
done <<CASES
archive off|
Archive=1|Archive=1
Archive=1 with ArchiveFolder|Archive=1 ArchiveFolder=$site/files
CASES

# Persistent: 16 such requests at once to `velloc --fastcgi` with four workers; the
# peak (VmHWM) of each worker.
echo
echo "velloc --fastcgi, 4 workers, 16 such requests at once; bound $bound KiB per worker"
printf '  %-44s %s\n' "setting" "peak KiB of each worker"
while IFS='|' read -r label settings; do
  configure $settings
  VELLOC_BINARY=$site/velloc /usr/bin/python3 - "$site" "$body" "$boundary" "$label" "$bound" \
    <<'PY' || failed=1
import os, sys, threading
sys.path.insert(0, "tests/e2e")
from fastcgi_client import FastCgiServer

site, body_path, boundary, label, bound = sys.argv[1:]
body = open(body_path, "rb").read()
params = {"REQUEST_METHOD": "POST", "GATEWAY_INTERFACE": "CGI/1.1", "REMOTE_ADDR": "127.0.0.1",
          "CONTENT_TYPE": f"multipart/form-data; boundary={boundary}",
          "CONTENT_LENGTH": str(len(body)), "SCRIPT_NAME": "/cgi-bin/velloc"}
with FastCgiServer(site, workers=4) as server:
    answers = []
    def post():
        answers.append(server.request(params, body, timeout=300))
    threads = [threading.Thread(target=post) for _ in range(16)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    peaks = []
    for pid in server.worker_pids():
        for line in open(f"/proc/{pid}/status"):
            if line.startswith("VmHWM:"):
                peaks.append(int(line.split()[1]))
print(f"  {label:44} {' '.join(str(peak) for peak in sorted(peaks))}")
sent = sum(b"Form Sent Successfully" in answer.stdout for answer in answers)
if sent != 16:
    print(f"  {16 - sent} of 16 answers were not the thank-you page", file=sys.stderr)
sys.exit(0 if sent == 16 and max(peaks) < int(bound) else 1)
PY
done <<CASES
archive off|
Archive=1|Archive=1
CASES

# Archives made straight in the store: the tables come from one submission through
# velloc, the rows from sqlite3.
fill() {  # submissions names-of-their-own(0: ordinary)
  rm -f "$site/velloc-state.db"
  configure Archive=1
  printf 'NAME=Jo&DISABLE_MAIL=1' >"$scratch/one.body"
  (cd "$site" && env -i PATH=/usr/bin:/bin REQUEST_METHOD=POST \
    CONTENT_TYPE=application/x-www-form-urlencoded CONTENT_LENGTH=22 "$site/velloc" \
    <"$scratch/one.body" >/dev/null) || true
  [ -s "$site/velloc-state.db" ] || { echo "The archive was not made." >&2; exit 1; }
  /usr/bin/python3 - "$site/velloc-state.db" "$1" "$2" <<'PY'
import sqlite3, sys
database = sqlite3.connect(sys.argv[1])
count, own = int(sys.argv[2]), int(sys.argv[3])
database.execute("DELETE FROM velloc_submission_fields")
database.execute("DELETE FROM velloc_action_outcomes")
database.execute("DELETE FROM velloc_submissions")
ordinary = [("NAME", "Jo Doe"), ("EMAIL", "jo@example.test"), ("SUBJECT", "Order"),
            ("MESSAGE", "Please deliver before Friday, " * 4), ("QTY", "3")]
for n in range(count):
    sid = f"20261209{n:09d}-{n:08x}"
    database.execute("INSERT INTO velloc_submissions VALUES (?, ?, ?, '', '127.0.0.1', '', "
                     "'accepted')", (sid, 1765000000000 + n * 1000, 2**62))
    fields = [(f"F{n}_{i}", f"value {i}") for i in range(own)] if own else ordinary
    database.executemany("INSERT INTO velloc_submission_fields VALUES (?, ?, ?, ?)",
                         [(sid, i, name, value) for i, (name, value) in enumerate(fields)])
database.commit()
PY
}

echo
echo "velloc --export (CGI-sized process, the operator's command)"
printf '  %-52s %10s %12s\n' "archive" "peak KiB" "output KiB"
declare -A peaks
while IFS='|' read -r label count own; do
  fill "$count" "$own"
  for format in csv json; do
    peak=$(command_peak --export "$format")
    peaks[$label.$format]=$peak
    printf '  %-52s %10d %12d\n' "$label, $format" "$peak" \
      $(($(stat -c %s "$scratch/command.out") / 1024))
  done
done <<CASES
5,000 ordinary submissions|5000|0
120 submissions, 1,500 names of their own each|120|1500
480 submissions, 1,500 names of their own each|480|1500
CASES
for format in csv json; do
  small=${peaks[120 submissions, 1,500 names of their own each.$format]}
  large=${peaks[480 submissions, 1,500 names of their own each.$format]}
  if [ "$large" -gt $((small + 8192)) ]; then
    echo "The $format export grows with the archive: $small KiB, then $large KiB." >&2
    failed=1
  fi
done
exit $failed
