#!/usr/bin/env bash
# The whole side-by-side comparison, as root on Debian 12: installs what is
# missing, builds the monitor and the two benchmarks, replays the captures to
# the monitor and to softflowd, times the port-table refresh against
# `ss -tanp`, measures memory per open flow, and writes report.md.
#
#   sudo bash bench/compare/run.sh            # everything, about 15 minutes
#   BUILD_DIR=build-x OUT=/tmp/cmp bash bench/compare/run.sh --rates 10000,max
#
# Extra arguments go to compare.py (see its --help). Outputs stay in $OUT
# (default bench/compare/out, not tracked by git).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
OUT=${OUT:-bench/compare/out}

if [[ $(id -u) -ne 0 ]]; then
  echo "run.sh needs root (network namespaces, packet capture)" >&2
  exit 1
fi

bash scripts/install-deps.sh --test
missing=()
for p in softflowd tcpreplay curl iproute2 python3 procps util-linux; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target vantrel flow_memory_bench refresh_compare_bench

mkdir -p "$OUT"
{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  lscpu | grep -E '^(Model name|CPU\(s\)|Thread\(s\) per core|Core\(s\) per socket|Hypervisor vendor):' |
    sed 's/  */ /g'
  echo "memory: $(free -h | awk '/^Mem:/ {print $2}')"
  echo "kernel: $(uname -r)"
  echo "softflowd: $(dpkg-query -W -f='${Version}' softflowd)"
  echo "tcpreplay: $(dpkg-query -W -f='${Version}' tcpreplay)"
  echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
} > "$OUT/machine.txt"

python3 bench/compare/compare.py --vantrel "$BUILD_DIR/vantrel" --out "$OUT" "$@"

# The refresh comparison in a namespace of its own, so the table holds the
# benchmark's 1,000 sockets and nothing else.
ns=vt-cmp-refresh
ip netns del "$ns" 2>/dev/null || true
ip netns add "$ns"
trap 'ip netns del "$ns" 2>/dev/null || true' EXIT
ip -n "$ns" link set lo up
ip netns exec "$ns" "$BUILD_DIR/refresh_compare_bench" --benchmark_format=json --benchmark_out="$OUT/refresh.json" \
  --benchmark_out_format=json >/dev/null
ip netns del "$ns"

"$BUILD_DIR/flow_memory_bench" --benchmark_format=json --benchmark_out="$OUT/memory.json" \
  --benchmark_out_format=json >/dev/null

echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)" >> "$OUT/machine.txt"
python3 bench/compare/report.py "$OUT" > "$OUT/report.md"
cat "$OUT/report.md"
