#!/bin/sh
# Measures delivery across real external rotation: a writer appends 100
# numbered lines a second to one file for 110 s while logrotate rotates it
# every 10 s (copytruncate, or with the argument "create" rename-and-create,
# the writer then opening the file for each line), and the real agent tails it and
# sends to a local veldcollect.  Prints the lines written, those lost by
# logrotate itself (written between its copy and its truncate: on no file
# on disk), those on disk but never delivered, duplicates and garbled
# records.  Needs python3.  Builds the two programs first; installs
# logrotate as root if it is missing.  Takes about two and a half minutes.
set -e
mode=${1:-copytruncate}
case "$mode" in copytruncate | create) ;; *) echo "usage: $0 [copytruncate|create]" >&2; exit 2 ;; esac
cd "$(dirname "$0")/.."
if ! command -v logrotate >/dev/null 2>&1 && [ ! -x /usr/sbin/logrotate ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends logrotate >/dev/null
fi
PATH=$PATH:/usr/sbin
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target veldagentd veldcollect >/dev/null
B=$(pwd)/build/bin
d=$(mktemp -d /tmp/ctm.XXXXXX)
$B/veldcollect -p 0 > $d/records 2> $d/collect.err &
cpid=$!
sleep 0.5
port=$(sed -n 's|.*127\.0\.0\.1:\([0-9]*\)/tcp$|\1|p' $d/collect.err)
cat > $d/agent.cfg <<C
RemoteHost = 127.0.0.1
RemotePort = $port
RemoteService = tcp
WatchdogFile = $d/positions
LogFile = $d/app.log
LogRotationSize = 1024
C
cat > $d/lr.conf <<C
$d/app.log {
  $mode
  rotate 30
  missingok
  nocompress
}
C
: > $d/app.log
$B/veldagentd -d -c $d/agent.cfg > $d/agent.out 2>&1 &
apid=$!
python3 - $d/app.log $mode <<'P' &
import sys, time, os
reopen = sys.argv[2] == "create"
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND)
n = 0
start = time.time()
while time.time() - start < 110:
    if reopen:
        os.close(fd)
        fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    os.write(fd, b"line %06d xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n" % n)
    n += 1
    time.sleep(0.01)
open(sys.argv[1] + ".count", "w").write(str(n))
P
wpid=$!
sleep 5
for i in 1 2 3 4 5 6 7 8 9 10; do logrotate -f -s $d/lr.state $d/lr.conf; sleep 10; done
wait $wpid
sleep 30
kill $apid; kill $cpid; wait $cpid 2>/dev/null || true
N=$(cat $d/app.log.count)
python3 - $d $N <<'P'
import sys, glob, re, collections
d, N = sys.argv[1], int(sys.argv[2])
disk = set()
for f in glob.glob(d + "/app.log*"):
    if f.endswith(".count"): continue
    for l in open(f, errors="replace"):
        m = re.match(r"line (\d{6}) x{42}$", l.rstrip("\n"))
        if m: disk.add(int(m.group(1)))
rec = collections.Counter()
garbled = 0
for l in open(d + "/records", errors="replace"):
    m = re.match(r"\d+ VELDUnixLog: line (\d{6}) x{42}$", l.rstrip("\n"))
    if m: rec[int(m.group(1))] += 1
    elif "VELDPerfMon" not in l: garbled += 1
written = set(range(N))
tool = written - disk
agent_lost = disk - set(rec)
dups = sum(c - 1 for c in rec.values() if c > 1)
print(f"written {N}; lost by logrotate itself (on no file on disk) {len(tool)}; "
      f"on disk but not delivered {len(agent_lost)}; duplicated {dups}; garbled records {garbled}")
P
rm -rf "$d"
