#!/bin/sh
# Installs the Debian packages the build, the tests, the benchmarks and the demo need (clang and
# its runtime for the fuzz build, lpc21isp as the benchmarks' peer ISP tool).
# As root the missing ones are installed; otherwise they are named and the script fails.
set -eu

packages="build-essential cmake pkg-config python3 iproute2
  libgtest-dev libgmock-dev libbenchmark-dev
  libusb-1.0-0-dev libhidapi-dev libudev-dev libcurl4-openssl-dev zlib1g-dev
  libczmq-dev libzmq3-dev
  umockdev libumockdev-dev socat
  clang libclang-rt-14-dev
  lpc21isp"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages:$missing" >&2
  echo "install them as root: apt-get install$missing" >&2
  exit 1
fi

echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq $missing
