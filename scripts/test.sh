#!/bin/sh
# Checks the formatting of every tracked source, then builds and runs the
# whole suite three ways: a normal build (which also installs into a
# scratch root, verifies the systemd unit and checks the Debian package:
# the tests labelled "package", defined in unsanitized builds only), a
# build under AddressSanitizer and UndefinedBehaviorSanitizer (halting on
# the first report), and the concurrency tests under ThreadSanitizer.
# Between the last two, every fuzz target runs for a while under the same
# sanitizers.
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh test
JOBS=$(nproc)
# run DIR SANITIZERS TARGETS [ctest arguments...]; TARGETS "all" builds everything.
# The normal build builds the benchmarks too, so that they cannot rot; they
# are not run here (scripts/bench.sh runs them).
run() {
  dir=$1; sanitize=$2; targets=$3; shift 3
  bench=OFF; [ -z "$sanitize" ] && bench=ON
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELD_WERROR=ON -DVELD_TESTS=ON -DVELD_SANITIZE="$sanitize" -DVELD_BENCH="$bench" >/dev/null
  cmake --build "$dir" -j "$JOBS" --target $targets
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@")
}
# fuzz DIR SECONDS: runs each fuzz target built in DIR for SECONDS, starting
# from a scratch copy of its seeds so that the tree is never written.  A
# crash stops the script with the target's report and keeps its reproducer.
fuzz() {
  dir=$1; seconds=$2
  scratch=$(mktemp -d /tmp/veld-fuzz.XXXXXX)
  for seeds in fuzz/corpus/*/; do
    target=$(basename "$seeds")
    cp -R "$seeds" "$scratch/$target"
    dict=""
    if [ -f "fuzz/$target.dict" ]; then dict="-dict=fuzz/$target.dict"; fi
    if ! "$dir/bin/$target" $dict -max_len=16384 -max_total_time="$seconds" \
         -artifact_prefix="$scratch/$target-" "$scratch/$target" >"$scratch/$target.log" 2>&1; then
      tail -n 60 "$scratch/$target.log"
      echo "fuzz: $target failed; reproducer and log kept in $scratch" >&2
      return 1
    fi
    echo "$target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/$target.log" | tail -n 1)"
  done
  rm -rf "$scratch"
}
concurrency=$(for f in tests/*concurrency_test.cpp; do basename "$f" .cpp; done)
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
echo "== formatting"; sh scripts/format-check.sh
echo "== normal build"; run build "" all
echo "== address,undefined build"; run build-asan "address,undefined" all
echo "== fuzz targets (address,undefined, 30 s each)"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVELD_WERROR=ON -DVELD_FUZZ=ON -DVELD_TESTS=OFF -DVELD_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j "$JOBS" --target veld_fuzz_targets
fuzz build-fuzz 30
echo "== thread build (concurrency tests)"; run build-tsan thread "$concurrency" -L concurrency
