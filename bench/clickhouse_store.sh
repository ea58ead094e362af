#!/usr/bin/env bash
# Runs build/clickhouse_store_bench against a ClickHouse server of its own:
# Debian's clickhouse-server on local ports, its data in a temporary folder
# removed at the end. Extra arguments go to the benchmark program.
#   bash bench/clickhouse_store.sh [--benchmark_filter=...]
set -euo pipefail
cd "$(dirname "$0")/.."
bench=build/clickhouse_store_bench
[[ -x $bench ]] || { echo "build $bench first (cmake -DVANTREL_BENCH=ON)"; exit 1; }
[[ -x /usr/sbin/clickhouse-server ]] || { echo "needs clickhouse-server (scripts/install-deps.sh --test)"; exit 1; }
dir=$(mktemp -d)
port=$((20000 + RANDOM % 20000))
trap 'kill $(cat "$dir/pid" 2>/dev/null) 2>/dev/null || true; sleep 2; rm -rf "$dir"' EXIT
cat >"$dir/config.xml" <<XML
<?xml version="1.0"?>
<yandex>
  <logger><level>warning</level><console>1</console></logger>
  <http_port>$port</http_port>
  <tcp_port>$((port + 1))</tcp_port>
  <listen_host>127.0.0.1</listen_host>
  <path>$dir/data/</path>
  <tmp_path>$dir/tmp/</tmp_path>
  <mark_cache_size>1073741824</mark_cache_size>
  <users_config>users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
</yandex>
XML
cat >"$dir/users.xml" <<XML
<?xml version="1.0"?>
<yandex>
  <profiles><default></default></profiles>
  <users><default><password></password><networks><ip>127.0.0.1</ip></networks><profile>default</profile><quota>default</quota></default></users>
  <quotas><default></default></quotas>
</yandex>
XML
/usr/sbin/clickhouse-server --config-file="$dir/config.xml" >"$dir/server.log" 2>&1 &
echo $! >"$dir/pid"
for _ in $(seq 60); do
  curl -sf "http://127.0.0.1:$port/?query=SELECT%201" >/dev/null && break
  sleep 1
done
curl -sf --data-binary "CREATE DATABASE bench" "http://127.0.0.1:$port/" >/dev/null
VANTREL_CLICKHOUSE="clickhouse://127.0.0.1:$port/bench" "$bench" "$@"
echo "on disk: $(curl -sf --data-binary "SELECT sum(bytes_on_disk), sum(rows) FROM system.parts WHERE active AND database = 'bench'" "http://127.0.0.1:$port/") (bytes, records)"
