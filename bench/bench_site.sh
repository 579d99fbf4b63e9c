# Sourced by the benchmark scripts: the benchmark site and its request bodies.
#
#   make_bench_site FOLDER VELLOC SMTP_PORT LOGFILE
# lays out FOLDER as the web server would run velloc from it: a copy of VELLOC, the
# settings file beside it (mail to 127.0.0.1:SMTP_PORT, the log in LOGFILE) and the
# templates below it; records land in FOLDER/data/orders.csv. The mail's temporary files
# go to FOLDER/tmp, or to VELLOC_BENCH_TEMP when that names a folder (a tmpfs, say).
#   write_bench_bodies FOLDER
# writes the form bodies floor.body, debug.body, builtin.body, template.body (template
# page + CSV record) and mail.body (the same with its form mail) into FOLDER.

bench_top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

make_bench_site() {
  local site=$1 velloc=$2 smtp_port=$3 logfile=$4
  mkdir -p "$site/tmp" "$site/data"
  cp -r "$bench_top/bench/site/templates" "$site/templates"
  cp "$velloc" "$site/velloc"
  cat >"$site/VELLOC.ini" <<INI
[Velloc]
SMTP=127.0.0.1:$smtp_port
DefaultRecipient=owner@example.test
TEMPLATE_DIR=templates/
TEMP=${VELLOC_BENCH_TEMP:-$site/tmp}/
LOGFILE=$logfile
LOG_LEVEL=1
Referers=127.0.0.1
INI
}

write_bench_bodies() {
  local folder=$1 form
  form='NAME=Jo+Doe&EMAIL=jo%40example.test&ITEM=Sencha&QTY=3&PRICE=9.50&SHIPPING=4.95'
  form+='&GIFT=yes&MESSAGE=Please+deliver+before+Friday.&SUBJECT=Order'
  printf '%s' "$form" >"$folder/floor.body"
  printf '%s' "$form&DEBUG_VARIABLES=1" >"$folder/debug.body"
  printf '%s' "$form&DISABLE_MAIL=1" >"$folder/builtin.body"
  printf '%s' "$form&DISABLE_MAIL=1&TEMPLATE_WEB=thanks.htm&TEMPLATE_TEXTFILE=export.ini" \
    >"$folder/template.body"
  printf '%s' "$form&TEMPLATE_WEB=thanks.htm&TEMPLATE_TEXTFILE=export.ini&TEMPLATE_MAIL=mail.txt" \
    >"$folder/mail.body"
}
