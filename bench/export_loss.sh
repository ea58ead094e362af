#!/usr/bin/env bash
# How many finished flows reach vantrel-collect when many finish at once, as
# root. Two namespaces joined by a veth pair: the peer sends one UDP datagram
# per flow to the monitor's address; the monitor captures there and exports
# to vantrel-collect on its own loopback.
#
#   sudo bash bench/export_loss.sh [sweep|stop|both|plain] [FLOWS]
#   BUILD_DIR=build-old sudo bash bench/export_loss.sh   # another build
#   STORE=1 sudo bash bench/export_loss.sh stop           # into a store too
#   STORE=clickhouse sudo bash bench/export_loss.sh stop  # into ClickHouse
#   TCP=1 STORE=1 RESTART=1 sudo bash bench/export_loss.sh stop
#          # IPFIX over TCP, the collector stopped for 5 s in the burst
#
#   sweep: FLOWS (default 20000) flows fall idle together; 15 s later one
#          sweep hands them all to the export loop.
#   stop:  FLOWS (default 300000) flows are open when SIGTERM comes; the
#          orderly stop hands them all over.
#   plain: FLOWS (default 20000) flows are open when SIGHUP comes, and the
#          collector is a plain one: one Python thread reading one socket
#          with the system's default receive buffer (212,992 bytes), counting
#          the native records of those flows. RUNS (default 5) runs.
#
# Prints, per case, the records of those flows the collector wrote against
# the flows sent, and the export datagrams the monitor sent. With STORE=1
# the collector also keeps the records in an SQLite file (--store), and the
# records of those flows found there are printed too; with STORE=clickhouse
# the same from a ClickHouse server the script starts in the monitor's
# namespace. Exit status: 0 when every record of those flows arrived
# (and, with STORE, was found in the store) in every case run, 1 when any
# was lost, 2 on bad use. Needs the monitor and vantrel-collect built
# (cmake --build build --target vantrel vantrel-collect).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/clickhouse_server.sh
BUILD_DIR=$(realpath "${BUILD_DIR:-build}")
CASES=${1:-both}
FLOWS=${2:-}

if [[ $(id -u) -ne 0 ]]; then
  echo "export_loss.sh needs root (network namespaces, packet capture)" >&2
  exit 1
fi
for b in vantrel vantrel-collect; do
  [[ -x $BUILD_DIR/$b ]] || { echo "$BUILD_DIR/$b is missing: build it first" >&2; exit 1; }
done

# Set to 1 by a case that lost records; the exit status.
LOST=0
# Records `$1` of `$2` sent: LOST is set when fewer arrived.
count_loss() {
  if (($1 < $2)); then LOST=1; fi
}

MON=vt-loss-mon-$$
PEER=vt-loss-peer-$$
WORK=$(mktemp -d /tmp/vantrel-loss-XXXXXX)
cleanup() {
  for ns in "$MON" "$PEER"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$WORK"
}
trap cleanup EXIT

ip netns add "$MON"
ip netns add "$PEER"
ip link add vtl$$a netns "$MON" type veth peer name vtl$$b netns "$PEER"
ip -n "$MON" addr add 10.77.0.1/24 dev vtl$$a
ip -n "$PEER" addr add 10.77.0.2/24 dev vtl$$b
for ns in "$MON" "$PEER"; do
  ip -n "$ns" link set lo up
done
ip -n "$MON" link set vtl$$a up
ip -n "$PEER" link set vtl$$b up

# Sends one datagram per flow: source port 40000, destination ports counting
# up from 1024 and, past 65535, further source ports.
send_flows() {
  ip netns exec "$PEER" python3 - "$1" <<'EOF'
import socket, sys
n = int(sys.argv[1])
socks = {}
for i in range(n):
    sport = 40000 + i // 64000
    if sport not in socks:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("10.77.0.2", sport))
        socks[sport] = s
    socks[sport].sendto(b"x", ("10.77.0.1", 1024 + i % 64000))
EOF
}

# Starts the monitor in folder $1 (settings written there) and waits until
# it captures and exports; its process id in MONITOR_PID.
start_monitor() {
  (cd "$1" && exec ip netns exec "$MON" "$BUILD_DIR/vantrel" >"$1/console.log" 2>&1) &
  MONITOR_PID=$!
  for _ in $(seq 100); do
    grep -q "Listener Socket IO controls set" "$1/console.log" 2>/dev/null &&
      grep -q "exporter bind socket\|exporting IPFIX over TCP" "$1/console.log" && break
    sleep 0.1
  done
}

# A plain collector on 127.0.0.1:2055: counts the records of the sender's
# UDP flows in native datagrams until none has come for 3 s, then prints
# "records N datagrams D buffer B".
plain_reader() {
  ip netns exec "$MON" python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 2055))
buffer = s.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
records = datagrams = 0
peer = bytes([10, 77, 0, 2])
while True:
    try:
        d = s.recv(65535)
    except socket.timeout:
        break
    s.settimeout(3)
    datagrams += 1
    at = 4
    for _ in range(d[2] << 8 | d[3]):
        if d[at:at + 4] == peer and d[at + 32] == 17:
            records += 1
        at += 45
        for _ in range(3):
            at += 1 + d[at]
print("records", records, "datagrams", datagrams, "buffer", buffer, flush=True)
' >"$1"
}

