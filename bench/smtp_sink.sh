# Sourced by the benchmark scripts: starts bench/smtp_sink of build folder $1 with its
# output in file $2 (and the sink's options that follow: --delay MS, --connections N),
# and sets sink_pid and port (the port it listens on) once it is up.
start_smtp_sink() {
  # Emptied first: the background start may truncate it after the first look below.
  : >"$2"
  "$1/bench/smtp_sink" "${@:3}" >"$2" &
  sink_pid=$!
  port=
  local tries
  for ((tries = 0; tries < 100; tries++)); do
    port=$(sed -n 's/^port //p' "$2")
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  echo "The SMTP sink did not start." >&2
  exit 1
}

# Makes the scratch folder $scratch (/tmp/velloc-$1-...), removed at exit together
# with the SMTP sink, once started.
sink_cleanup() {
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" || true; fi
  rm -rf "$scratch"
}
make_scratch() {
  scratch=$(mktemp -d "/tmp/velloc-$1-XXXXXX")
  sink_pid=
  trap sink_cleanup EXIT
}
