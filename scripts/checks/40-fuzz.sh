#!/usr/bin/env bash
# Fuzzing with libFuzzer (clang, with ASan and UBSan): the frame exchange fed
# arbitrary byte streams and arrival times, and the release check fed
# arbitrary releases (tests/fuzz/). Each target starts from its committed seed
# corpus and runs for LORMIX_FUZZ_SECONDS (default 30) on its own core; any
# crash, sanitizer report or broken invariant fails the stage and leaves the
# input in build/fuzz/artifacts/.
#
# A longer run: LORMIX_FUZZ_SECONDS=3600 bash scripts/checks/40-fuzz.sh
# Reproduce a crash: build/fuzz/tests/fuzz/fuzz_<target> build/fuzz/artifacts/crash-...
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${LORMIX_FUZZ_SECONDS:-30}
targets=(frame_exchange release_check)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

out=build/fuzz/run
rm -rf "$out"
mkdir -p "$out" build/fuzz/artifacts
pids=()
for t in "${targets[@]}"; do
  mkdir -p "$out/$t"
  # New inputs go to the scratch directory; the committed corpus is only read.
  # release_check may grow inputs past the 4100-entry limit (8 KB of entries).
  max_len=4096
  [[ $t == release_check ]] && max_len=16384
  timeout $((seconds + 120)) "build/fuzz/tests/fuzz/fuzz_$t" -max_total_time="$seconds" \
    -max_len="$max_len" -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
    "$out/$t" "tests/fuzz/corpus/$t" >"$out/$t.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  if wait "${pids[$i]}"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log")
    echo "fuzz_$t: $runs inputs in ${seconds} s, no fault"
  else
    failed=1
    echo "fuzz_$t FAILED:"
    tail -40 "$out/$t.log"
  fi
done
exit "$failed"
