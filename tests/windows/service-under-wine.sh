#!/usr/bin/env bash
# vantrel.exe as a service of Wine's service manager, in a throw-away prefix
# and a network namespace with only loopback (root):
#   service-under-wine.sh <wine loader> <prefix folder> <folder>/vantrel.exe
# Installed with --install-service, started and stopped with sc, removed with
# --remove-service; while it runs /data/ must answer on 127.0.0.1:7909.
set -uo pipefail
wine=$1 prefix=$2 exe=$3
[[ $prefix == /*/* ]] || { echo "service-under-wine.sh: prefix must be an absolute path below /: $prefix" >&2; exit 2; }
[[ $(id -u) == 0 ]] || { echo "SKIPPED: needs root (network namespace)"; exit 0; }
if [[ -z ${VANTREL_INSIDE:-} ]]; then VANTREL_INSIDE=1 exec unshare --net bash "$0" "$@"; fi
ip link set lo up

source "$(dirname "$0")/wine-prefix.sh"
# The boot finishes and its server ends (else two service managers may run);
# then one server, with one service manager, for the whole test: a fresh one
# would start the automatic-start service again. Its processes keep the
# output they were started with: not this script's.
timeout 300 "$wineserver" -w
"$wineserver" -p >/dev/null 2>&1
timeout 300 "$wine" sc query vantrel >>"$prefix.boot.log" 2>&1

# The program's folder copied, so that the files the service writes stay
# with the prefix.
[[ -f $exe ]] || { echo "no $exe (the folder of the windows-zip target)" >&2; exit 1; }
cp -r "$(dirname "$exe")" "$prefix/app"
exe=$prefix/app/$(basename "$exe")
cd "$prefix/app"

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
answering() {
  [[ -f vantrelsettings.json && $(curl -sf --digest -u admin:qolpe http://127.0.0.1:7909/data/) =~ snifferPacketCount ]]
}
# The orderly stop returned: the service reported exit status 0.
exitedZero() { [[ $(sc query vantrel) =~ WIN32_EXIT_CODE\ +:\ 0\  ]]; }
notListed() { [[ ! $(sc query vantrel) =~ STATE ]]; }

out=$(timeout 60 "$wine" "$exe" --install-service 2>&1 | tr -d '\r')
check "--install-service: $out" grep -q "installed (automatic start)" <<<"$out"
# Wine's sc has no "qc": the service manager's registry key instead.
config=$(timeout 60 "$wine" reg query 'HKLM\System\CurrentControlSet\Services\vantrel' 2>&1 | tr -d '\r')
check "registered for automatic start" grep -Eq "Start +REG_DWORD +0x2$" <<<"$config"
check "with --service and the program's folder" grep -q -- '--service --workdir "[A-Z]:.*"' <<<"$config"
sc start vantrel >/dev/null
check "sc start: RUNNING" waitFor 30 stateIs RUNNING
check "settings file in the program's folder, /data/ answering" waitFor 30 answering
sc stop vantrel >/dev/null
check "sc stop: STOPPED" waitFor 30 stateIs STOPPED
check "stopped in order (exit status 0)" exitedZero
out=$(timeout 60 "$wine" "$exe" --remove-service 2>&1 | tr -d '\r')
check "--remove-service: $out" grep -q "removed" <<<"$out"
check "gone from the service manager" notListed
echo "$failures failed"
((failures == 0))
