#!/bin/sh
# The demonstration: builds veldagentd and veldcollect, starts veldcollect
# on a free loopback port in the background, serving TLS with a key and
# certificate it makes with the project's own generation, and runs the agent
# in the foreground (-d) with examples/demo.cfg.in filled in to send there,
# encrypted and with the certificate verified, and to tail a sample log that
# this script appends a line to every few seconds.
# The records veldcollect receives appear on this terminal.  Ctrl-C stops
# the agent, the collector and the appender, and removes the demo files.
set -e
cd "$(dirname "$0")/.."
sh scripts/deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELD_TESTS=OFF >/dev/null
cmake --build build --target veldagentd veldcollect -j "$(nproc)"

demo=$(mktemp -d /tmp/veld-demo.XXXXXX)
collector_pid=""
appender_pid=""
cleanup() {
  trap - EXIT INT TERM
  if [ -n "$appender_pid" ]; then kill "$appender_pid" 2>/dev/null || true; fi
  if [ -n "$collector_pid" ]; then
    kill -TERM "$collector_pid" 2>/dev/null || true
    wait "$collector_pid" 2>/dev/null || true
  fi
  rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Port 0 lets the system pick a free port; veldcollect names it on stderr,
# and says so once it has made its key and certificate.
./build/bin/veldcollect -p 0 -T "$demo/collector.pem" -K "$demo/collector.key" \
  2>"$demo/veldcollect.err" &
collector_pid=$!
port=""
tries=0
while [ -z "$port" ] || ! grep -q "certificate for localhost" "$demo/veldcollect.err"; do
  port=$(sed -n 's|^veldcollect: listening on 127\.0\.0\.1:\([0-9]*\)/tcp$|\1|p' \
    "$demo/veldcollect.err")
  if [ -z "$port" ] || ! grep -q "certificate for localhost" "$demo/veldcollect.err"; then
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ] || ! kill -0 "$collector_pid" 2>/dev/null; then
      cat "$demo/veldcollect.err" >&2
      echo "run.sh: veldcollect did not start" >&2
      exit 1
    fi
    sleep 0.1
  fi
done

sed -e "s|@PORT@|$port|" -e "s|@LOGFILE@|$demo/sample.log|" -e "s|@CERT@|$demo/collector.pem|" \
    -e "s|@WATCHDOG@|$demo/positions|" examples/demo.cfg.in >"$demo/veldagentd.cfg"
echo "sample log started $(date '+%F %T')" >"$demo/sample.log"
(
  n=1
  while :; do
    sleep 3
    echo "sample line $n written at $(date +%T)" >>"$demo/sample.log"
    n=$((n + 1))
  done
) &
appender_pid=$!

echo "veldcollect listens on 127.0.0.1:$port over TLS and prints what it receives."
echo "The agent tails $demo/sample.log (a new line every 3 s) and forwards it;"
echo "its first pass comes after 5 s, then one every 10 s.  Ctrl-C stops everything."
./build/bin/veldagentd -d -c "$demo/veldagentd.cfg"
