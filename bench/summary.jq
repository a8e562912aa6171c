# The summary table of scripts/bench.sh, from the benchmarks' JSON output
# (jq -s: an array of one document per program).  One row per figure:
# the agent's, its baseline's, their ratio, and the goal for the ratio.
# Where a target names no number ("no allocation", "flat"), the goal used
# here is written in the row; where the target is the agent's own figure
# rather than the ratio (a latency), the goal says so.  The first column
# names the target a row checks: 1-8 the first performance targets and the
# links', 17 the throughput issue's, 20 the wake-on-change issue's.

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
| bench("BM_DrainBacklog/1/") as $d1
| bench("BM_DrainBacklog/10/") as $d10
| bench("BM_CatchUp") as $cu
| bench("BM_QuietLineDuringDrain") as $q
| bench("BM_Latency") as $lat
| bench("BM_IdleCpu") as $idle
| ([$d1.agent_lines_per_s, $d1.baseline_lines_per_s, $d10.agent_lines_per_s,
    $d10.baseline_lines_per_s] | map(select(. != null)) | max) as $fastest
| ([$d1.collector_lines_per_s, $d10.collector_lines_per_s] | map(select(. != null)) | min)
    as $collector
| ratio($s20.agent_ns_per_file; $s1.agent_ns_per_file) as $sflat
| [ "| # | figure | agent | baseline | ratio | goal | met |",
    "|---|---|---|---|---|---|---|",
    row(1; "CPU s per 10 000 lines, 100 files at 1 000 lines/s, TCP (baseline: rsyslog polling)";
        $fw.agent_s_per_10k; $fw.baseline_s_per_10k; $fw.ratio; "<= 0.5"; $fw.ratio <= 0.5),
    row(20; "CPU s per 10 000 lines, same workload (baseline: rsyslog inotify)";
        $fw.agent_s_per_10k; $fw.inotify_s_per_10k; $fw.ratio_inotify; "-"; true),
    row(20; "CPU s per 10 000 lines, same workload, the agent polling only, LogNotify = no (baseline: rsyslog polling)";
        $fw.polling_s_per_10k; $fw.baseline_s_per_10k; $fw.ratio_polling; "-"; true),
    row(1; "system calls per line, same workload under strace (baseline: rsyslog polling)";
        $fw.agent_syscalls_per_line; $fw.baseline_syscalls_per_line;
        ratio($fw.agent_syscalls_per_line; $fw.baseline_syscalls_per_line); "-"; true),
    row(20; "system calls per line, same workload, the agent polling only (baseline: rsyslog polling)";
        $fw.polling_syscalls_per_line; $fw.baseline_syscalls_per_line;
        ratio($fw.polling_syscalls_per_line; $fw.baseline_syscalls_per_line); "-"; true),
    row(20; "system calls per line, same workload under strace (baseline: rsyslog inotify)";
        $fw.agent_syscalls_per_line; $fw.inotify_syscalls_per_line;
        ratio($fw.agent_syscalls_per_line; $fw.inotify_syscalls_per_line); "-"; true),
    ( [["1 file", $d1], ["10 files", $d10]][]
      | row(17; "lines/s draining 1 000 000 lines of 100 bytes, \(.[0]), TCP (baseline: rsyslog inotify)";
            .[1].agent_lines_per_s; .[1].baseline_lines_per_s; .[1].ratio; ">= 1";
            .[1].ratio >= 1) ),
    row(17; "sink capacity, lines/s from a bare sender (baseline: the fastest drain above)";
        $collector; $fastest; ratio($collector; $fastest); ">= 2 (not the bottleneck)";
        ratio($collector; $fastest) >= 2),
    ( [["1 file", $d1], ["10 files", $d10]][]
      | row(17; "CPU us per line while draining, \(.[0]) (baseline: rsyslog inotify)";
            .[1].agent_cpu_us_per_line; .[1].baseline_cpu_us_per_line; .[1].ratio_cpu; "<= 0.5";
            .[1].ratio_cpu <= 0.5) ),
    row(17; "peak resident kB while draining, 10 files (baseline: rsyslog inotify)";
        $d10.agent_peak_kb; $d10.baseline_peak_kb; $d10.ratio_peak; "-"; true),
    row(17; "catch-up s after a \($cu.outage_s // "-") s outage, 500 lines/s over 5 files (baseline: the sink taking those records)";
        $cu.agent_s; $cu.baseline_s; $cu.ratio; "<= 1.2"; $cu.ratio <= 1.2),
    row(17; "worst arrival s of a quiet file's line while 64 MiB of 8-byte lines drain (baseline: one pass, 11 s)";
        $q.agent_max_delay_s; $q.baseline_s; $q.ratio; "<= 1"; $q.ratio <= 1),
    row(20; "latency p50 ms, 20 files x 1 line/s, TCP (baseline: rsyslog inotify)";
        $lat.agent_p50_ms; $lat.baseline_p50_ms; $lat.ratio_p50; "agent <= 20 ms";
        $lat.agent_p50_ms <= 20),
    row(20; "latency p99 ms, same (baseline: rsyslog inotify)";
        $lat.agent_p99_ms; $lat.baseline_p99_ms; $lat.ratio_p99; "agent <= 50 ms";
        $lat.agent_p99_ms <= 50),
    row(20; "idle CPU ms a minute, 1 000 quiet files over \($idle.idle_s // "-") s (baseline: the agent polling only, LogNotify = no)";
        $idle.agent_ms_per_min; $idle.baseline_ms_per_min; $idle.ratio; "<= 1"; $idle.ratio <= 1),
    row(2; "hang-up peeks per record, real agent under strace (baseline: one per record)";
        $fw.peeks_per_record; 1; $fw.peeks_per_record; "< 1"; $fw.peeks_per_record < 1),
    row(2; "hang-up peeks per record, the agent polling only, LogNotify = no (baseline: one per record)";
        $fw.polling_peeks_per_record; 1; $fw.polling_peeks_per_record; "< 1";
        $fw.polling_peeks_per_record < 1),
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
