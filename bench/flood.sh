#!/usr/bin/env bash
# How many packets of a flood of new flows the monitor counts, as root. Two
# namespaces joined by a veth pair: in the peer, trafgen (Debian's
# netsniff-ng) on one core sends UDP packets, each of a new flow (random
# source address and port, as a scan, a reflection or a busy NAT makes
# them), to the monitor's address as fast as it can; the monitor captures
# there. Its status document then says how many packets it read and how
# many the kernel dropped.
#
#   sudo bash bench/flood.sh [ports|port|both] [PACKETS]
#   BUILD_DIR=build-old sudo bash bench/flood.sh   # another build
#   PEER_NAMES=false sudo bash bench/flood.sh      # the monitor with peerNames false
#
#   ports: PACKETS (default 1000000) to random destination ports
#   port:  the same to one port (5300) that nobody holds
#
# Sources are outside the link's subnet, so the monitor's side answers none
# of them (no ICMP, no ARP) and what it sees is the flood alone; IPv6 is off
# on the link. Needs trafgen (apt-get install netsniff-ng), curl and the
# monitor built (cmake --build build --target vantrel).
#
# Each case is then sent again, the same way, to softflowd listening on the
# same interface (when it is installed; PROGRAMS=vantrel leaves it out), so
# both are measured in one run: its count is what libpcap received less what
# it dropped, from softflowctl statistics.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=$(realpath "${BUILD_DIR:-build}")
CASES=${1:-both}
PACKETS=${2:-1000000}
PROGRAMS=${PROGRAMS:-vantrel softflowd}
if [[ " $PROGRAMS " == *" softflowd "* ]] && ! command -v softflowd >/dev/null; then
  echo "softflowd is missing (apt-get install softflowd): the monitor alone is measured" >&2
  PROGRAMS=vantrel
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "flood.sh needs root (network namespaces, packet capture)" >&2
  exit 1
fi
command -v trafgen >/dev/null || { echo "trafgen is missing: apt-get install netsniff-ng" >&2; exit 1; }
[[ -x $BUILD_DIR/vantrel ]] || { echo "$BUILD_DIR/vantrel is missing: build it first" >&2; exit 1; }

MON=vt-flood-mon-$$
PEER=vt-flood-peer-$$
WORK=$(mktemp -d /tmp/vantrel-flood-XXXXXX)
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
ip link add vtf$$a netns "$MON" type veth peer name vtf$$b netns "$PEER"
for ns in "$MON" "$PEER"; do
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
  ip -n "$ns" link set lo up
done
ip -n "$MON" addr add 10.78.0.1/24 dev vtf$$a
ip -n "$PEER" addr add 10.78.0.2/24 dev vtf$$b
ip -n "$MON" link set vtf$$a up
ip -n "$PEER" link set vtf$$b up
MAC=$(ip -n "$MON" -o link show vtf$$a | sed -n 's/.*link\/ether \([0-9a-f:]*\).*/\1/p')

# The monitor's counters from its status document.
counters() {
  ip netns exec "$MON" curl -s --digest -u admin:x "http://10.78.0.1:17997/data/" |
    python3 -c 'import json, sys; d = json.load(sys.stdin); print(d["snifferPacketCount"], d["snifferPacketsDropped"])'
}

# Packets the monitor's side of the link received.
received() { ip netns exec "$MON" cat /sys/class/net/vtf$$a/statistics/rx_packets; }

# softflowd's packets read: received by libpcap less dropped by it, and the
# drops.
softflowd_counters() {
  ip netns exec "$MON" softflowctl -c "$1" statistics | python3 -c '
import re, sys
t = sys.stdin.read()
got = int(re.search(r"Packets received by libpcap:\s*(\d+)", t).group(1))
lost = int(re.search(r"Packets dropped by libpcap:\s*(\d+)", t).group(1))
print(got - lost, lost)'
}

# Runs one case with one program; $1 ports|port, $2 vantrel|softflowd.
run_case() {
  local kind=$1 program=$2 dir=$WORK/$1-$2 dport
  mkdir -p "$dir"
  local count=counters
  if [[ $program == vantrel ]]; then
    printf '{"listenerIP": "10.78.0.1", "receiverIP": "0.0.0.0", "httpPort": 17997, "user": "admin", "pass": "x"%s}' \
      "${PEER_NAMES:+, \"peerNames\": $PEER_NAMES}" >"$dir/vantrelsettings.json"
    (cd "$dir" && exec ip netns exec "$MON" "$BUILD_DIR/vantrel" >"$dir/console.log" 2>&1) &
    for _ in $(seq 100); do
      grep -q "Listener Socket IO controls set" "$dir/console.log" 2>/dev/null && break
      sleep 0.1
    done
  else
    # As bench/compare starts it: the same flow table bound and timeouts.
    (exec ip netns exec "$MON" softflowd -d -i vtf$$a -n 127.0.0.1:2055 -m 1000000 -c "$dir/ctl" \
      -t general=15 -t udp=15 -t maxlife=60 -t expint=1 >"$dir/console.log" 2>&1) &
    for _ in $(seq 100); do
      softflowd_counters "$dir/ctl" >/dev/null 2>&1 && break
      sleep 0.1
    done
    count="softflowd_counters $dir/ctl"
  fi
  local monitor=$!
  sleep 1  # capture is reading by now
  [[ $kind == port ]] && dport=5300 || dport="drnd()"
  # Sources in 172.16.0.0/12 and 192.0.2.0/24 by turns of the random bytes;
  # every packet a new source port and address.
  cat >"$dir/flood.cfg" <<EOF
{
  eth(da=$MAC, type=0x0800),
  ipv4(sa=172.16.0.1, sa[1]=drnd(16, 31), sa[2]=drnd(), sa[3]=drnd(), da=10.78.0.1, ttl=64),
  udp(sp=drnd(), dp=$dport),
  fill(0x00, 18)
}
EOF
  read -r before dropped_before < <($count)
  local rx_before
  rx_before=$(received)
  local t0=$EPOCHREALTIME
  ip netns exec "$PEER" trafgen --cpus 1 -o vtf$$b -n "$PACKETS" -c "$dir/flood.cfg" >"$dir/trafgen.log" 2>&1
  local t1=$EPOCHREALTIME
  sleep 2  # the ring hands over what it holds, the capture catches up
  local after dropped_after rx
  read -r after dropped_after < <($count)
  rx=$(($(received) - rx_before))
  kill -TERM "$monitor" 2>/dev/null || true
  wait "$monitor" 2>/dev/null || true
  local counted=$((after - before)) dropped=$((dropped_after - dropped_before))
  printf '%-9s %-5s sent %8d in %5.2f s (%7.0f packets/s)  link received %8d  counted %8d  %7.3f %%  dropped %d\n' \
    "$program" "$kind" "$PACKETS" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" \
    "$(awk -v a="$t0" -v b="$t1" -v n="$PACKETS" 'BEGIN { print n / (b - a) }')" "$rx" "$counted" \
    "$(awk -v c="$counted" -v n="$rx" 'BEGIN { print 100 * c / n }')" "$dropped"
}

echo "build: $BUILD_DIR ($(git -C "$BUILD_DIR/.." rev-parse --short HEAD 2>/dev/null || echo '?')); peerNames ${PEER_NAMES:-true (absent)}"
case $CASES in
  ports | port) kinds=$CASES ;;
  both) kinds="ports port" ;;
  *) echo "usage: flood.sh [ports|port|both] [PACKETS]" >&2; exit 2 ;;
esac
for kind in $kinds; do
  for program in $PROGRAMS; do run_case "$kind" "$program"; done
done
