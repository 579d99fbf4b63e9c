#!/usr/bin/env bash
# Runs the demo site: builds the distribution and installs it unattended into the
# demo folder, as an administrator would (VLPro/ and Samples/ side by side), then
# serves it: lighttpd on 127.0.0.1:8080 with the installed velloc as its only form
# handler and Samples/ as document root, a local SMTP server on 127.0.0.1:2525 that
# stores every mail it receives under demo-run/mail/, and a SQLite database reached
# through ODBC. A second listener of lighttpd, 127.0.0.1:8081, is another origin: a
# stockist's page there posts JSON to the form handler, which allows that origin.
# Every submission is archived, and the site owner's inbox (/cgi-bin/VLPro/velloc/inbox)
# is served behind lighttpd's login (mod_auth) for the demo user printed at the start.
# Stays in the foreground until Ctrl-C (or SIGTERM) and leaves nothing
# running. velloc runs persistent: lighttpd's mod_fastcgi starts it once and hands it
# every submission; with DEMO_MODE=cgi lighttpd starts it anew for each one instead.
#
# Optional environment overrides (the defaults need none of them):
#   DEMO_MODE       fastcgi (persistent, the default) or cgi
#   DEMO_HTTP_PORT  port of the web server (8080)
#   DEMO_PARTNER_PORT  port of the stockist's page, another origin (8081)
#   DEMO_SMTP_PORT  port of the mail server (2525)
#   DEMO_DIR        folder of the demo's state (demo-run beside this script)
#   DEMO_BIN_DIR    build folder whose dist/ holds the built distribution; the build
#                   is then skipped
set -euo pipefail
start_dir=$PWD
cd "$(dirname "$0")"
top=$PWD
source tools/packages.sh
ensure_packages "${VELLOC_RUNTIME_PACKAGES[@]}"
command -v npm >/dev/null || ensure_packages "${VELLOC_DEMO_PACKAGES[@]}"

