# Sourced by the benchmark scripts: start_clickhouse DIR PORT [NETNS] starts
# Debian's clickhouse-server with its data in DIR, HTTP on 127.0.0.1:PORT
# (native protocol on PORT+1), inside network namespace NETNS when given, and
# waits until it answers; its pid is in DIR/pid. stop_clickhouse DIR ends it.
start_clickhouse() {
  local dir=$1 port=$2 netns=${3:-}
  [[ -x /usr/sbin/clickhouse-server ]] || { echo "needs clickhouse-server (scripts/install-deps.sh --test)" >&2; return 1; }
  mkdir -p "$dir"
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
  local run=()
  [[ -n $netns ]] && run=(ip netns exec "$netns")
  "${run[@]}" /usr/sbin/clickhouse-server --config-file="$dir/config.xml" >"$dir/server.log" 2>&1 &
  echo $! >"$dir/pid"
  for _ in $(seq 60); do
    "${run[@]}" curl -sf "http://127.0.0.1:$port/?query=SELECT%201" >/dev/null && return 0
    sleep 1
  done
  echo "clickhouse-server did not start: $(tail -3 "$dir/server.log")" >&2
  return 1
}

# clickhouse_sql PORT SQL [NETNS]: runs one statement, prints its answer.
clickhouse_sql() {
  local run=()
  [[ -n ${3:-} ]] && run=(ip netns exec "$3")
  "${run[@]}" curl -sf --data-binary "$2" "http://127.0.0.1:$1/"
}

stop_clickhouse() {
  kill "$(cat "$1/pid" 2>/dev/null)" 2>/dev/null || true
  sleep 2
}
