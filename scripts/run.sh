#!/bin/sh
# Builds the agent and runs it in the foreground (-d) with the sample
# configuration; Ctrl-C stops it.
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target veldagentd -j "$(nproc)"
exec ./build/bin/veldagentd -d -c examples/veldagentd.cfg
