#!/usr/bin/env bash
# The ten-minute soak of the whole agent: bench/soak.sh [SECONDS] (default 600). Builds nothing: give
# the build directory in VORPANE_BUILD (default: the first of build/release, build/perf-release,
# build/asan that holds vorpane-agent). What it runs and its goals: bench/soak.py; the recorded result:
# docs/reliability.md. Exit code 0 when every goal is met, 1 when one fails.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z "${VORPANE_BUILD:-}" ]]; then
    for dir in build/release build/perf-release build/asan; do
        if [[ -x "$dir/src/agent/vorpane-agent" && -x "$dir/tools/vorpane-dp/vorpane-dp" ]]; then
            VORPANE_BUILD=$dir
            break
        fi
    done
fi
exec python3 bench/soak.py "${1:-600}" --build "${VORPANE_BUILD:?no build with vorpane-agent and vorpane-dp found}" "${@:2}"
