#!/usr/bin/env bash
# The native suite again under clang's sanitizers:
#   asan  AddressSanitizer + UndefinedBehaviorSanitizer, every test, any report fails
#         (-fno-sanitize-recover); also builds the fault campaign for stage 60;
#   tsan  ThreadSanitizer, the tests that run threads (the status log's writer
#         and painter).
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
timeout 600 ctest --preset asan -j "$jobs" --timeout 300

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target lormix_tests
# The filter lives in the preset; fail if it matches nothing rather than pass vacuously.
timeout 300 ctest --preset tsan --timeout 120 --no-tests=error
