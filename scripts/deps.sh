#!/bin/sh
# Installs the Debian packages the build, the demo and the tests need, when
# any is missing and we are root.  Safe to run again: it does nothing when
# everything is there.
set -e
PKGS="build-essential cmake ninja-build git libssl-dev openssl libgtest-dev \
libgmock-dev libbenchmark-dev rsyslog iproute2 clang-14 libclang-rt-14-dev clang-format-14 procps"
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
