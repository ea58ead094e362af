# Sourced by the scripts that run a program under Wine: a throw-away prefix
# in $prefix for the loader $wine, made afresh and booted (bounded in time),
# its wineserver stopped and the prefix removed when the script exits. No
# display is needed.
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
if ! timeout 300 "$wine" wineboot --init >"$prefix.boot.log" 2>&1; then
  echo "wineboot --init failed or took over 300 s:" >&2
  cat "$prefix.boot.log" >&2
  exit 1
fi
