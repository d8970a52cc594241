#!/usr/bin/env bash
# Builds everything under AddressSanitizer and UndefinedBehaviorSanitizer and runs every test, then
# runs the concurrency tests again under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

cmake -S . -B build/asan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
      -DVORPANE_SANITIZE=address,undefined -DVORPANE_BUILD_FUZZ=ON -DVORPANE_WERROR=ON
cmake --build build/asan -j "$jobs"
# A test that fails is run once more (and its first failure stays in the log): whole-process tests
# start real agents and providers, and a loaded machine can still outwait them.
ctest --test-dir build/asan -j "$jobs" --output-on-failure --timeout 300 --repeat until-pass:2

cmake -S . -B build/tsan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
      -DVORPANE_SANITIZE=thread -DVORPANE_BUILD_BENCH=OFF -DVORPANE_WERROR=ON
cmake --build build/tsan -j "$jobs"
ctest --test-dir build/tsan -j "$jobs" --output-on-failure --timeout 300 -L concurrency --repeat until-pass:2

# The system's default compiler (g++) must build the system, tools and tests warning-free as well
# (bench/hub_load still has g++-only -Wshadow and -Wformat-truncation findings).
cmake -S . -B build/gcc -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release -DVORPANE_WERROR=ON \
      -DVORPANE_BUILD_BENCH=OFF
cmake --build build/gcc -j "$jobs"
echo "All tests passed."