# One run of the plain case, in $1 (a folder), with $2 flows.
run_plain() {
  local dir=$1 flows=$2
  mkdir -p "$dir"
  printf '{"listenerIP": "10.77.0.1", "receiverIP": "127.0.0.1", "receiverPort": 2055, "httpPort": 17999}' \
    >"$dir/vantrelsettings.json"
  plain_reader "$dir/reader.txt" &
  local reader=$!
  start_monitor "$dir"
  local monitor=$MONITOR_PID
  send_flows "$flows"
  sleep 1
  kill -HUP "$monitor"
  wait "$monitor" || true
  wait "$reader" || true
  local got
  got=$(awk '{ print $2 }' "$dir/reader.txt")
  count_loss "${got:-0}" "$flows"
  printf 'plain flows sent %7d  records received %7d  %6.2f %%  (%s)\n' "$flows" "${got:-0}" \
    "$(awk -v g="${got:-0}" -v f="$flows" 'BEGIN { print 100 * g / f }')" "$(cat "$dir/reader.txt")"
  grep -h '^Stopped: ' "$dir/console.log" || true
}

# Runs one case; $1 sweep|stop, $2 flows.
run_case() {
  local kind=$1 flows=$2 dir=$WORK/$1
  mkdir -p "$dir"
  local transport='' listen=(--listen 127.0.0.1:2055)
  if [[ -n ${TCP:-} ]]; then
    transport=', "exportFormat": "ipfix", "exportTransport": "tcp"'
    listen=(--listen-tcp 127.0.0.1:2055)
  fi
  printf '{"listenerIP": "10.77.0.1", "receiverIP": "127.0.0.1", "receiverPort": 2055, "httpPort": 17999%s}' \
    "$transport" >"$dir/vantrelsettings.json"
  local store_args=()
  local store=$dir/flows.sqlite
  if [[ ${STORE:-} == clickhouse ]]; then
    start_clickhouse "$dir/clickhouse" 18123 "$MON"
    clickhouse_sql 18123 "CREATE DATABASE loss" "$MON"
    store=clickhouse://127.0.0.1:18123/loss
  fi
  [[ -n ${STORE:-} ]] && store_args=(--store "$store" --format json)
  ip netns exec "$MON" "$BUILD_DIR/vantrel-collect" "${listen[@]}" "${store_args[@]}" \
    >"$dir/records.json" 2>"$dir/collect.err" &
  local collector=$!
  start_monitor "$dir"
  local monitor=$MONITOR_PID
  local started=$SECONDS
  send_flows "$flows"
  local sent_in=$((SECONDS - started))
  if [[ $kind == sweep ]]; then
    sleep 25  # 15 s idle, the next sweep, the export pass
    kill -TERM "$monitor"
  else
    sleep 1  # the last packets decoded
    kill -TERM "$monitor"
  fi
  if [[ -n ${RESTART:-} ]]; then
    # The collector stops in the middle of the burst (RESTART_AFTER seconds
    # after the monitor's stop began) and is away for 5 s.
    sleep "${RESTART_AFTER:-1}"
    kill -TERM "$collector"
    wait "$collector" || true
    sleep 5
    ip netns exec "$MON" "$BUILD_DIR/vantrel-collect" "${listen[@]}" "${store_args[@]}" \
      >>"$dir/records.json" 2>>"$dir/collect.err" &
    collector=$!
  fi
  wait "$monitor" || true
  # The collector writes what is queued: until its output stops growing.
  local size=-1
  while [[ $(stat -c %s "$dir/records.json") != "$size" ]]; do
    size=$(stat -c %s "$dir/records.json")
    sleep 2
  done
  kill "$collector" 2>/dev/null || true
  wait "$collector" 2>/dev/null || true
  local got datagrams
  got=$(grep -c '"proto":17,.*"srcip":"10.77.0.2"' "$dir/records.json" || true)
  count_loss "$got" "$flows"
  datagrams=$(sed -n 's/.*, \([0-9]*\) export datagrams sent.*/\1/p' "$dir/console.log" | tail -1)
  printf '%-5s flows sent %7d (in %2d s)  records received %7d  %6.2f %%  export datagrams %s\n' \
    "$kind" "$flows" "$sent_in" "$got" "$(awk -v g="$got" -v f="$flows" 'BEGIN { print 100 * g / f }')" \
    "${datagrams:-?}"
  grep -h '^Stopped: ' "$dir/console.log" || true
  grep -h 'receive queue' "$dir/collect.err" || true
  if [[ -n ${STORE:-} ]]; then
    local stored
    stored=$(ip netns exec "$MON" "$BUILD_DIR/vantrel-collect" query --store "$store" --peer 10.77.0.2 --limit 0 \
      --format csv | awk -F, '$9 == 17 { n++ } END { print n + 0 }')
    count_loss "${stored:-0}" "$flows"
    printf '%-5s records of those flows in the store %7d  %6.2f %%\n' "$kind" "${stored:-0}" \
      "$(awk -v g="${stored:-0}" -v f="$flows" 'BEGIN { print 100 * g / f }')"
    grep -h 'stopped:\|last minute:\|cannot write' "$dir/collect.err" || true
    if [[ ${STORE:-} == clickhouse ]]; then stop_clickhouse "$dir/clickhouse"; fi
  fi
}

echo "build: $BUILD_DIR ($(git -C "$BUILD_DIR/.." rev-parse --short HEAD 2>/dev/null || echo '?'))"
case $CASES in
  sweep) run_case sweep "${FLOWS:-20000}" ;;
  stop) run_case stop "${FLOWS:-300000}" ;;
  both) run_case sweep 20000; run_case stop 300000 ;;
  plain) for run in $(seq "${RUNS:-5}"); do run_plain "$WORK/plain-$run" "${FLOWS:-20000}"; done ;;
  *) echo "usage: export_loss.sh [sweep|stop|both|plain] [FLOWS]" >&2; exit 2 ;;
esac
if ((LOST)); then echo "records were lost" >&2; fi
exit "$LOST"
