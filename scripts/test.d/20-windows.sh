#!/usr/bin/env bash
# The Windows side: JsonCpp and libmicrohttpd built for Windows from Debian's
# source packages; every source cross-compiled with mingw-w64 (no warnings
# allowed in our code), vantrel.exe and vantrel-collect.exe linked and packed
# into the release zip; the platform layer's test program run under wine64,
# and then the zip's content, end to end, beside the Linux programs of the
# main build (stage 10).
set -euo pipefail
root="${VANTREL_ROOT:-$PWD}"
cd "$root"
started=$SECONDS
step() { echo "--- $1 (at $((SECONDS - started)) s)"; }

step "Windows libraries"
bash scripts/windows-libraries.sh build-windows/third-party

step "cross build"
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DVANTREL_TESTS=ON
cmake --build build-windows -j"$(nproc)"

step "release zip"
cmake --build build-windows --target windows-zip
package=build-windows/vantrel-windows-x64
# Only Windows' own DLLs and the libmicrohttpd DLL that travels in the zip:
# the MinGW runtime is linked in.
for exe in vantrel.exe vantrel-collect.exe libmicrohttpd-12.dll; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$package/$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort)
  echo "$exe: $(stat -c %s "$package/$exe") bytes; imports $(echo $dlls)"
  if unexpected=$(grep -Eiv '^(advapi32|bcrypt|iphlpapi|kernel32|msvcrt|ws2_32|libmicrohttpd-12)\.dll$' <<<"$dlls"); then
    echo "$exe needs DLLs that do not travel with it: $unexpected"; exit 1
  fi
done
size=$(stat -c %s "$package/vantrel.exe")
(( size < 4000000 )) || { echo "vantrel.exe is $size bytes, over 4 MB"; exit 1; }

step "Windows platform test under wine64"
(cd build-windows && ctest --output-on-failure --no-tests=error -j1 --timeout 600)

step "release zip under wine64, end to end"
# Stage 10's options, so that its build is reused as it stands.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_TESTS=ON -DVANTREL_BENCH=ON -DVANTREL_FUZZ=OFF \
  -DVANTREL_SANITIZE= >/dev/null
cmake --build build -j"$(nproc)" --target vantrel_wine_tests
VANTREL_WINDOWS_ZIP="$root/build-windows/vantrel-windows-x64.zip" timeout 600 build/vantrel_wine_tests
step "done"
