#!/usr/bin/env bash
# Every test of LORMIX, from a fresh Debian machine: installs what is missing,
# builds from scratch where needed, and runs each stage in scripts/checks/ in
# order. Stops at the first stage that fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
start=$SECONDS
for stage in scripts/checks/*.sh; do
  echo "=== $(basename "$stage" .sh)"
  t=$SECONDS
  bash "$stage"
  echo "=== $(basename "$stage" .sh): ok in $((SECONDS - t)) s"
done
echo "=== all stages passed in $((SECONDS - start)) s"
