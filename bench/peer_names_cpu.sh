#!/usr/bin/env bash
# CPU per packet of the monitor with peerNames true against the same run with
# it false, as root: bench/compare's replay (tcpreplay over a veth pair
# between two namespaces), a monitor of each setting watching every replay
# at the same time, so both meet the same packets and the same load, on the
# mixed capture and on one where a realistic share of flows carries names
# (DNS look-ups before a quarter of the local host's flows, TLS ClientHellos
# on its flows to port 443). Prints the table of both and their ratio.
#
#   sudo bash bench/peer_names_cpu.sh
#   BUILD_DIR=build OUT=/tmp/pn-cpu sudo bash bench/peer_names_cpu.sh --rates 50000,max --repeat 5
#
# Extra arguments go to bench/compare/compare.py. Needs tcpreplay, curl and
# the monitor built (cmake --build build --target vantrel).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
OUT=${OUT:-bench/compare/out-names}
if [[ $(id -u) -ne 0 ]]; then
  echo "peer_names_cpu.sh needs root (network namespaces, packet capture)" >&2
  exit 1
fi
[[ -x $BUILD_DIR/vantrel ]] || { echo "$BUILD_DIR/vantrel is missing: build it first" >&2; exit 1; }
exec python3 bench/compare/compare.py --vantrel "$BUILD_DIR/vantrel" --out "$OUT" \
  --programs vantrel,vantrel-names-off --together --scenarios mixed,names --rates 50000,200000,max --repeat 5 "$@"
