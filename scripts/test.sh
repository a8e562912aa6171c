#!/bin/sh
# Checks the formatting of every tracked source, then builds and runs the
# whole suite three ways: a normal build, a build under
# AddressSanitizer and UndefinedBehaviorSanitizer (halting on the first
# report), and the concurrency tests under ThreadSanitizer.
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh
JOBS=$(nproc)
# run DIR SANITIZERS TARGETS [ctest arguments...]; TARGETS "all" builds everything.
run() {
  dir=$1; sanitize=$2; targets=$3; shift 3
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELD_WERROR=ON -DVELD_SANITIZE="$sanitize" >/dev/null
  cmake --build "$dir" -j "$JOBS" --target $targets
  (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@")
}
concurrency=$(for f in tests/*concurrency_test.cpp; do basename "$f" .cpp; done)
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
echo "== formatting"; sh scripts/format-check.sh
echo "== normal build"; run build "" all
echo "== address,undefined build"; run build-asan "address,undefined" all
echo "== thread build (concurrency tests)"; run build-tsan thread "$concurrency" -L concurrency
