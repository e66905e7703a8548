#!/bin/sh
# Installs the Debian packages for the purposes named, each make target naming its own:
#   build       the program and the library (their runtime libraries, headers and tools)
#   tests       the test suite and its helpers (the benchmarks use them too)
#   benchmarks  Google Benchmark, and lpc21isp and imx_uart as the recovery benchmark's peers
#   fuzzing     clang and its runtime for the libFuzzer build
#   demo        what scripts/demo.sh runs (the update server, the private network)
#   format      clang-format, for scripts/check-format.sh
# With no purpose named, every purpose's. As root the missing packages are installed; otherwise
# they are named and the script fails.
#   scripts/install-deps.sh [build] [tests] [benchmarks] [fuzzing] [demo] [format]
set -eu

packages_for() {
  case "$1" in
    build) echo "build-essential cmake pkg-config
      libusb-1.0-0-dev libhidapi-dev libudev-dev libcurl4-openssl-dev zlib1g-dev
      libczmq-dev libzmq3-dev" ;;
    tests) echo "libgtest-dev libgmock-dev umockdev libumockdev-dev python3 iproute2" ;;
    benchmarks) echo "libbenchmark-dev lpc21isp imx-usb-loader" ;;
    fuzzing) echo "clang libclang-rt-14-dev" ;;
    demo) echo "python3 iproute2" ;;
    format) echo "clang-format" ;;
    *) echo "install-deps.sh: unknown purpose '$1' (build, tests, benchmarks, fuzzing, demo, format)" >&2
       return 1 ;;
  esac
}

[ $# -gt 0 ] || set -- build tests benchmarks fuzzing demo format
packages=""
for purpose in "$@"; do
  packages="$packages $(packages_for "$purpose")"
done

missing=""
for package in $packages; do
  case " $missing " in *" $package "*) continue ;; esac
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
