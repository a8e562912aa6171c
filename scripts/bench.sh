#!/bin/sh
# Builds the benchmarks in Release, runs them all and prints one table: each
# figure beside its baseline, measured in the same process and run, and
# their ratio.  Needs root: the real agent runs in a private mount
# namespace, strace attaches to it, and a private rsyslogd runs beside it.
# Installs what it misses (the test packages, which hold rsyslog with its TLS
# and RELP modules, then strace and jq) as root.
# Results stay in build-bench/results/ (one JSON file per program).
# The benchmarks take about 22 minutes after the build, most of it two long
# waits: a 300 s collector outage and 600 s of idle files.  For a trial run,
# VELD_BENCH_OUTAGE_S and VELD_BENCH_IDLE_S shorten them (the table shows the
# seconds used); the figures are honest only on a machine with nothing else
# running.
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh test
missing=""
for p in strace jq; do command -v "$p" >/dev/null 2>&1 || missing="$missing $p"; done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends $missing
fi

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELD_BENCH=ON \
      -DVELD_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)"
out=build-bench/results
rm -rf "$out"
mkdir -p "$out"
start=$(date +%s)
for b in logfile_tail_bench logfile_scan_bench logfile_rotate_bench agent_process_bench \
         agent_drain_bench agent_wake_bench perfmon_pass_bench link_transport_bench; do
  echo "== $b"
  extra=""
  [ "$b" = perfmon_pass_bench ] && extra="--benchmark_min_time=0.05"
  "build-bench/bin/$b" --benchmark_out="$out/$b.json" --benchmark_out_format=json $extra
done

echo
echo "== summary ($(($(date +%s) - start)) s of benchmarks; ratio = agent / baseline)"
jq -s -r -f bench/summary.jq "$out"/*.json
