#!/bin/sh
# Installs the Debian packages that are missing, when we are root.  Safe to
# run again: it does nothing when everything is there.
#
#   sh scripts/deps.sh run    what building and running the agent need
#   sh scripts/deps.sh test   that, and every tool the test suite, the
#                             sanitizer and fuzz builds, the package checks
#                             and the benchmarks use (the default)
set -e
RUN_PKGS="build-essential cmake ninja-build git libssl-dev openssl"
# gtest/gmock/benchmark: the suites; rsyslog, rsyslog-openssl, rsyslog-relp:
# the real collector the link tests send to (plain, TLS, RELP); the
# libraries of syslog-ng-core, which the test list unpacks below rather than
# installs (it conflicts with rsyslog); clang: the fuzz targets and their
# sanitizer runtimes;
# iproute2, procps: the tests' view of sockets and processes; lintian,
# dpkg-dev (dpkg-shlibdeps), systemd (systemd-analyze), man-db, file: the
# package and unit checks.
TEST_PKGS="$RUN_PKGS libgtest-dev libgmock-dev libbenchmark-dev rsyslog rsyslog-openssl \
rsyslog-relp libcap2 libglib2.0-0 libivykis0 libjson-c5 libnet1 libpcre3 libssl3 libsystemd0 \
libwrap0 iproute2 clang-14 libclang-rt-14-dev clang-format-14 procps lintian dpkg-dev systemd \
man-db file"
# Where the test list unpacks syslog-ng-core (tests/lib/rsyslog_collector.cpp
# runs it from there).
SYSLOG_NG_ROOT=/var/cache/veldagentd-tests/syslog-ng
case "${1:-test}" in
run) PKGS=$RUN_PKGS ;;
test) PKGS=$TEST_PKGS ;;
*)
  echo "usage: sh scripts/deps.sh [run|test]" >&2
  exit 2
  ;;
esac
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
    || missing="$missing $p"
done
want_syslog_ng=""
if [ "$PKGS" = "$TEST_PKGS" ] && [ ! -x "$SYSLOG_NG_ROOT/usr/sbin/syslog-ng" ]; then
  want_syslog_ng=yes
fi
[ -z "$missing" ] && [ -z "$want_syslog_ng" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing Debian packages:$missing${want_syslog_ng:+ (and syslog-ng-core unpacked in $SYSLOG_NG_ROOT)} (run as root)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
if [ -n "$missing" ]; then apt-get install -y --no-install-recommends $missing; fi
if [ -n "$want_syslog_ng" ]; then
  # Downloaded, never installed: its files land in a directory of their own.
  scratch=$(mktemp -d)
  chmod 755 "$scratch"
  (cd "$scratch" && apt-get download syslog-ng-core)
  mkdir -p "$SYSLOG_NG_ROOT"
  dpkg -x "$scratch"/syslog-ng-core_*.deb "$SYSLOG_NG_ROOT"
  rm -rf "$scratch"
fi
