#!/usr/bin/env bash
# Runs one browser test file with Node; fails loudly when Node or the pinned npm packages are missing.
set -euo pipefail
cd "$(dirname "$0")"
node=${1:-}
shift || true
if [ -z "$node" ] || [ "$node" = "LECTERN_NODE-NOTFOUND" ] || ! [ -x "$node" ]; then
  echo "browser tests need Node.js: run scripts/setup.sh" >&2
  exit 1
fi
if ! [ -d node_modules/puppeteer-core ] || ! [ -d node_modules/ws ]; then
  echo "browser tests need their npm packages (tests/web/node_modules): run scripts/setup.sh" >&2
  exit 1
fi
exec "$node" --test "$@"
