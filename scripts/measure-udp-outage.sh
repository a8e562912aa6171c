#!/bin/sh
# Measures what a UDP link loses while nobody listens: the real agent tails
# one file that a writer appends 10 numbered lines a second to for 60 s,
# sending over UDP to a loopback port where nothing listens for the first
# 30 s; then veldcollect -u listens there.  Prints the lines written, those
# received and those lost, and how often the agent said the send failed.
# Needs python3.  Builds the two programs first.  Takes about 90 seconds.
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target veldagentd veldcollect >/dev/null
B=$(pwd)/build/bin
d=$(mktemp -d /tmp/udp-outage.XXXXXX)
port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > $d/agent.cfg <<C
RemoteHost = 127.0.0.1
RemotePort = $port
RemoteService = udp
LogFile = $d/app.log
WatchdogFile = $d/positions
C
: > $d/app.log
$B/veldagentd -d -c $d/agent.cfg > $d/agent.out 2>&1 &
apid=$!
python3 - $d/app.log <<'P' &
import sys, time
f = open(sys.argv[1], "a", buffering=1)
for i in range(600):
    f.write("udp %06d\n" % i)
    time.sleep(0.1)
P
wpid=$!
sleep 30
$B/veldcollect -u -p $port > $d/records 2> $d/collect.err &
cpid=$!
wait $wpid
sleep 25
kill $apid; kill $cpid; wait $cpid 2>/dev/null || true
python3 - $d/records <<'P'
import sys, re
got = set(int(m.group(1)) for m in re.finditer(r"VELDUnixLog: udp (\d{6})", open(sys.argv[1]).read()))
print("written 600; received %d; lost %d" % (len(got), 600 - len(got)))
P
echo "entries saying the send failed: $(grep -c 'Failed to send message' $d/agent.out || true)"
rm -rf "$d"
