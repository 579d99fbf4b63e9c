#!/usr/bin/env bash
# Prints what persistent velloc (lighttpd's mod_fastcgi) sustains in queue mode
# (Delivery=queue, Archive=1) and in direct mode, with the relay on loopback and with
# a relay that holds each reply back (25 ms, a relay across the internet), beside a PHP
# form handler sending through PHPMailer under php-fpm, in one run: ab at concurrency 8
# with the full submission (template page, CSV record, form mail); submissions per
# second, p50 and p99. In queue mode a burst of submissions is sent first, then the
# time until the sink has every mail is measured (the mails per second the server's
# senders reach, and how long after the burst's end the last one arrived).
#
#   bench/queue.sh [BUILD_DIR]        (build/release: velloc and bench/smtp_sink)
#
# Optional environment:
#   VELLOC_BENCH_BURST       submissions of the queue-mode burst (10000)
#   VELLOC_BENCH_DIRECT      submissions of each direct and PHP case (400)
#   VELLOC_BENCH_DELAY       the distant relay's delay per reply in ms (25)
#   VELLOC_BENCH_SENDERS     SmtpConnections, the server's senders (20: a connection
#                            each, 175 ms a mail through a 25 ms relay)
#   VELLOC_BENCH_DOWN_BURST  submissions queued with the relay down, after which the
#                            largest velloc process's memory is read again (100000)
#   VELLOC_BENCH_DSN_OPTIONS appended to the SQLite connection string
#                            (";SyncPragma=NORMAL"; empty: the durable default)
# The machine may be shared: the figures are as noisy as its load.
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/smtp_sink.sh
source bench/bench_site.sh
source tools/packages.sh
ensure_packages lighttpd apache2-utils "${VELLOC_BENCH_PACKAGES[@]}"

build=$(cd "${1:-build/release}" && pwd)
burst=${VELLOC_BENCH_BURST:-10000}
direct=${VELLOC_BENCH_DIRECT:-400}
delay=${VELLOC_BENCH_DELAY:-25}
senders=${VELLOC_BENCH_SENDERS:-20}
down_burst=${VELLOC_BENCH_DOWN_BURST:-100000}
dsn_options=${VELLOC_BENCH_DSN_OPTIONS-;SyncPragma=NORMAL}
concurrency=8
url_path=/cgi-bin/velloc

scratch=$(mktemp -d /tmp/velloc-queue-XXXXXX)
source bench/bench_servers.sh
sink_pid=
fpm_pid=
stop_all() {
  stop_server
  if [ -n "$fpm_pid" ]; then kill "$fpm_pid" 2>/dev/null || true; wait "$fpm_pid" || true; fi
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" || true; fi
  fpm_pid= sink_pid=
}
# The cases run in subshells: what each started is also listed here, for the exit.
started_pids=$scratch/started.pids
trap 'stop_all; kill $(cat "$started_pids" 2>/dev/null) 2>/dev/null || true; rm -rf "$scratch"' EXIT

# The mails the sink has taken so far.
sink_count() {
  kill -USR1 "$sink_pid"
  local before=$1 tries
  for ((tries = 0; tries < 100; tries++)); do
    [ "$(grep -c '^messages' "$scratch/sink.out")" -gt "$before" ] && break
    sleep 0.01
  done
  sed -n 's/^messages //p' "$scratch/sink.out" | tail -n 1
}

# One ab run: "requests/s p50 p99" (ms); fails on any failed or non-2xx request.
ab_run() {  # body, requests
  ab_post "$1" "$2" "$concurrency"
  ab_figures
}

# Queue mode in the bench site's settings.
queue_settings() {
  printf 'Archive=1\nDelivery=queue\nSmtpConnections=%s\n' "$senders" >>"$site/VELLOC.ini"
  printf 'StateDSN=DRIVER=SQLite3;Database=%s/velloc-state.db%s\n' "$site" "$dsn_options" \
    >>"$site/VELLOC.ini"
}

# The largest resident memory (KiB) among the site's velloc processes.
largest_rss() {
  local pid largest=0 rss
  for pid in $(pgrep -f "^$site/velloc"); do
    rss=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
    [ "${rss:-0}" -gt "$largest" ] && largest=$rss
  done
  echo "$largest"
}

