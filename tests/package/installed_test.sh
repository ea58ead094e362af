#!/usr/bin/env bash
# The installed package run as its systemd unit runs it, on a machine left as
# it was found: in a mount namespace of this test's own, /etc, /usr and /var
# are overlays whose changes vanish with it, and a network namespace of its
# own holds only loopback. There the .deb is installed with dpkg, the monitor
# started with the unit's command line, account and capabilities (setpriv,
# no new privileges), everything read-only but its state folder; then the
# package is purged and nothing of it may remain.
#   installed_test.sh build/vantrel_<version>_<arch>.deb
set -uo pipefail
deb=$(realpath "$1")

if [[ -z ${VANTREL_INSIDE:-} ]]; then
  if [[ $(id -u) != 0 ]]; then echo "SKIPPED: needs root (namespaces, dpkg)"; exit 0; fi
  work=$(mktemp -d /tmp/vantrel-installed-XXXXXX)
  trap 'rm -rf "$work"' EXIT
  VANTREL_INSIDE=$work unshare --mount --net --propagation private --fork bash "$0" "$deb"
  exit
fi

work=$VANTREL_INSIDE
failures=0
check() {  # check DESCRIPTION COMMAND...: one line per check
  if "${@:2}" >/dev/null 2>&1; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}
same() { [[ "$1" == "$2" ]] || { echo "     '$1' is not '$2'" >&2; return 1; }; }
waitFor() {  # waitFor SECONDS COMMAND...
  local until=$((SECONDS + $1))
  until "${@:2}" >/dev/null 2>&1; do ((SECONDS < until)) || return 1; sleep 0.2; done
}
data() { curl -sf --cacert /var/lib/vantrel/vantrel.crt --digest -u admin:qolpe "https://127.0.0.1:7909/data/?${1:-}"; }
fingerprint() { openssl x509 -in /var/lib/vantrel/vantrel.crt -noout -fingerprint -sha256 | cut -d= -f2; }
packetsCounted() { data | grep -Eq '"snifferPacketCount" : [1-9]'; }
kernelOwners() { data | grep -q '"ownerSource" : "kernel events"'; }
cleanup() {
  [[ -n ${collector:-} ]] && kill "$collector" 2>/dev/null
  [[ -n ${monitor:-} ]] && kill -9 "$monitor" 2>/dev/null
  wait 2>/dev/null
  if ((failures)); then echo "--- console"; cat "$work/console.log"; echo "--- collector"; cat "$work/collect.log"; fi
}
trap cleanup EXIT

cp /etc/passwd /etc/group /etc/shadow /etc/gshadow /etc/subuid /etc/subgid "$work/"
for d in etc usr var; do
  mkdir -p "$work/$d.upper" "$work/$d.work"
  mount -t overlay overlay -o "lowerdir=/$d,upperdir=$work/$d.upper,workdir=$work/$d.work" "/$d" || exit 1
done
ip link set lo up
ip addr add 127.0.0.2/8 dev lo

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
unit=/lib/systemd/system/vantrel.service
key() { sed -n "s/^$1=//p" "$unit"; }
capList() { key "$1" | tr 'A-Z ' 'a-z\n' | sed 's/^cap_/+/' | paste -sd,; }
check "systemd-analyze verify accepts the unit" systemd-analyze verify "$unit"
check "account vantrel is a system account without login" \
  same "$(getent passwd vantrel | cut -d: -f6-7)" "/var/lib/vantrel:/usr/sbin/nologin"
check "state folder belongs to it, private" same "$(stat -c '%U:%G %a' /var/lib/vantrel)" "vantrel:vantrel 750"
check "resources/web leads to the dashboard" test -f /var/lib/vantrel/resources/web/index.html
# The command line: arguments, exit status, where the answer goes, a line it holds.
while IFS='|' read -r args status stream line; do
  out=$(vantrel $args 2>"$work/err")
  code=$?
  [[ $stream == err ]] && out=$(<"$work/err")
  check "vantrel $args: status $status, $stream has $line" same "$code $(grep -Ec -- "$line" <<<"$out")" "$status 1"
done <<'TABLE'
--version|0|out|^vantrel [0-9]+\.[0-9]+\.[0-9]+ \(commit ([0-9a-f]+|unknown)\)$
--help|0|out|^  --workdir DIR
--frobnicate|2|err|^Usage: vantrel
--workdir /nonexistent|1|err|^vantrel: cannot work in /nonexistent: No such file or directory$
--install-service|2|err|^vantrel: --install-service is for Windows
TABLE
check "bounding set and ambient capabilities agree" same "$(capList AmbientCapabilities)" "$(capList CapabilityBoundingSet)"

