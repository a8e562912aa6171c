#!/bin/sh
# Measures delivery across real external rotation: a writer appends 100
# numbered lines a second to one file while logrotate rotates it every
# 10 s, and the real agent tails it and sends to a local veldcollect.
#
#   sh scripts/measure-rotation.sh [copytruncate|create|compress] [OUTAGE]
#
# copytruncate (the default) copies and empties the file; create renames it
# and makes a new one (the writer opening the file for each line);
# compress is create with compress and delaycompress, as Debian's own
# packages rotate.  OUTAGE seconds (default 0) the collector is down, from
# 15 s into the run; the writer writes for the outage and 95 s more.
#
# Prints the lines written, those lost by logrotate itself (written between
# its copy and its truncate: on no file on disk, compressed or not), those
# on disk but never delivered, duplicates, records that are no line of the
# file (gzip bytes, logrotate's state), and what the agent said it gave up.
# Needs python3.  Builds the two programs first; installs logrotate as root
# if it is missing.
set -e
mode=${1:-copytruncate}
outage=${2:-0}
case "$mode" in copytruncate | create | compress) ;; *)
  echo "usage: $0 [copytruncate|create|compress] [outage-seconds]" >&2; exit 2 ;; esac
cd "$(dirname "$0")/.."
if ! command -v logrotate >/dev/null 2>&1 && [ ! -x /usr/sbin/logrotate ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends logrotate >/dev/null
fi
PATH=$PATH:/usr/sbin
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target veldagentd veldcollect >/dev/null
B=$(pwd)/build/bin
d=$(mktemp -d /tmp/ctm.XXXXXX)
$B/veldcollect -p 0 >> $d/records 2> $d/collect.err &
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
case "$mode" in
copytruncate) how="copytruncate
  nocompress" ;;
create) how="create
  nocompress" ;;
compress) how="create
  compress
  delaycompress" ;;
esac
cat > $d/lr.conf <<C
$d/app.log {
  $how
  rotate 1000
  missingok
}
C
: > $d/app.log
$B/veldagentd -d -c $d/agent.cfg > $d/agent.out 2>&1 &
apid=$!
seconds=$((outage + 95))
python3 - $d/app.log $mode $seconds <<'P' &
import sys, time, os
reopen = sys.argv[2] != "copytruncate"
fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND)
n = 0
start = time.time()
while time.time() - start < int(sys.argv[3]):
    if reopen:
        os.close(fd)
        fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    os.write(fd, b"line %06d xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\n" % n)
    n += 1
    time.sleep(0.01)
open(sys.argv[1] + ".count", "w").write(str(n))
P
wpid=$!
(
  [ "$outage" -gt 0 ] || exit 0
  sleep 15
  kill $cpid
  sleep "$outage"
  $B/veldcollect -p "$port" >> $d/records 2>> $d/collect.err &
  echo $! > $d/collect.pid
) &
opid=$!
sleep 5
i=0
while [ $i -lt $((seconds / 10)) ]; do logrotate -f -s $d/lr.state $d/lr.conf; sleep 10; i=$((i + 1)); done
wait $wpid
wait $opid
sleep 40
kill $apid
kill "$(cat $d/collect.pid 2>/dev/null || echo $cpid)" 2>/dev/null || true
sleep 1
N=$(cat $d/app.log.count)
python3 - $d $N <<'P'
import sys, glob, gzip, re, collections
d, N = sys.argv[1], int(sys.argv[2])
disk = set()
for f in glob.glob(d + "/app.log*"):
    if f.endswith(".count"): continue
    text = gzip.open(f, "rt", errors="replace") if f.endswith(".gz") else open(f, errors="replace")
    for l in text:
        m = re.match(r"line (\d{6}) x{42}$", l.rstrip("\n"))
        if m: disk.add(int(m.group(1)))
rec = collections.Counter()
other = 0
for l in open(d + "/records", errors="replace"):
    m = re.match(r"\d+ VELDUnixLog: line (\d{6}) x{42}$", l.rstrip("\n"))
    if m: rec[int(m.group(1))] += 1
    elif "VELDPerfMon" not in l: other += 1
written = set(range(N))
tool = written - disk
agent_lost = disk - set(rec)
dups = sum(c - 1 for c in rec.values() if c > 1)
said = [l.strip() for l in open(d + "/agent.out", errors="replace")
        if "could not be found again" in l or "were not sent" in l or "Let go of" in l]
print(f"written {N}; lost by logrotate itself (on no file on disk) {len(tool)}; "
      f"on disk but not delivered {len(agent_lost)}; duplicated {dups}; "
      f"records that are no line of the file {other}; losses the agent said {len(said)}")
for s in said[:5]: print("  " + s)
P
rm -rf "$d"
