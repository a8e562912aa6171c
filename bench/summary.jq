# The summary table of scripts/bench.sh, from the benchmarks' JSON output
# (jq -s: an array of one document per program).  One row per figure:
# the agent's, its baseline's, their ratio, and the goal for the ratio.
# Where a target names no number ("no allocation", "flat"), the goal used
# here is written in the row.

[.[].benchmarks[]] as $all
| def bench($prefix): $all | map(select(.name | startswith($prefix))) | first // {};
  # Three significant digits.
  def sig: if . == null then "-"
           elif . == 0 then "0"
           else (. as $x | (($x | fabs | log10 | floor) - 2) as $e | pow(10; $e) as $u
                 | (($x / $u | round) * $u) as $r
                 | if $e >= 0 then ($r | round | tostring)
                   else ($r * pow(10; -$e) | round | tostring) as $d
                        | ($d | length) as $l | (-$e) as $p
                        | if $l > $p then $d[0:$l-$p] + "." + $d[$l-$p:]
                          else "0." + ("0" * ($p - $l)) + $d end end
                 | if $x < 0 and (startswith("-") | not) then "-" + . else . end) end;
  def ratio($a; $b): if $a == null or $b == null or $b == 0 then null else $a / $b end;
  def row($target; $what; $agent; $base; $ratio; $goal; $met):
    "| \($target) | \($what) | \($agent | sig) | \($base | sig) | \($ratio | sig) | \($goal) | \(if $ratio == null or $goal == "-" then "-" elif $met then "yes" else "NO" end) |";

  bench("BM_ForwardBesideRsyslog") as $fw
| bench("BM_ForwardTcp") as $tcp
| bench("BM_ForwardUdp") as $udp
| bench("BM_CollectorRestart") as $rs
| bench("BM_IdlePass/1000/") as $i1
| bench("BM_IdlePass/10000/") as $i10
| bench("BM_Rescan/1000/") as $s1
| bench("BM_Rescan/20000/") as $s20
| bench("BM_Rotate") as $rot
| bench("BM_IdleMemory") as $mem
| bench("BM_LinkTransports") as $lt
| ratio($s20.agent_ns_per_file; $s1.agent_ns_per_file) as $sflat
| [ "| # | figure | agent | baseline | ratio | goal | met |",
    "|---|---|---|---|---|---|---|",
    row(1; "CPU s per 10 000 lines, 100 files at 1 000 lines/s, TCP (baseline: rsyslog polling)";
        $fw.agent_s_per_10k; $fw.baseline_s_per_10k; $fw.ratio; "<= 0.5"; $fw.ratio <= 0.5),
    row(1; "system calls per line, same workload under strace (baseline: rsyslog)";
        $fw.agent_syscalls_per_line; $fw.baseline_syscalls_per_line;
        ratio($fw.agent_syscalls_per_line; $fw.baseline_syscalls_per_line); "-"; true),
    row(2; "hang-up peeks per record, real agent under strace (baseline: one per record)";
        $fw.peeks_per_record; 1; $fw.peeks_per_record; "< 1"; $fw.peeks_per_record < 1),
    row(2; "hang-up peeks per record, in process, TCP (baseline: one per record)";
        $tcp.peeks_per_record; 1; $tcp.peeks_per_record; "< 1"; $tcp.peeks_per_record < 1),
    row(2; "records lost per collector restart (baseline: the one allowed)";
        $rs.agent_lost_per_restart; 1; $rs.ratio; "<= 1"; $rs.ratio <= 1),
    row("-"; "CPU us per record, TCP (baseline: bare send() per record)";
        $tcp.agent_us; $tcp.baseline_us; $tcp.ratio; "-"; true),
    row("-"; "CPU us per record, UDP (baseline: bare send() per record)";
        $udp.agent_us; $udp.baseline_us; $udp.ratio; "-"; true),
    row(8; "CPU us per line over tls, in process (baseline: plain tcp, same run)";
        $lt.tls_us; $lt.tcp_us; $lt.tls_ratio; "<= 1.5"; $lt.tls_ratio <= 1.5),
    row(8; "CPU us per line over relp, acknowledged (baseline: plain tcp, same run)";
        $lt.relp_us; $lt.tcp_us; $lt.relp_ratio; "-"; true),
    row(3; "idle pass ms, 10 000 files (baseline: one stat() each)";
        $i10.agent_ms; $i10.baseline_ms; $i10.ratio; "<= 1.2"; $i10.ratio <= 1.2),
    row(3; "idle pass ms, 1 000 files (baseline: one stat() each)";
        $i1.agent_ms; $i1.baseline_ms; $i1.ratio; "<= 1.2"; $i1.ratio <= 1.2),
    row(4; "rescan ns per file, 1 000 known files (baseline: bare readdir)";
        $s1.agent_ns_per_file; $s1.baseline_ns_per_file; $s1.ratio; "<= 1.5"; $s1.ratio <= 1.5),
    row(4; "rescan ns per file, 20 000 known files (baseline: bare readdir)";
        $s20.agent_ns_per_file; $s20.baseline_ns_per_file; $s20.ratio; "<= 1.5";
        $s20.ratio <= 1.5),
    row(4; "rescan ns per file, 20 000 against 1 000 (flat)";
        $s20.agent_ns_per_file; $s1.agent_ns_per_file; $sflat; "<= 1.2 (flat)"; $sflat <= 1.2),
    row(5; "rotation ms, 256 MiB (baseline: cp + fdatasync)";
        $rot.agent_ms; $rot.baseline_ms; $rot.ratio; "<= 1.25"; $rot.ratio <= 1.25),
    row(5; "rotation ms, 256 MiB (baseline: cp + fdatasync + truncate of the source)";
        $rot.agent_ms_emptied; $rot.baseline_ms_emptied; $rot.ratio_emptied; "<= 1.25";
        $rot.ratio_emptied <= 1.25),
    row(6; "idle resident kB, 100 files (baseline: rsyslog, 100 files)";
        $mem.agent_kb; $mem.baseline_kb; $mem.ratio; "<= 0.5"; $mem.ratio <= 0.5),
    row(6; "idle resident kB, 1 000 files against 1 file";
        $mem.agent_1000_files_kb; $mem.agent_1_file_kb;
        ratio($mem.agent_1000_files_kb; $mem.agent_1_file_kb); "-"; true),
    row(6; "resident bytes per added file (baseline: heap kept per file)";
        $mem.rss_per_file_bytes; $mem.heap_per_file_bytes; $mem.flat_ratio;
        "<= 1.25 (flat)"; $mem.flat_ratio <= 1.25),
    ( [["per record, TCP", $tcp], ["per record, UDP", $udp]][]
      | row(7; "allocations \(.[0])"; .[1].allocs_per_record; 0; .[1].allocs_per_record;
            "< 0.01"; .[1].allocs_per_record < 0.01) ),
    ( [["1 000", $i1], ["10 000", $i10]][]
      | row(7; "allocations per idle file, \(.[0]) files"; .[1].allocs_per_file; 0;
            .[1].allocs_per_file; "< 0.01"; .[1].allocs_per_file < 0.01) ),
    ( [["1 000", $s1], ["20 000", $s20]][]
      | row(7; "allocations per scan entry, \(.[0]) files"; .[1].allocs_per_entry; 0;
            .[1].allocs_per_entry; "< 0.01"; .[1].allocs_per_entry < 0.01) )
  ]
| .[]
