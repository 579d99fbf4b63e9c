#!/usr/bin/env bash
# Compares two velloc programs as CGI programs on the benchmark site, interleaved round by
# round in one timer run, so that the load of a shared machine touches both alike: the
# floor, then the template page + CSV record (c) and the full submission with its form
# mail (d) of each. Uses bench/cgi_timer, bench/floor_cgi and bench/smtp_sink of an
# existing build folder.
#
#   bench/cgi_compare.sh BEFORE_VELLOC AFTER_VELLOC [RUNS] [BUILD_DIR]   (200; build/release)
#
# VELLOC_BENCH_TEMP names the folder for the mail's temporary files, as in bench/run.sh.
set -euo pipefail
before=$(realpath "${1:?usage: bench/cgi_compare.sh BEFORE_VELLOC AFTER_VELLOC [RUNS] [BUILD_DIR]}")
after=$(realpath "${2:?usage: bench/cgi_compare.sh BEFORE_VELLOC AFTER_VELLOC [RUNS] [BUILD_DIR]}")
runs=${3:-200}
cd "$(dirname "$0")/.."
build=$(cd "${4:-build/release}" && pwd)
source bench/smtp_sink.sh
source bench/bench_site.sh

make_scratch compare
start_smtp_sink "$build" "$scratch/sink.out"
for side in before after; do
  make_bench_site "$scratch/$side" "${!side}" "$port" "$scratch/$side.log"
done
cp "$build/bench/floor_cgi" "$scratch/before/"
write_bench_bodies "$scratch"

# label, side, program, body, a text the response must contain
row() { printf '%s\t%s\t%s\t%s\t%s\n' "$1" "$scratch/$2/$3" "$scratch/$2" "$scratch/$4.body" "$5"; }
{
  row "floor: CGI program printing a header only" before floor_cgi floor "Content-type"
  row "(c) template page + CSV export, before" before velloc template "Thank you, Jo Doe"
  row "(c) template page + CSV export, after" after velloc template "Thank you, Jo Doe"
  row "(d) full submission, before" before velloc mail "Thank you, Jo Doe"
  row "(d) full submission, after" after velloc mail "Thank you, Jo Doe"
} >"$scratch/cases.tsv"
"$build/bench/cgi_timer" --runs "$runs" --warmup 5 "$scratch/cases.tsv"
