#!/usr/bin/env bash
# Peak resident memory of the monitor while four clients fetch the whole open
# flow list at once. The test-only monitor build/vantrel-filled (tests on)
# holds FLOWS made-up open flows; it runs in a network namespace of this
# script's own, and the clients talk to it on that namespace's loopback.
#
#   sudo bash bench/full_list_memory.sh [FLOWS] [CLIENTS]     (200000, 4)
set -euo pipefail
flows="${1:-200000}"
clients="${2:-4}"
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="${VANTREL_FILLED:-$root/build/vantrel-filled}"
[[ $EUID -eq 0 ]] || { echo "needs root (network namespace)"; exit 1; }
[[ -x "$bin" ]] || { echo "no $bin: build the tests first"; exit 1; }

ns="vt-mem-$$"
work="$(mktemp -d /tmp/vt-mem-XXXXXX)"
port=17950
cleanup() {
  ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns"
ip -n "$ns" link set lo up
mkdir -p "$work/resources/web"
cat > "$work/vantrelsettings.json" <<JSON
{"httpPort": $port, "listenerIP": "0.0.0.0", "receiverIP": "0.0.0.0", "receiverPort": 2055, "user": "admin", "pass": "qolpe"}
JSON
(cd "$work" && exec ip netns exec "$ns" "$bin" "$flows" > "$work/monitor.log" 2>&1) &
disown
for _ in $(seq 100); do grep -q "^Filled with" "$work/monitor.log" 2>/dev/null && break; sleep 0.2; done
grep -q "^Filled with" "$work/monitor.log" || { cat "$work/monitor.log"; exit 1; }
pid="$(ip netns pids "$ns" | head -1)"
kb() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$pid/status"; }
mb() { echo "$(( $1 / 1024 )) MB"; }

echo "$(grep '^Filled with' "$work/monitor.log")"
echo "resident after the fill: $(mb "$(kb VmRSS)") (peak so far $(mb "$(kb VmHWM)"))"
url="http://127.0.0.1:$port/data/?requestedData=flows"
started=$(date +%s.%N)
# One client: asks again 2 s after a 503, as its Retry-After says.
client() {
  local refused=0 out
  while out="$(ip netns exec "$ns" curl -sS --digest -u admin:qolpe -o /dev/null \
                 -w '%{http_code} %{size_download} %{time_total}' "$url")"; do
    set -- $out
    if [[ $1 != 503 ]]; then
      echo "client $c: status $1, $2 bytes, $3 s, $refused times refused before"
      return
    fi
    refused=$((refused + 1))
    sleep 2
  done
  echo "client $c: curl failed"
}
for c in $(seq "$clients"); do client & done
wait
echo "all $clients clients done in $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $started }") s"
echo "peak resident (VmHWM): $(mb "$(kb VmHWM)")"
sleep 2
echo "resident 2 s later (VmRSS): $(mb "$(kb VmRSS)")"
