#!/usr/bin/env bash
# Open-ended fuzzing of the parsers: scripts/fuzz.sh [target ...] [-- libFuzzer options]
# Targets are the fuzz_* programs the build makes (build/fuzz/bin); default: all of them, one after
# the other, each for $FUZZ_SECONDS (default 300; 0 runs a single target until stopped). Each
# target grows its own corpus in build/fuzz/work/<target>, seeded from fuzz/corpus/<target>;
# crashes land in build/fuzz/work/<target>/artifacts. Add a found input to fuzz/corpus/<target>
# once its fault is fixed, so the test replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${LECTERN_BUILD_DIR:-build}
bin="$build_dir/fuzz/bin"
[ -d "$bin" ] || { echo "fuzz: $bin missing; build first (scripts/setup.sh)" >&2; exit 1; }

targets=()
while (($#)) && [ "$1" != "--" ]; do targets+=("$1"); shift; done
[ "${1:-}" = "--" ] && shift
if ((${#targets[@]} == 0)); then
  for t in "$bin"/fuzz_*; do targets+=("$(basename "$t")"); done
fi
seconds=${FUZZ_SECONDS:-300}
if [ "$seconds" = 0 ] && ((${#targets[@]} > 1)); then
  echo "fuzz: FUZZ_SECONDS=0 (until stopped) takes one target" >&2
  exit 1
fi

status=0
for t in "${targets[@]}"; do
  t=${t#fuzz_}
  exe="$bin/fuzz_$t"
  [ -x "$exe" ] || { echo "fuzz: no target fuzz_$t in $bin" >&2; exit 1; }
  work="$build_dir/fuzz/work/$t"
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "== fuzz_$t"
  time_limit=()
  [ "$seconds" != 0 ] && time_limit=(-max_total_time="$seconds")
  set +e
  "$exe" -detect_leaks=0 -print_final_stats=1 "${time_limit[@]}" -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "fuzz/corpus/$t" "$@" 2>&1 | tee "$work/last.log" |
    grep --line-buffered -E "INITED|DONE|pulse|ERROR|SUMMARY|property violated|^stat::(number_of_executed|peak_rss)"
  rc=${PIPESTATUS[0]}
  set -e
  if [ "$rc" != 0 ]; then
    echo "fuzz_$t: found a fault, see $work/artifacts and $work/last.log" >&2
    status=1
  fi
done
exit $status
