#!/usr/bin/env bash
# The page tests' npm packages (playwright-core only; it never downloads a browser: the tests use
# Debian's chromium). Installs from the lock file when the installed tree does not match it.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
cd "$here/tests/ui"
if [ -f node_modules/.package-lock.json ] && cmp -s <(sed -n '/"node_modules\//,$p' package-lock.json) \
     <(sed -n '/"node_modules\//,$p' node_modules/.package-lock.json); then
  exit 0
fi
# Node itself: kept as it is when present (this machine's is Node 20, which playwright-core asks
# for); otherwise Debian's.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nodejs npm
fi
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
timeout -k 5 300 npm ci --no-audit --no-fund
# setup runs as root: leave the tree to the owner of the checkout.
owner=$(stat -c %u:%g "$here/tests/ui")
chown -R "$owner" node_modules 2>/dev/null || true
