#!/usr/bin/env bash
# The Windows service through Wine's service manager, in a throw-away prefix:
#   service-under-wine.sh <wine loader> <prefix folder> <program.exe> [port]
# The program (vantrel.exe, or service_test.cc's stand-in) is installed with
# --install-service, started and stopped with sc, and removed with
# --remove-service; in between its state file or, given a port, the monitor's
# /data/ on 127.0.0.1 must show it running. With a port (root only) it runs
# in a network namespace of its own with only loopback.
set -uo pipefail
wine=$1 prefix=$2 exe=$3 port=${4:-}
[[ $prefix == /*/* ]] || { echo "service-under-wine.sh: prefix must be an absolute path below /: $prefix" >&2; exit 2; }
if [[ -n $port && -z ${VANTREL_INSIDE:-} ]]; then
  VANTREL_INSIDE=1 exec unshare --net bash "$0" "$@"
fi
[[ -n $port ]] && ip link set lo up

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
wineserver=$(dirname "$wine")/wineserver
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || echo wineserver)
finish() {
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  rm -rf "$prefix"
}
trap finish EXIT
rm -rf "$prefix"
mkdir -p "$prefix"
timeout 300 "$wine" wineboot --init >"$prefix.boot.log" 2>&1 || { echo "wineboot --init failed" >&2; exit 1; }
# The boot finishes and its server ends (else two service managers may run);
# then one server, with one service manager, for the whole test: a fresh one
# would start the automatic-start service again.
# Its processes keep the output they were started with: not this script's.
timeout 300 "$wineserver" -w
"$wineserver" -p >/dev/null 2>&1
timeout 300 "$wine" sc query vantrel >>"$prefix.boot.log" 2>&1

cd "$(dirname "$exe")"
state=service-state.txt
rm -f "$state"
failures=0
check() {  # check DESCRIPTION COMMAND...
  if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}
sc() { timeout 60 "$wine" sc "$@" 2>&1 | tr -d '\r'; }
waitFor() {  # waitFor SECONDS COMMAND...
  local until=$((SECONDS + $1))
  until "${@:2}" >/dev/null 2>&1; do ((SECONDS < until)) || return 1; sleep 0.5; done
}
stateIs() { [[ $(sc query vantrel) =~ STATE\ +:\ [0-9]+\ +$1 ]]; }
running() {
  if [[ -n $port ]]; then
    [[ $(curl -sf --digest -u admin:qolpe "http://127.0.0.1:$port/data/") =~ snifferPacketCount ]]
  else
    [[ $(cat "$state" 2>/dev/null) == running ]]
  fi
}
# The body returned (status 0 reported); the stand-in also wrote its state.
stoppedInOrder() {
  [[ $(sc query vantrel) =~ WIN32_EXIT_CODE\ +:\ 0\  ]] && { [[ -n $port ]] || [[ $(cat "$state") == "stopped in order" ]]; }
}
notListed() { [[ ! $(sc query vantrel) =~ STATE ]]; }

out=$(timeout 60 "$wine" "$exe" --install-service 2>&1 | tr -d '\r')
check "--install-service: $out" grep -q "installed (automatic start)" <<<"$out"
# Wine's sc has no "qc": the service manager's registry key instead.
config=$(timeout 60 "$wine" reg query 'HKLM\System\CurrentControlSet\Services\vantrel' 2>&1 | tr -d '\r')
check "registered for automatic start" grep -Eq "Start +REG_DWORD +0x2$" <<<"$config"
check "with --service and the program's folder" grep -q -- '--service --workdir "[A-Z]:.*"' <<<"$config"
sc start vantrel >/dev/null
check "sc start: RUNNING" waitFor 30 stateIs RUNNING
check "running, in the program's folder" waitFor 30 running
sc stop vantrel >/dev/null
check "sc stop: STOPPED" waitFor 30 stateIs STOPPED
check "stopped in order" stoppedInOrder
out=$(timeout 60 "$wine" "$exe" --remove-service 2>&1 | tr -d '\r')
check "--remove-service: $out" grep -q "removed" <<<"$out"
check "gone from the service manager" notListed
echo "$failures failed"
((failures == 0))
