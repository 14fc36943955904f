#!/usr/bin/env bash
# The seeded fault campaign (tests/campaign/, docs/reliability.md): the real
# update worker against drawn line faults and misbehaving devices, in virtual
# time, built with ASan+UBSan. LORMIX_CAMPAIGN_SEEDS seeds (default 12000),
# split over the cores; any broken invariant or sanitizer report fails the
# stage, and each failing seed is printed with the command that replays it.
#
# A longer soak: LORMIX_CAMPAIGN_SEEDS=1000000 LORMIX_CAMPAIGN_FIRST=20000 bash scripts/checks/60-campaign.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
seeds=${LORMIX_CAMPAIGN_SEEDS:-12000}
first=${LORMIX_CAMPAIGN_FIRST:-0}
jobs=$(nproc)

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs" --target lormix_campaign
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=32:malloc_context_size=8
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

out=build/asan/campaign
rm -rf "$out"
mkdir -p "$out"
per=$(((seeds + jobs - 1) / jobs))
pids=()
for ((j = 0; j < jobs; j++)); do
  start=$((first + j * per))
  count=$((seeds - j * per < per ? seeds - j * per : per))
  ((count > 0)) || break
  build/asan/tests/campaign/lormix_campaign --first "$start" --count "$count" >"$out/part$j.txt" 2>&1 &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done

grep -h -A1 '^FAIL' "$out"/part*.txt || true
grep -h -E 'ERROR: (Address|Leak)Sanitizer|runtime error' "$out"/part*.txt && failed=1
grep -h '^seeds 0x' "$out"/part*.txt
# The figures of all parts, summed (maxima for the longest times).
awk '/^seeds 0x|^FAIL|^  reproduce/ {next}
  match($0, /: [0-9]+$/) { k = substr($0, 1, RSTART - 1); v = substr($0, RSTART + 2) + 0
    if (k ~ /^longest/) { if (v > s[k]) s[k] = v } else s[k] += v }
  END { for (k in s) print k ": " s[k] }' "$out"/part*.txt | sort >"$out/figures.txt"
cat "$out/figures.txt"
exit "$failed"
