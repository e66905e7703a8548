#!/bin/sh
# The main job of the updater, shown end to end with nothing but the project: a simulated
# Ethernet module with old firmware and the test update server serving a newer build for it,
# both inside a private network namespace (discovery multicasts, and that must not reach a real
# network). The updater discovers the module, lists the server's builds, downloads the newest,
# updates the module and discovers it again with its new version. Everything it stores stays
# under the build folder.
#
#   scripts/demo.sh BUILD_FOLDER      (make demo builds first and calls this)
set -eu

build=$(cd "${1:-build}" && pwd)
script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
source_dir=$(cd "$(dirname "$0")/.." && pwd)

if [ "${QF_DEMO_NAMESPACE:-}" != "inside" ]; then
  if ! why=$(unshare -rn true 2>&1); then
    echo "demo: cannot make a private network namespace here (unshare -rn: ${why:-refused})." >&2
    echo "demo: the module's discovery multicasts on the network interfaces, so the demo runs only" >&2
    echo "demo: inside a namespace of its own, where nothing can reach a real network." >&2
    exit 1
  fi
  QF_DEMO_NAMESPACE=inside exec unshare -rn sh -c '
    ip link set lo up &&
    ip link add v0 type veth peer name v1 &&
    ip addr add 10.7.0.1/24 brd + dev v0 &&
    ip link set v0 up && ip link set v1 up &&
    exec sh "$0" "$1"' "$script" "$build"
fi

# Inside: nothing but the namespace's own interfaces may exist.
for interface in $(ip -o link show | awk -F': ' '{ sub(/@.*/, "", $2); print $2 }'); do
  case "$interface" in
    lo | v0 | v1) ;;
    *) echo "demo: unexpected interface $interface in the private namespace; stopping" >&2; exit 1 ;;
  esac
done

serial=0012ABCD
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo/builds/$serial" "$demo/home"
export HOME="$demo/home"  # nothing of the demo lands in the user's home
store="$demo/store"
updater="$build/updater"

pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

# Waits (at most 10 s) until the file holds a line.
await_line() {
  tries=0
  until [ -s "$1" ] && grep -q . "$1"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then echo "demo: $2 did not start" >&2; exit 1; fi
    sleep 0.1
  done
}

# Two builds for the module: the one it runs (2.12.5, build 180) and a newer one (2.13.0, 250).
"$build/tests/bird_generator" "$demo/builds/$serial/180.bird" --build 180 --version 2.12.5 --serial $serial \
  --model QF-Core --size 2000000
echo 2.12.5 > "$demo/builds/$serial/180.version"
"$build/tests/bird_generator" "$demo/builds/$serial/250.bird" --build 250 --version 2.13.0 --serial $serial \
  --model QF-Core --size 2000000
echo 2.13.0 > "$demo/builds/$serial/250.version"

python3 "$source_dir/sim/update_server/update_server.py" --root "$demo/builds" \
  --port-file "$demo/server.port" --log "$demo/server.log" &
pids="$pids $!"
await_line "$demo/server.port" "the update server"
url="http://127.0.0.1:$(cat "$demo/server.port")/cgi/u"

# The module answers discovery on v0 and runs firmware 2.12.5 (packed 0x2C000005), build 180;
# once new firmware is written and it reboots, it reports 2.13.0 (0x2D000000), build 250.
"$build/sim/simmodule" --transport tcp --serial $serial --model 4 --name demo-module \
  --build 180 --version 2C000005 --new-build 250 --new-version 2D000000 \
  --ethernet-discovery 10.7.0.1 > "$demo/module.txt" &
pids="$pids $!"
await_line "$demo/module.txt" "the simulated module"

step() {
  echo
  echo "\$ updater $*"
  "$updater" "$@"
}

echo "Update server: $url   Store: $store"
step -D -t TCPIP -i "$store"
step -B -d $serial -u "$url" -i "$store"
step -G -d $serial -u "$url" -i "$store"
step -U -d $serial -u "$url" -i "$store"
step -D -t TCPIP -i "$store"
echo
echo "demo: done"