# Queue mode with the relay down: the outbox grows in the store, no process grows.
# Prints "rss_after_1000 rss_after_burst pending rate" (the burst's submissions per second).
down_case() {  # submissions
  rm -rf "$scratch/site"
  make_scratch_site "$(free_port)"
  queue_settings
  start_lighttpd_for fastcgi "" "" "server.max-connections = 1024"
  echo "$server_pid" >>"$started_pids"
  ab_run "$scratch/mail.body" 1000 >/dev/null
  local first last figures
  first=$(largest_rss)
  figures=$(ab_run "$scratch/mail.body" $(($1 - 1000)))
  last=$(largest_rss)
  stop_all
  echo "$first $last $(/usr/bin/python3 -c 'import sqlite3, sys
print(sqlite3.connect(sys.argv[1]).execute(
    "SELECT count(*) FROM velloc_deliveries WHERE status = ?", ("pending",)).fetchone()[0])' \
    "$site/velloc-state.db") ${figures%% *}"
}

# velloc persistent behind lighttpd, mail to a sink delaying each reply by $1 ms, in
# delivery mode $2; prints "rate p50 p99 [drain_seconds mails_per_second]".
velloc_case() {  # delay, mode, requests
  start_smtp_sink "$build" "$scratch/sink.out" --delay "$1" --connections 64
  echo "$sink_pid" >>"$started_pids"
  rm -rf "$scratch/site"
  make_scratch_site "$port"
  [ "$2" = queue ] && queue_settings
  start_lighttpd_for fastcgi "" "" "server.max-connections = 1024"
  echo "$server_pid" >>"$started_pids"
  local started figures now got=0 seen=0 ended
  started=$(date +%s.%N)
  figures=$(ab_run "$scratch/mail.body" "$3")
  ended=$(date +%s.%N)
  if [ "$2" = queue ]; then
    while [ "$got" -lt "$3" ]; do
      got=$(sink_count "$seen")
      seen=$((seen + 1))
      now=$(date +%s.%N)
      if awk -v a="$now" -v b="$ended" 'BEGIN { exit !(a - b > 120) }'; then
        echo "Only $got of $3 mails arrived within 120 s of the burst." >&2
        break
      fi
      sleep 0.1
    done
    figures+=" $(awk -v s="$started" -v e="$ended" -v n="$now" -v m="$got" \
      'BEGIN { printf "%.1f %.0f", n - e, m / (n - s) }')"
  fi
  stop_all
  echo "$figures"
}

# The PHP handler: the same page, CSV record and mail, sent by PHPMailer over SMTP.
php_case() {  # delay, requests
  start_smtp_sink "$build" "$scratch/sink.out" --delay "$1" --connections 64
  echo "$sink_pid" >>"$started_pids"
  rm -rf "$scratch/site"
  make_scratch_site "$port"
  cat >"$site/handler.php" <<PHP
<?php
require '/usr/share/php/libphp-phpmailer/autoload.php';
use PHPMailer\PHPMailer\PHPMailer;
\$f = \$_POST;
file_put_contents('$site/data/orders.csv', implode(',', array_map(fn(\$v) =>
  '"' . str_replace('"', '""', \$v) . '"', [\$f['NAME'], \$f['EMAIL'], \$f['ITEM'],
  \$f['QTY'], \$f['PRICE']])) . "\n", FILE_APPEND | LOCK_EX);
\$mail = new PHPMailer(true);
\$mail->isSMTP();
\$mail->Host = '127.0.0.1';
\$mail->Port = $port;
\$mail->SMTPAutoTLS = false;
\$mail->setFrom('velloc@example.test');
\$mail->addAddress('owner@example.test');
\$mail->Subject = \$f['SUBJECT'];
\$mail->Body = "Order from {\$f['NAME']} <{\$f['EMAIL']}>: {\$f['QTY']} x {\$f['ITEM']}\n";
\$mail->send();
echo '<html><body><h1>Thank you, ' . htmlspecialchars(\$f['NAME']) . '</h1></body></html>';
PHP
  cat >"$scratch/fpm.conf" <<CONF
[global]
error_log = $scratch/fpm.log
daemonize = no
[bench]
listen = $scratch/fpm.sock
pm = static
pm.max_children = 4
CONF
  [ "$(id -u)" -eq 0 ] && printf 'user = root\n' >>"$scratch/fpm.conf"
  php-fpm8.2 -R -y "$scratch/fpm.conf" -p "$scratch" &
  fpm_pid=$!
  echo "$fpm_pid" >>"$started_pids"
  await_condition "php-fpm did not start" test -S "$scratch/fpm.sock"
  http_port=$(free_port)
  local url_path=/handler.php
  cat >"$scratch/lighttpd-php.conf" <<CONF
server.modules = ("mod_fastcgi")
fastcgi.server = (".php" => (("socket" => "$scratch/fpm.sock", "check-local" => "disable")))
server.document-root = "$site"
server.port = $http_port
server.bind = "127.0.0.1"
server.max-connections = 1024
server.errorlog = "$scratch/lighttpd-error.log"
CONF
  lighttpd -D -f "$scratch/lighttpd-php.conf" 2>>"$scratch/velloc.err" &
  server_pid=$!
  echo "$server_pid" >>"$started_pids"
  await_http
  local figures
  figures=$(ab_run "$scratch/mail.body" "$2")
  stop_all
  echo "$figures"
}

