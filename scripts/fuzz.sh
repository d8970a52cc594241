#!/usr/bin/env bash
# Runs one libFuzzer target for whole minutes under AddressSanitizer and UndefinedBehaviorSanitizer:
#   scripts/fuzz.sh TARGET MINUTES [EXECUTIONS]     (TARGET: a file name in tests/fuzz/ without .cc)
# It stops after MINUTES, or once it has run EXECUTIONS inputs when that comes first.
# It starts from a temporary copy of the target's seed corpus (tests/fuzz/corpus/TARGET) plus the
# inputs earlier runs kept in build/fuzz/corpus/TARGET, keeps the new inputs there, and leaves the
# input of a crash in build/fuzz/crashes/TARGET/. The source tree is never written.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 2 || $# -gt 3 || ! -f "tests/fuzz/$1.cc" || ! "$2" =~ ^[1-9][0-9]*$ || ! "${3:-1}" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 TARGET MINUTES [EXECUTIONS]   (TARGET one of: $(cd tests/fuzz && ls -- *.cc | sed 's/\.cc$//' | tr '\n' ' '))" >&2
    exit 2
fi
target=$1
minutes=$2
runs=${3:--1}
build=build/fuzz

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if [[ ! -f $build/build.ninja ]]; then
    # Optimised (-O2): the sanitizers catch the same faults, and most targets run several times faster.
    cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          -DVORPANE_SANITIZE=address,undefined -DVORPANE_BUILD_FUZZ=ON -DVORPANE_FUZZ_COVERAGE=ON \
          -DVORPANE_WERROR=ON
fi
cmake --build "$build" --target "$target"

kept="$build/corpus/$target"
crashes="$build/crashes/$target"
mkdir -p "$kept" "$crashes"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R "tests/fuzz/corpus/$target/." "$kept/." "$work/"

log="$build/$target.log"
before=$(find "$crashes" -type f | wc -l)
echo "fuzzing $target for $minutes minute(s); libFuzzer's output goes to $log"
set +e
"$build/tests/$target" -max_total_time=$((minutes * 60)) -runs="$runs" -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$work" >"$log" 2>&1
status=$?
set -e
cp -R "$work/." "$kept/"
grep -E 'ERROR|SUMMARY|Test unit written' "$log" || true

# libFuzzer's final lines: "stat::number_of_executed_units: N", and "#N DONE cov: C ft: F ...".
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
coverage=$(grep -Eo 'cov: [0-9]+' "$log" | tail -1 | cut -d" " -f2 || true)
found=$(($(find "$crashes" -type f | wc -l) - before))
echo "target: $target  minutes: $minutes  executions: ${executions:-?}  coverage (cov): ${coverage:-?}  crashes: $found (in $crashes)  exit: $status"
exit "$status"
