#!/usr/bin/env bash
# Runs the demo site on its embedded defaults: lighttpd on 127.0.0.1:8080 with
# velloc as its CGI script, a local SMTP server on 127.0.0.1:2525 that stores every
# mail it receives under demo-run/mail/, and a SQLite database reached through ODBC.
# Stays in the foreground until Ctrl-C and leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")"
source tools/packages.sh
ensure_packages "${VELLOC_RUNTIME_PACKAGES[@]}"

HTTP_PORT=8080
SMTP_PORT=2525
top=$PWD
demo=$top/demo-run

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLOC_BENCH=OFF >/dev/null
cmake --build build/release --target velloc pgp

# The site is laid out anew on every start; mails, database and exports are kept.
rm -rf "$demo/www" "$demo/cgi-bin" "$demo/odbc"
mkdir -p "$demo"/{www,cgi-bin,odbc,mail,data,tmp}
cp -r samples/site/. "$demo/www/"
cp -r samples/templates "$demo/cgi-bin/templates"
cp build/release/velloc build/release/pgp "$demo/cgi-bin/"

cat >"$demo/cgi-bin/VELLOC.ini" <<INI
[Velloc]
SMTP=127.0.0.1:$SMTP_PORT
DefaultRecipient=owner@example.test
DEFAULTSENDER=velloc@example.test
TEMPLATE_DIR=templates/
TEMP=$demo/tmp/
LOGFILE=$demo/velloc.log
LOG_LEVEL=15
Referers=127.0.0.1:$HTTP_PORT, localhost:$HTTP_PORT
INI

driver=$(ls /usr/lib/*/odbc/libsqlite3odbc.so 2>/dev/null | head -n 1)
cat >"$demo/odbc/odbcinst.ini" <<INI
[SQLite3]
Description=SQLite3 ODBC driver
Driver=$driver
INI
cat >"$demo/odbc/odbc.ini" <<INI
[VellocDemo]
Description=Velloc demo orders
Driver=SQLite3
Database=$demo/data/orders.db
Timeout=5000
INI
if [ -f samples/demo/create_orders.sql ]; then
  /usr/bin/python3 - "$demo/data/orders.db" samples/demo/create_orders.sql <<'PY'
import sqlite3, sys
with sqlite3.connect(sys.argv[1]) as db:
    db.executescript(open(sys.argv[2]).read())
PY
fi

cat >"$demo/lighttpd.conf" <<CONF
server.modules = ("mod_alias", "mod_cgi", "mod_setenv")
server.document-root = "$demo/www"
server.port = $HTTP_PORT
server.bind = "127.0.0.1"
server.errorlog = "$demo/lighttpd-error.log"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".htm" => "text/html", ".css" => "text/css",
                   ".csv" => "text/plain", ".txt" => "text/plain")
alias.url = ("/cgi-bin/" => "$demo/cgi-bin/")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
setenv.add-environment = ("PATH" => "/usr/bin:/bin", "ODBCSYSINI" => "$demo/odbc",
                          "ODBCINI" => "$demo/odbc/odbc.ini")
CONF

children=()
cleanup() {
  trap - EXIT INT TERM
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "Demo stopped."
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -f tools/mail_sink.py ]; then
  /usr/bin/python3 tools/mail_sink.py --port "$SMTP_PORT" --dir "$demo/mail" &
  children+=($!)
fi
lighttpd -D -f "$demo/lighttpd.conf" &
children+=($!)

echo
echo "Demo site:  http://127.0.0.1:$HTTP_PORT/"
echo "Mails:      $demo/mail/ (one .eml file per mail received)"
echo "Log:        $demo/velloc.log"
echo "Press Ctrl-C to stop."
wait
