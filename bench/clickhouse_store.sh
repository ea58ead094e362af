#!/usr/bin/env bash
# Runs build/clickhouse_store_bench against a ClickHouse server of its own:
# Debian's clickhouse-server on local ports, its data in a temporary folder
# removed at the end. Extra arguments go to the benchmark program.
#   bash bench/clickhouse_store.sh [--benchmark_filter=...]
set -euo pipefail
cd "$(dirname "$0")/.."
bench=build/clickhouse_store_bench
[[ -x $bench ]] || { echo "build $bench first (cmake -DVANTREL_BENCH=ON)"; exit 1; }
source bench/clickhouse_server.sh
dir=$(mktemp -d)
port=$((20000 + RANDOM % 20000))
trap 'stop_clickhouse "$dir"; rm -rf "$dir"' EXIT
start_clickhouse "$dir" "$port"
clickhouse_sql "$port" "CREATE DATABASE bench" >/dev/null
VANTREL_CLICKHOUSE="clickhouse://127.0.0.1:$port/bench" "$bench" "$@"
echo "on disk: $(clickhouse_sql "$port" "SELECT sum(bytes_on_disk), sum(rows) FROM system.parts WHERE active AND database = 'bench'") (bytes, records)"
