#!/bin/sh
# Installs the build into a temporary prefix and builds a small program against the installed
# files alone, found through the installed quillfern.pc, then runs it: the public header list
# holds every header its headers include, and the pkg-config file links.
#   check_install.sh CMAKE BUILD_FOLDER CONSUMER_SOURCE CXX [flags of this build, e.g. sanitizers]
set -eu
cmake=$1 build=$2 source=$3 cxx=$4
shift 4
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name quillfern.pc)
[ -n "$pc" ] || { echo "no quillfern.pc installed" >&2; exit 1; }
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046
"$cxx" "$@" "$source" $(pkg-config --cflags --libs quillfern) -o "$prefix/consumer"
"$prefix/consumer"
