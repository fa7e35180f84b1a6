#!/usr/bin/env bash
# Load test of the scale-out set-up, on loopback: HAProxy with deploy/haproxy.cfg in front of 3
# aus-server replicas sharing one releases folder; LAUNCHERS simulated launchers (bench's
# loadtest_client) each fetch the whole release through it, checking every file's digest and
# retrying a failed part on a fresh connection; one replica is killed (SIGKILL) once half of all
# bytes have arrived. Prints the client's figures (throughput, p50/p99 time per launcher, bytes
# sent again), what each replica served, and memory per idle connection.
#
# A benchmark, run by hand, not by scripts/test.sh. Needs the built tools and haproxy:
#   scripts/setup.sh
#   cmake --build build -j2 --target aus-server aus-publish loadtest_client
#   scripts/loadtest.sh [BUILD_DIR]
# Environment: LAUNCHERS (200), RELEASE_MIB (16), FILES (8), IDLE (1000), KILL (1: kill a
# replica midway; 0: do not).
# Exit status: 0 when every launcher ended with a correct installation.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build}/bin
launchers=${LAUNCHERS:-200}
release_mib=${RELEASE_MIB:-16}
files=${FILES:-8}
idle=${IDLE:-1000}
kill_midway=${KILL:-1}

for tool in aus-server aus-publish loadtest_client; do
  if [ ! -x "$bin/$tool" ]; then
    echo "loadtest: $bin/$tool is missing: cmake --build build -j2 --target aus-server aus-publish loadtest_client" >&2
    exit 2
  fi
done
if ! command -v haproxy > /dev/null; then
  echo "loadtest: haproxy is missing: scripts/setup.sh installs it" >&2
  exit 2
fi

work=$(mktemp -d /tmp/aus-loadtest.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  wait 2> /dev/null || true
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# Each launcher needs two connections through HAProxy, which needs two descriptors for each.
ulimit -n "$(ulimit -Hn)" 2> /dev/null || true

# A build of FILES files of random bytes, RELEASE_MIB in all, published as 1.0.0.
mkdir -p "$work/build/bin" "$work/build/data" "$work/releases"
per_file_kib=$((release_mib * 1024 / files))
for i in $(seq 1 "$files"); do
  folder=data
  [ "$i" -eq 1 ] && folder=bin
  head -c "$((per_file_kib * 1024 + i))" /dev/urandom > "$work/build/$folder/file$i.bin"
done
"$bin/aus-publish" --releases "$work/releases" --version 1.0.0 --from "$work/build"

# Ports: a random base, so that runs on a shared machine do not collide.
base=$((20000 + RANDOM % 20000))
balancer=$base
for i in 1 2 3; do
  "$bin/aus-server" --releases "$work/releases" --port $((base + i)) --threads 1 \
    --metrics-port $((base + 10 + i)) > "$work/aus$i.log" 2>&1 &
  pids+=($!)
  replica[$i]=$!
done
sed -e "s/bind :3003/bind 127.0.0.1:$balancer/" \
    -e "s/127.0.0.1:3101/127.0.0.1:$((base + 1))/" \
    -e "s/127.0.0.1:3102/127.0.0.1:$((base + 2))/" \
    -e "s/127.0.0.1:3103/127.0.0.1:$((base + 3))/" \
    -e "s#/run/haproxy/aus.sock#$work/haproxy.sock#" \
    -e "s/maxconn 60000/maxconn $(( $(ulimit -n) / 2 - 100 ))/" \
    "$root/deploy/haproxy.cfg" > "$work/haproxy.cfg"
haproxy -c -q -f "$work/haproxy.cfg"
haproxy -f "$work/haproxy.cfg" > "$work/haproxy.log" 2>&1 &
pids+=($!)

# Ready when every replica answers its metrics; then HAProxy's first checks (1 s apart) pass.
for i in 1 2 3; do
  for _ in $(seq 1 100); do
    curl -sf "http://127.0.0.1:$((base + 10 + i))/metrics" > /dev/null && break
    sleep 0.1
  done
done
sleep 2

echo "loadtest: $launchers launchers, release of $files files, $release_mib MiB; HAProxy on" \
     "127.0.0.1:$balancer, replicas on $((base + 1))-$((base + 3))"
midway=()
if [ "$kill_midway" = 1 ]; then
  midway=(--midway "kill -9 ${replica[2]}")
fi
status=0
"$bin/loadtest_client" --port "$balancer" --launchers "$launchers" "${midway[@]}" || status=$?

metric() { awk -v name="$1" '$1 == name { print $2 }'; }
echo "replica  connections  bytes sent (MiB)  peak memory (MiB)"
for i in 1 2 3; do
  if text=$(curl -sf "http://127.0.0.1:$((base + 10 + i))/metrics"); then
    connections=$(echo "$text" | metric aus_connections_total)
    sent=$(echo "$text" | metric aus_bytes_sent_total)
    peak=$(awk '/VmHWM/ { print $2 }' "/proc/${replica[$i]}/status")
    printf "aus%d     %11s  %16.1f  %17.1f\n" "$i" "$connections" "$(echo "$sent / 1048576" | bc -l)" \
      "$(echo "$peak / 1024" | bc -l)"
  else
    echo "aus$i     killed midway"
  fi
done

# Memory per idle connection, on replica 1 directly: resident memory with IDLE connections open
# (greeted, idle) against before.
if [ "$idle" -gt 0 ]; then
  rss() { awk '/VmRSS/ { print $2 }' "/proc/${replica[1]}/status"; }
  before=$(rss)
  exec 3< <("$bin/loadtest_client" --port $((base + 1)) --idle "$idle" --hold 3)
  read -r _ <&3
  sleep 0.5
  during=$(rss)
  exec 3<&-
  printf "idle connections     %d on one replica: resident %d KiB before, %d KiB with them open," \
    "$idle" "$before" "$during"
  printf " %.1f KiB each\n" "$(echo "($during - $before) / $idle" | bc -l)"
fi
exit $status
