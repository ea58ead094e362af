#!/usr/bin/env bash
# How many flows carry the right peer name, as root. Two namespaces joined by
# a veth pair; in the far one a resolver (Debian's dnsmasq) answers A and
# AAAA records, several names per address, some behind CNAME chains of one
# and two links, over UDP and TCP on both families, and servers take plain
# TCP, TLS and UDP on six addresses of each family. In the watched one, the
# monitor captures and exports IPFIX to vantrel-collect, while a program
# (bench/peer_names_accuracy.py) resolves a name, then connects to the
# address it got: TLS with that name as SNI, plain TCP, UDP, or a QUIC
# Initial (version 1 or 2) naming it; hundreds of times. At the end each
# flow's records (and those of its reply, where the far side answers) are
# compared with the name the program used.
#
#   sudo bash bench/peer_names_accuracy.sh [FLOWS]      # default 600 tries
#   BUILD_DIR=build-x SEED=7 sudo bash bench/peer_names_accuracy.sh 1000
#
# Prints "N of M flows named right (P %)"; exit status 0 only at 99 % and
# more. Needs dnsmasq, openssl, python3-cryptography and the monitor and
# collector built (cmake --build build --target vantrel vantrel-collect).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=$(realpath "${BUILD_DIR:-build}")
TRIES=${1:-600}
HERE=$(pwd)

if [[ $(id -u) -ne 0 ]]; then
  echo "peer_names_accuracy.sh needs root (network namespaces, packet capture)" >&2
  exit 1
fi
for f in vantrel vantrel-collect; do
  [[ -x $BUILD_DIR/$f ]] || { echo "$BUILD_DIR/$f is missing: build it first" >&2; exit 1; }
done
[[ -x /usr/sbin/dnsmasq ]] || { echo "dnsmasq is missing: apt-get install dnsmasq-base" >&2; exit 1; }
python3 -c 'import cryptography' 2>/dev/null ||
  { echo "python3-cryptography is missing: apt-get install python3-cryptography" >&2; exit 1; }

MON=vt-acc-mon-$$
PEER=vt-acc-peer-$$
A=vta$$a
B=vta$$b
WORK=$(mktemp -d /tmp/vantrel-names-accuracy-XXXXXX)
cleanup() {
  for ns in "$MON" "$PEER"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
  done
  wait 2>/dev/null || true
  for ns in "$MON" "$PEER"; do ip netns del "$ns" 2>/dev/null || true; done
  [[ -n ${KEEP:-} ]] && echo "kept $WORK" || rm -rf "$WORK"
}
trap cleanup EXIT

ip netns add "$MON"
ip netns add "$PEER"
ip link add "$A" netns "$MON" type veth peer name "$B" netns "$PEER"
for ns in "$MON" "$PEER"; do ip -n "$ns" link set lo up; done
ip -n "$MON" addr add 10.79.0.1/24 dev "$A"
ip -n "$MON" addr add fd00:79::1/64 dev "$A" nodad
V4=() V6=()
for i in 2 3 4 5 6 7; do
  ip -n "$PEER" addr add 10.79.0.$i/24 dev "$B"
  ip -n "$PEER" addr add fd00:79::$i/64 dev "$B" nodad
  V4+=(10.79.0.$i) V6+=(fd00:79::$i)
done
ip -n "$PEER" addr add 10.79.0.254/24 dev "$B"
ip -n "$PEER" addr add fd00:79::fe/64 dev "$B" nodad
ip -n "$MON" link set "$A" up
ip -n "$PEER" link set "$B" up

# 36 names on six addresses of each family (six names per address); names
# mid<i> point at n<i> and www<i> at mid<i> (CNAME chains of one and two).
records=() names=()
for i in $(seq 0 35); do
  records+=("--host-record=n$i.vt-acc.test,${V4[$((i % 6))]},${V6[$((i % 6))]}")
  names+=("n$i.vt-acc.test")
  if ((i % 3 == 0)); then
    records+=("--cname=mid$i.vt-acc.test,n$i.vt-acc.test" "--cname=www$i.vt-acc.test,mid$i.vt-acc.test")
    names+=("mid$i.vt-acc.test" "www$i.vt-acc.test")
  fi
done
ip netns exec "$PEER" /usr/sbin/dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts \
  --bind-interfaces --listen-address=10.79.0.254 --listen-address=fd00:79::fe --pid-file= --user=root \
  --local-ttl=60 "${records[@]}" >"$WORK/dnsmasq.log" 2>&1 &
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=vt-acc \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1
ip netns exec "$PEER" python3 "$HERE/bench/peer_names_accuracy.py" serve "$WORK/cert.pem" "$WORK/key.pem" \
  "${V4[@]}" "${V6[@]}" >"$WORK/serve.log" 2>&1 &

ip netns exec "$MON" "$BUILD_DIR/vantrel-collect" --listen 127.0.0.1:20557 >"$WORK/records.jsonl" \
  2>"$WORK/collect.log" &
collector=$!
printf '{"listenerIP": "10.79.0.1", "receiverIP": "127.0.0.1", "receiverPort": 20557, "exportFormat": "ipfix",
 "httpPort": 17998, "user": "admin", "pass": "x"}' >"$WORK/vantrelsettings.json"
(cd "$WORK" && exec ip netns exec "$MON" "$BUILD_DIR/vantrel" >"$WORK/console.log" 2>&1) &
monitor=$!
for _ in $(seq 100); do
  grep -q "Listener Socket IO controls set" "$WORK/console.log" 2>/dev/null && break
  sleep 0.1
done
grep -q "Listener Socket IO controls set" "$WORK/console.log" || { cat "$WORK/console.log"; exit 1; }
sleep 2  # the IPv6 capture, the resolver and the servers are up

echo "build: $BUILD_DIR ($(git -C "$BUILD_DIR/.." rev-parse --short HEAD 2>/dev/null || echo '?')); $TRIES tries"
ip netns exec "$MON" python3 "$HERE/bench/peer_names_accuracy.py" drive "$WORK/flows.json" "$TRIES" \
  "$(IFS=,; echo "${names[*]}")" "10.79.0.254,fd00:79::fe" 2>"$WORK/drive.log"
sed -n 1,5p "$WORK/drive.log" >&2

# An orderly stop exports every open flow; the collector then gets the rest.
kill -TERM "$monitor"
wait "$monitor" || true
sleep 2
kill -TERM "$collector"
wait "$collector" || true
python3 "$HERE/bench/peer_names_accuracy.py" check "$WORK/flows.json" "$WORK/records.jsonl"
