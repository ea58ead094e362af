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
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
for path in ./usr/bin/vantrel ./usr/bin/vantrel-collect ./usr/share/vantrel/web/index.html \
    ./var/lib/vantrel/resources/web ./lib/systemd/system/vantrel.service ./usr/share/doc/vantrel/copyright \
    ./usr/share/doc/vantrel/changelog.gz; do
  grep -Eq " $path( ->|$)" <<<"$contents" || { echo "the package lacks $path"; exit 1; }
done
echo "--- lintian"
lintian --fail-on error --display-info "$deb"
echo "--- installed"
bash tests/package/installed_test.sh "$deb"
