#!/usr/bin/env bash
# Native build (GCC) and the whole unit and scenario suite on the virtual clock.
set -euo pipefail
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)"
ctest --preset native -j "$(nproc)" --timeout 300
# The benchmark prints figures; here it only has to complete its updates.
./build/native/tests/bench/lormix_bench
