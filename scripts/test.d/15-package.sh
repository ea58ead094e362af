#!/usr/bin/env bash
# The Debian package, from stage 10's build: built by CPack, its contents and
# lintian's verdict shown, then installed, run as its systemd unit runs it and
# purged inside namespaces of its own (tests/package/installed_test.sh, which
# also has systemd-analyze verify the installed unit).
set -euo pipefail
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TESTS=ON -DVANTREL_BENCH=ON -DVANTREL_FUZZ=OFF \
  -DVANTREL_SANITIZE= >/dev/null
rm -f build/vantrel_*.deb
cmake --build build --target package -j"$(nproc)"
deb=$(echo build/vantrel_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo "--- lintian"
lintian --fail-on error --display-info "$deb"
echo "--- installed"
bash tests/package/installed_test.sh "$deb"
