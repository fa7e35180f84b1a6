#!/usr/bin/env bash
# The test command: installs what is missing, builds everything with warnings as errors, runs
# every test, cross-builds the Windows programs and runs their unit tests and an end-to-end update
# under wine, then builds the tests with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the unit tests again, and the tests of the threaded parts (engine, downloads, server) with
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)
cmake -S . -B build -DLAUNCHER_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The Windows programs, cross-built, their unit tests and an end-to-end update under wine.
bash scripts/test-windows.sh

cmake -S . -B build-sanitize -DLAUNCHER_WERROR=ON -DLAUNCHER_SANITIZE=ON \
  -DLAUNCHER_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize -L unit --output-on-failure -j"$jobs"

cmake -S . -B build-tsan -DLAUNCHER_WERROR=ON -DLAUNCHER_SANITIZE_THREADS=ON \
  -DLAUNCHER_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
threaded_tests=(taln_tests network_common_tests aus_server_core_tests)
cmake --build build-tsan -j"$jobs" --target "${threaded_tests[@]}"
for test in "${threaded_tests[@]}"; do
  (cd build-tsan && TSAN_OPTIONS=halt_on_error=1 "tests/$test")
done
