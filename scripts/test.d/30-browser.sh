#!/usr/bin/env bash
# The dashboard in a real browser: Debian's chromium driven by playwright-core
# (installed from the lock file; never a browser download) against the monitor
# built by stage 10, inside network namespaces the test makes itself.
set -euo pipefail
root="${VANTREL_ROOT:-$PWD}"
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
# The machine's own Node.js (20 or later, which playwright-core asks for).
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  echo "node and npm are needed for the browser test"; exit 1
fi
if (( $(node -p 'process.versions.node.split(".")[0]') < 20 )); then
  echo "Node.js 20 or later is needed for the browser test, found $(node --version)"; exit 1
fi
[[ -x /usr/bin/chromium ]] || { echo "no /usr/bin/chromium (Debian package chromium)"; exit 1; }
cd "$root/tests/browser"
npm ci --no-audit --no-fund --loglevel=error
node --test format.test.js
VANTREL_BIN="${VANTREL_BIN:-$root/build/vantrel}" timeout 300 node dashboard.e2e.js
VANTREL_COLLECT="${VANTREL_COLLECT:-$root/build/vantrel-collect}" timeout 120 node --test collector.e2e.js
