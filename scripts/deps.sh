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
# gtest/gmock/benchmark: the suites; rsyslog: the real collector the link
# tests send to; clang: the fuzz targets and their sanitizer runtimes;
# iproute2, procps: the tests' view of sockets and processes; lintian,
# dpkg-dev (dpkg-shlibdeps), systemd (systemd-analyze), man-db, file: the
# package and unit checks.
TEST_PKGS="$RUN_PKGS libgtest-dev libgmock-dev libbenchmark-dev rsyslog iproute2 clang-14 \
libclang-rt-14-dev clang-format-14 procps lintian dpkg-dev systemd man-db file"
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
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "missing Debian packages:$missing (run as root, or apt-get install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends $missing