# The unit's command line, account, capabilities and sandbox.
read -ra command <<<"$(key ExecStart)"
caps=$(capList AmbientCapabilities)
unshare --mount --propagation private sh -c '
  mount --bind /var/lib/vantrel /var/lib/vantrel                      # StateDirectory
  for m in / /etc /usr /var; do mount -o remount,bind,ro "$m"; done   # ProtectSystem=strict
  mount -t tmpfs tmpfs /tmp                                           # PrivateTmp
  for h in /home /root /run/user; do [ -d "$h" ] && mount -t tmpfs -o mode=000 tmpfs "$h"; done  # ProtectHome
  umask 0077
  exec "$@"' sh setpriv --reuid="$(key User)" --regid="$(key Group)" --init-groups --no-new-privs \
  --inh-caps=-all,"$caps" --ambient-caps=-all,"$caps" --bounding-set=-all,"$caps" -- "${command[@]}" \
  >"$work/console.log" 2>&1 &
monitor=$!
/usr/bin/vantrel-collect --listen 127.0.0.1:2055 >"$work/collect.log" 2>&1 &
collector=$!
check "monitor started" waitFor 10 grep -q "In main" "$work/console.log"
status=$(cat "/proc/$monitor/status")
want=$(tr , '\n' <<<"$caps" | sed 's/^+/cap_/' | sort | paste -sd,)
got=$(capsh --decode="$(sed -n 's/^CapEff:.//p' <<<"$status")" | cut -d= -f2 | tr , '\n' | sort | paste -sd,)
check "monitor runs as vantrel" grep -q "^Uid:.*\b$(id -u vantrel)\b" <<<"$status"
check "with no new privileges" grep -q "^NoNewPrivs:.1" <<<"$status"
check "with exactly the unit's capabilities" same "$got" "$want"
check "settings file private to vantrel" same "$(stat -c '%U %a' /var/lib/vantrel/vantrelsettings.json)" "vantrel 600"
check "HTTPS on from the first install" grep -q '"https" : true' /var/lib/vantrel/vantrelsettings.json
check "certificate made at the first start, key private to vantrel" \
  same "$(stat -c '%U %a' /var/lib/vantrel/vantrel.key)" "vantrel 600"
check "the fingerprint printed is the certificate's" \
  grep -q "^HTTPS certificate SHA-256 fingerprint: $(fingerprint)$" "$work/console.log"
check "the service answers HTTPS with that certificate" data
check "plain HTTP gets no data" same "$(curl -s --max-time 5 --digest -u admin:qolpe http://127.0.0.1:7909/data/)" ""

data "listenerIP=127.0.0.2&receiverIP=127.0.0.1&receiverPort=2055&savesettings=1" >/dev/null
check "settings change saved" grep -q '"listenerIP" : "127.0.0.2"' /var/lib/vantrel/vantrelsettings.json
check "capture restarted on 127.0.0.2" waitFor 10 grep -q "Listener Socket IO controls set" "$work/console.log"
# A local program (root's, not the monitor's account) with a flow of its own.
python3 -c '
import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.2", 40001))
for _ in range(9): s.sendto(b"flow", ("127.0.0.1", 40002)); time.sleep(0.05)
time.sleep(1.5)'
check "capture counts packets" waitFor 5 packetsCounted
if [[ -e /sys/kernel/btf/vmlinux ]]; then
  check "socket owners from the kernel's events, with the unit's capabilities" kernelOwners
fi

kill -TERM "$monitor"
started=$SECONDS
wait "$monitor"
code=$?
monitor=
check "SIGTERM: exit status 0" same "$code" 0
check "SIGTERM: stopped within the unit's TimeoutStopSec" test $((SECONDS - started)) -le "$(key TimeoutStopSec | tr -d s)"
check "SIGTERM: the program's open flow exported, with its owner" waitFor 3 \
  grep -q '"dstport":40002,.*"pkts":9,"processname":"[^"]*python3[^"]*",.*"user":"root"' "$work/collect.log"
kill "$collector"
wait "$collector" 2>/dev/null
collector=

dpkg --purge vantrel >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; failures=$((failures + 1)); }
for f in passwd group shadow gshadow subuid subgid; do check "purge: /etc/$f as before" cmp -s "/etc/$f" "$work/$f"; done
left=$(cd "$work" && find etc.upper usr.upper var.upper -mindepth 1 \( -type f -o -type l \) |
  grep -Ev '^var.upper/(lib/dpkg|log|cache)/|^etc.upper/(passwd|group|shadow|gshadow|subuid|subgid)-?$|^etc.upper/\.pwd\.lock$')
check "purge: nothing else left" same "$left" ""
[[ -z $left ]] || echo "$left"

echo "$failures failed"
((failures == 0))
