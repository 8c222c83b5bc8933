#!/usr/bin/env bash
# Builds the benchmarks and runs each one; every benchmark prints its own rows of figures.
set -euo pipefail
cd "$(dirname "$0")/.."
LECTERN_CMAKE_ARGS="-DLECTERN_BENCH=ON" scripts/setup.sh
build_dir=${LECTERN_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DLECTERN_BENCH=ON >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
# The figures, not the product's diagnostics.
export QT_LOGGING_RULES=${QT_LOGGING_RULES:-"*.debug=false"}
status=0
for b in "$build_dir"/bench/bench_*; do
  [ -f "$b" ] && [ -x "$b" ] || continue
  if [ $# -gt 0 ] && [[ " $* " != *" $(basename "$b") "* ]]; then continue; fi
  echo "== $(basename "$b")"
  # Media need a network interface of their own: the media tests' namespace.
  run=()
  [ "$(basename "$b")" = bench_fanout ] && run=(tests/media/netns-run.sh)
  "${run[@]}" "$b" || { echo "$(basename "$b"): exited with $? (a target missed or the run failed)"; status=1; }
done
if [ $# -eq 0 ] || [[ " $* " == *" bench_page "* ]]; then echo "== bench_page"; LECTERN_BIN_DIR="$(cd "$build_dir" && pwd)/bin" tests/media/netns-run.sh node bench/bench_page.mjs || { echo "bench_page: a target missed or the run failed"; status=1; }; fi
if [ $# -eq 0 ] || [[ " $* " == *" bench_replay_open "* ]]; then echo "== bench_replay_open"; LECTERN_BIN_DIR="$(cd "$build_dir" && pwd)/bin" node bench/bench_replay_open.mjs || { echo "bench_replay_open: the run failed"; status=1; }; fi
exit $status