absolute() { case $1 in /*) echo "$1" ;; *) echo "$start_dir/$1" ;; esac; }

HTTP_PORT=${DEMO_HTTP_PORT:-8080}
PARTNER_PORT=${DEMO_PARTNER_PORT:-8081}
MODE=${DEMO_MODE:-fastcgi}
case $MODE in
  fastcgi | cgi) ;;
  *) echo "DEMO_MODE is fastcgi or cgi, not '$MODE'." >&2; exit 2 ;;
esac
SMTP_PORT=${DEMO_SMTP_PORT:-2525}
# The one user of the inbox; lighttpd checks the password, velloc the name.
INBOX_USER=owner
INBOX_PASSWORD=demo-inbox
demo=$(absolute "${DEMO_DIR:-$top/demo-run}")
if [ -n "${DEMO_BIN_DIR:-}" ]; then
  dist=$(absolute "$DEMO_BIN_DIR")/dist
else
  # A build folder of its own: neither tests nor benchmarks, so their packages are
  # not needed.
  cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLOC_TESTS=OFF \
    -DVELLOC_BENCH=OFF >/dev/null
  cmake --build build/demo --target distribution
  dist=$top/build/demo/dist
fi
if [ ! -x "$dist/installer" ]; then
  echo "No built distribution in $dist (build the target 'distribution')." >&2
  exit 1
fi

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for port in "$HTTP_PORT" "$PARTNER_PORT" "$SMTP_PORT"; do
  if listening "$port"; then
    echo "Port $port on 127.0.0.1 is already in use (is the demo running already?)." >&2
    exit 1
  fi
done

# The site is installed anew on every start over the previous one; mails, database
# and exports (Samples/orders.htm, Samples/signups.csv, VLPro/Brannic/order_rows.txt)
# are kept. The settings file is written afresh (an installer run over an existing one
# keeps it): the ports may differ from the last start.
rm -rf "$demo/odbc" "$demo/VLPro/Brannic/Templates" "$demo/partner" "$demo/VLPro/VELLOC.INI"
mkdir -p "$demo"/{odbc,mail,data,tmp,partner,archive}
program=$demo/VLPro
if ! "$dist/installer" --unattended --accept-license --program-folder "$demo" \
    --samples-folder "$demo" --smtp "127.0.0.1:$SMTP_PORT" --recipient owner@example.test \
    --existing continue >"$demo/install.log" 2>&1; then
  cat "$demo/install.log" >&2
  echo "The installation into $demo failed." >&2
  exit 1
fi
# The installer's VELLOC.INI names the mail server and the recipient; the demo adds
# what an operator would. The stockist's page is a referer of its own and the one
# origin besides the site's own that may post.
cat >>"$program/VELLOC.INI" <<INI
DEFAULTSENDER=velloc@example.test
VisitorReplyTo=1
TEMP=$demo/tmp/
LOGFILE=$demo/velloc.log
LOG_LEVEL=15
Referers=127.0.0.1:$HTTP_PORT, localhost:$HTTP_PORT, 127.0.0.1:$PARTNER_PORT
AllowedOrigins=http://127.0.0.1:$PARTNER_PORT
ProfilesOnly=1
HoneypotField=website
ChallengeKey=$(od -An -N24 -tx1 /dev/urandom | tr -d ' \n')
Archive=1
ArchiveFolder=$demo/archive/
Inbox=1
InboxUsers=$INBOX_USER
InboxSecret=$(od -An -N32 -tx1 /dev/urandom | tr -d ' \n')
INI
cat samples/demo/profiles.ini >>"$program/VELLOC.INI"
sed "s|@FORM_HANDLER@|http://127.0.0.1:$HTTP_PORT/cgi-bin/VLPro/velloc|" \
  samples/demo/partner.html >"$demo/partner/index.html"

# The challenge widget of the contact page, from the npm registry at a fixed version,
# kept between starts and served by the site itself.
ALTCHA_VERSION=2.3.0
widget=$demo/npm/node_modules/altcha
if ! grep -q "\"version\": \"$ALTCHA_VERSION\"" "$widget/package.json" 2>/dev/null; then
  if ! npm install --prefix "$demo/npm" --no-audit --no-fund --no-save \
      "altcha@$ALTCHA_VERSION" >"$demo/npm.log" 2>&1; then
    cat "$demo/npm.log" >&2
    echo "The challenge widget could not be installed from the npm registry." >&2
    exit 1
  fi
fi
mkdir -p "$demo/Samples/altcha"
cp "$widget/dist/altcha.js" "$demo/Samples/altcha/altcha.js"

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
/usr/bin/python3 - "$demo/data/orders.db" samples/demo/create_orders.sql <<'PY'
import sqlite3, sys
with sqlite3.connect(sys.argv[1]) as db:
    db.executescript(open(sys.argv[2]).read())
PY

# What an operator runs after changing the settings, with the web server's ODBC
# files: each problem on a line of its own.
echo "Settings check (velloc --check):"
ODBCSYSINI="$demo/odbc" ODBCINI="$demo/odbc/odbc.ini" \
  "$program/velloc" --check --settings "$program/VELLOC.INI" || true

# Only velloc is reachable of VLPro, and it runs in its folder, so the default
# template directory .\BRANNIC\TEMPLATES\ is VLPro/Brannic/Templates. Persistent, it
# is started once by lighttpd (which stops it again), with the listening socket as
# its standard input; as a CGI program, once for every submission.
environment='"PATH" => "/usr/bin:/bin", "ODBCSYSINI" => "'"$demo"'/odbc",
                          "ODBCINI" => "'"$demo"'/odbc/odbc.ini"'
if [ "$MODE" = fastcgi ]; then
  handler='server.modules += ("mod_fastcgi", "mod_setenv")
fastcgi.server = ("/cgi-bin/VLPro/velloc" => ((
  "socket" => "'"$demo"'/velloc.sock", "bin-path" => "'"$program"'/velloc",
  "bin-environment" => ('"$environment"'),
  "bin-copy-environment" => ("PATH"), "max-procs" => 1, "check-local" => "disable")))'
else
  handler='server.modules += ("mod_alias", "mod_cgi", "mod_setenv")
alias.url = ("/cgi-bin/VLPro/velloc" => "'"$program"'/velloc")
$HTTP["url"] =~ "^/cgi-bin/VLPro/velloc" { cgi.assign = ("" => "") }'
fi
# The inbox only for a user who logged in (basic authentication, over plain HTTP on
# loopback here; a real site serves it over HTTPS only). The password file holds a
# hash, made anew at every start. mod_auth comes first among the modules: lighttpd
# asks them in that order, and mod_fastcgi would answer before the login is asked for.
printf '%s:%s\n' "$INBOX_USER" "$(openssl passwd -apr1 "$INBOX_PASSWORD")" >"$demo/inbox.htpasswd"
auth='server.modules += ("mod_auth", "mod_authn_file")
auth.backend = "htpasswd"
auth.backend.htpasswd.userfile = "'"$demo"'/inbox.htpasswd"
auth.require = ("/cgi-bin/VLPro/velloc/inbox" => (
  "method" => "basic", "realm" => "Fernhill inbox", "require" => "valid-user"))'
# The stockist's origin serves its page only, not the form handler.
if [ "$MODE" = fastcgi ]; then
  partner_handler='fastcgi.server = ()'
else
  partner_handler='alias.url = ()'
fi
cat >"$demo/lighttpd.conf" <<CONF
$auth
$handler
server.document-root = "$demo/Samples"
server.port = $HTTP_PORT
server.bind = "127.0.0.1"
server.errorlog = "$demo/lighttpd-error.log"
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".htm" => "text/html", ".css" => "text/css",
                   ".js" => "text/javascript", ".csv" => "text/plain", ".txt" => "text/plain")
setenv.add-environment = ($environment)
\$SERVER["socket"] == "127.0.0.1:$PARTNER_PORT" {
  server.document-root = "$demo/partner"
  $partner_handler
}
CONF

# Both servers are children of this script. Whatever ends it (Ctrl-C, SIGTERM,
# SIGHUP, a server that stops, an error) runs cleanup, which stops them and waits
# for them, killing after five seconds what has not ended by then.
children=()
cleanup() {
  trap - EXIT INT TERM HUP
  local pid tries running
  for pid in "${children[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for ((tries = 0; tries < 50; tries++)); do
    running=0
    for pid in "${children[@]}"; do
      if kill -0 "$pid" 2>/dev/null; then running=1; fi
    done
    [ "$running" -eq 0 ] && break
    sleep 0.1
  done
  for pid in "${children[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "Demo stopped."
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Waits (at most ten seconds) until the child $2 listens on port $1.
await_port() {
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    if ! kill -0 "$2" 2>/dev/null; then
      echo "The $3 did not start." >&2
      return 1
    fi
    listening "$1" && return 0
    sleep 0.1
  done
  echo "The $3 is not listening on port $1." >&2
  return 1
}

# The servers run in sessions of their own, so Ctrl-C reaches only this script,
# which then stops them in order.
setsid /usr/bin/python3 tools/mail_sink.py --port "$SMTP_PORT" --dir "$demo/mail" >/dev/null &
children+=($!)
await_port "$SMTP_PORT" "$!" "mail server"
setsid lighttpd -D -f "$demo/lighttpd.conf" &
children+=($!)
await_port "$HTTP_PORT" "$!" "web server"
await_port "$PARTNER_PORT" "$!" "web server"

echo
echo "Demo site:  http://127.0.0.1:$HTTP_PORT/"
echo "Stockist:   http://127.0.0.1:$PARTNER_PORT/ (another origin, posts JSON to the form handler)"
echo "Installed:  $program and $demo/Samples (by $dist/installer)"
echo "velloc:     $([ "$MODE" = fastcgi ] && echo "persistent (FastCGI)" || echo "CGI program") (DEMO_MODE=$MODE)"
echo "Inbox:      http://127.0.0.1:$HTTP_PORT/cgi-bin/VLPro/velloc/inbox (user $INBOX_USER, password $INBOX_PASSWORD)"
echo "Mails:      $demo/mail/ (one .eml file per mail received)"
echo "Database:   $demo/data/orders.db (table Orders, data source VellocDemo)"
echo "Exports:    http://127.0.0.1:$HTTP_PORT/orders.htm and http://127.0.0.1:$HTTP_PORT/signups.csv"
echo "Log:        $demo/velloc.log"
echo "Press Ctrl-C to stop."
status=0
wait -n "${children[@]}" || status=$?
echo "A server of the demo stopped by itself (status $status); stopping the demo." >&2
exit 1
