#!/usr/bin/env bash
# Lints the students' page, its browser tests and its benchmarks with ESLint
# (tests/web/eslint.config.js); fails loudly when Node or the pinned npm packages are missing.
set -euo pipefail
cd "$(dirname "$0")"
node=${1:-}
if [ -z "$node" ] || [ "$node" = "LECTERN_NODE-NOTFOUND" ] || ! [ -x "$node" ]; then
  echo "the lint needs Node.js: run scripts/setup.sh" >&2
  exit 1
fi
for p in eslint @eslint/js globals; do
  if ! [ -d "node_modules/$p" ]; then
    echo "the lint needs its npm packages (tests/web/node_modules/$p): run scripts/setup.sh" >&2
    exit 1
  fi
done
eslint=$PWD/node_modules/eslint/bin/eslint.js
config=$PWD/eslint.config.js
# From the top, so the page's sources are inside ESLint's base path.
cd ../..
exec "$node" "$eslint" --config "$config" --max-warnings 0 web/student/js tests/web bench/*.mjs
