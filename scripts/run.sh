#!/usr/bin/env bash
# Builds vorpane-agent (with vorpane-dp and vorpanectl) and runs it on its embedded defaults. Arguments are passed to the agent
# (provider types such as ASFS or NODP). Work files and the log go to ./work unless VORPANE_WORKDIR
# says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
      -DVORPANE_BUILD_TESTS=OFF -DVORPANE_BUILD_BENCH=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target vorpane-agent vorpane-dp vorpanectl
exec build/release/src/agent/vorpane-agent "$@"