echo "queue, relay ${delay} ms, burst of $burst ..." >&2
queue_far=$(velloc_case "$delay" queue "$burst")
echo "queue, relay on loopback ..." >&2
queue_near=$(velloc_case 0 queue "$burst")
echo "direct, relay ${delay} ms ..." >&2
direct_far=$(velloc_case "$delay" direct "$direct")
echo "direct, relay on loopback ..." >&2
direct_near=$(velloc_case 0 direct "$burst")
echo "queue, relay down, burst of $down_burst ..." >&2
down=$(down_case "$down_burst")
echo "php-fpm + PHPMailer ..." >&2
php_far=$(php_case "$delay" "$direct")
php_near=$(php_case 0 "$direct")

/usr/bin/python3 - "$delay" "$burst" "$senders" "$queue_far" "$queue_near" "$direct_far" \
  "$direct_near" "$php_far" "$php_near" "$down" "$down_burst" <<'PY'
import sys
delay, burst, senders = sys.argv[1:4]
rows = [("velloc FastCGI, Delivery=queue", sys.argv[4], sys.argv[5]),
        ("velloc FastCGI, Delivery=direct", sys.argv[6], sys.argv[7]),
        ("php-fpm + PHPMailer", sys.argv[8], sys.argv[9])]
print(f"Concurrency 8, full submissions (page + CSV + form mail); lighttpd in front.")
print(f"Queue mode: a burst of {burst}, {senders} senders; 'drain' is how long after the "
      "burst's end the sink had every mail.\n")
print(f"{'':34}{'relay ' + delay + ' ms':>32}   {'relay on loopback':>32}")
print(f"{'':34}{'/s':>8}{'p50':>7}{'p99':>7}{'drain s':>10}   "
      f"{'/s':>8}{'p50':>7}{'p99':>7}{'mails/s':>10}")
for name, far, near in rows:
    f, n = far.split(), near.split()
    extra_f = f"{float(f[3]):10.1f}" if len(f) > 3 else f"{'':10}"
    extra_n = f"{float(n[4]):10.0f}" if len(n) > 4 else f"{'':10}"
    print(f"{name:34}{float(f[0]):8.0f}{float(f[1]):7.0f}{float(f[2]):7.0f}{extra_f}   "
          f"{float(n[0]):8.0f}{float(n[1]):7.0f}{float(n[2]):7.0f}{extra_n}")
for name, far, _ in rows[:1]:
    f = far.split()
    print(f"\nqueue mode, relay {delay} ms: {float(f[4]):.0f} mails/s through the senders")
first, last, pending, rate = sys.argv[10].split()
print(f"queue mode, relay down: {float(rate):.0f} submissions/s; largest velloc process {first} "
      f"KiB after 1,000 submissions, {last} KiB after {int(sys.argv[11]):,} ({pending} "
      "deliveries pending in the store)")
PY
