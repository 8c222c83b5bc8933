#!/usr/bin/env bash
# Installs and builds (setup.sh), then runs every test suite headless.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/format.sh --check
export QT_QPA_PLATFORM=offscreen
cd "${LECTERN_BUILD_DIR:-build}"
ctest --output-on-failure -j "$(nproc)" "$@"
