#!/usr/bin/env bash
# Installs the Debian packages the monitor needs, and with --test those the
# test suite needs too. Installs only what is missing; safe to run again.
set -euo pipefail

packages=(g++ cmake make pkg-config libjsoncpp-dev libmicrohttpd-dev libgnutls28-dev libsqlite3-dev clang libbpf-dev bpftool)
if [[ "${1:-}" == "--test" ]]; then
  packages+=(googletest libgtest-dev libgmock-dev libbenchmark-dev curl iproute2 iputils-ping
             python3 procps)
  # Extra stages add their own packages here, one per line.
  if [[ -f scripts/test-packages.txt ]]; then
    while read -r p; do [[ -n "$p" && "$p" != \#* ]] && packages+=("$p"); done < scripts/test-packages.txt
  fi
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
