#!/usr/bin/env bash
# Benchmarks the hub beside the direct loopback floor, the relay floor and
# an MQTT broker, in one invocation:
#
#   bench/run.sh [--smoke] [--repeats N] [--out DIR] [--build DIR] [--only LIST] [--append]
#
# Builds pellix once (build-bench-default), installs Mosquitto and gnuplot
# from Debian when missing, and runs every scenario against the floor, the
# relay floor (pellix-bench-relay: a process that copies each read of a
# sender's connection to its receiver's, what any hub must at least pay;
# flood, paced and many only), the hub as it ships (a configuration with
# the port only), the hub with the packaged hardened configuration
# (packaging/pellixPara.hardened.json with the port replaced, and 50 access
# rules in the place it names, bench/access50.json, or the file
# PELLIX_BENCH_ACCESS names) and
# Mosquitto, interleaved, each against a freshly started hub, relay or
# broker on a free loopback port (the hub under a temporary PELLIX_ROOT,
# the broker with a temporary configuration).
# Writes into DIR (default doc/performance, which doc/performance.md shows):
# results.txt (one line per run), results.md (the medians with the ratios),
# machine.txt, bench.png and the chart's data; a run without --smoke into
# doc/performance also writes results.md's tables into doc/performance.md
# (bench/write_results_block.py).
#
# --smoke runs tiny counts (seconds, for CI): every scenario against every
# target, failing on a lost message or a crashed hub or broker; it asserts
# no timing and writes into a temporary directory unless --out is given.
# --build DIR takes pellix, pellix-bridge, pellix-bench and pellix-bench-relay
# from a build tree configured as the benchmark's own (RelWithDebInfo, the
# default pause), such as the test build, instead of building them again.
# --only LIST runs only the scenarios named in LIST (comma-separated, such as
# "bridge" or "flood,paced").
# --append adds this invocation's lines to DIR's results.txt, and its line to
# machine.txt, instead of starting them anew: the medians then span the
# repeats of every invocation (on a shared machine, runs at other times).
#
# The bridge scenario carries events from a hub module through the hub (as
# it ships, and hardened) and pellix-bridge to a subscriber of a Mosquitto
# broker, at QoS 0 and 1 (one fresh hub, broker and bridge per run; the
# bridge's CPU and memory are measured). Beside it, the same publications
# made straight to the broker ("mosquitto"), and relayed by a second
# Mosquitto bridged to the first with a connection section
# ("mosquitto-bridge").
#
# The monitor and status-loop scenarios run against the hub only (as it
# ships, and hardened): the flood with 0, 4 (the default cap), 8 and 64
# monitors attached, "maxMonitors" written into the configuration beyond 4;
# and the paced pair beside 200 registered modules with long names and
# reports, with and without two connections asking for the status in a
# loop.
set -euo pipefail
cd "$(dirname "$0")/.."

smoke=0
repeats=3
out=""
build=build-bench-default
own_build=1
only=""
append=0
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1; repeats=1 ;;
    --repeats) repeats="$2"; shift ;;
    --out) out="$2"; shift ;;
    --build) build="$2"; own_build=0; shift ;;
    --only) only=",$2,"; shift ;;
    --append) append=1 ;;
    *) echo "usage: bench/run.sh [--smoke] [--repeats N] [--out DIR] [--build DIR] [--only LIST] [--append]" >&2; exit 2 ;;
  esac
  shift
done

step() { printf '\n== %s (%s)\n' "$*" "$(date +%T)"; }

step "packages"
scripts/setup.sh mosquitto gnuplot-nox
mosquitto_bin=$(command -v mosquitto || echo /usr/sbin/mosquitto)

jobs=$(nproc 2>/dev/null || echo 2)
step "build"
if [ "$own_build" -eq 1 ]; then
  mkdir -p "$build"
  # The pause is given explicitly: a cache left by an older run may hold another.
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLIX_WERROR=ON -DPELLIX_BUILD_TESTS=OFF \
        -DPELLIX_SERVE_PAUSE_US=1000 > "$build/configure.log"
fi
cmake --build "$build" -j "$jobs" --target pellix pellix-bridge pellix-bench pellix-bench-relay
bench=$build/bench/pellix-bench
hardened=packaging/pellixPara.hardened.json

work=$(mktemp -d /tmp/pellix-bench.XXXXXX)
if [ -z "$out" ]; then
  if [ "$smoke" -eq 1 ]; then out="$work/results"; else out=doc/performance; fi
fi
mkdir -p "$out"

# Every process a run started (hub, brokers, bridge), stopped in reverse.
server_pid=""
server_name=""
servers=()
server_names=()
port=0
started() {
  servers+=("$server_pid")
  server_names+=("$server_name")
}
stop_server() {
  local i
  for ((i = ${#servers[@]} - 1; i >= 0; i--)); do
    kill -TERM "${servers[i]}" 2>/dev/null || true
    wait "${servers[i]}" 2>/dev/null || true
  done
  servers=()
  server_names=()
  server_pid=""
}
cleanup() {
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT

wait_for_port() {
  for _ in $(seq 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
      return 0
    fi
    if ! kill -0 "$server_pid" 2>/dev/null; then
      break
    fi
    sleep 0.05
  done
  echo "bench/run.sh: $server_name did not listen on port $1" >&2
  return 1
}

runs=0
start_pellix() { # default | hardened, [maxMonitors]
  runs=$((runs + 1))
  local root="$work/root-$runs"
  local config="$root/work/pellixPara.json"
  mkdir -p "$root/work/data/log" "$root/tmp"
  port=$("$bench" free-port)
  if [ "$1" = hardened ]; then
    # The shipped file as it is, but for the port; its Unix socket path
    # lands under PELLIX_ROOT.
    sed -E 's/("tcpListenPort"[[:space:]]*:[[:space:]]*)[0-9]+/\1'"$port"'/' "$hardened" > "$config"
    if ! grep -Eq "\"tcpListenPort\"[[:space:]]*:[[:space:]]*$port\\b" "$config"; then
      echo "bench/run.sh: no tcpListenPort to replace in $hardened" >&2
      return 1
    fi
    # The access rules it names, where it looks for them under the root:
    # 50 rules (bench/access50.json: root's last, no per-uid limits, so that
    # thousands of connections as root are let in), or the file in
    # PELLIX_BENCH_ACCESS.
    mkdir -p "$root/etc/pellix"
    cp "${PELLIX_BENCH_ACCESS:-bench/access50.json}" "$root/etc/pellix/access.json"
    chmod 0644 "$root/etc/pellix/access.json"
    if [ -n "${2:-}" ]; then
      # The key goes in right after the opening brace, which stands alone.
      sed -i -E '0,/^\{[[:space:]]*$/s//{\n   "maxMonitors" : '"$2"',/' "$config"
      grep -q '"maxMonitors" : '"$2"',' "$config" || { echo "bench/run.sh: no place for maxMonitors in $hardened" >&2; return 1; }
    fi
  else
    printf '{"tcpListenPort": %s%s}\n' "$port" "${2:+, \"maxMonitors\": $2}" > "$config"
  fi
  server_name="pellix ($1 configuration)"
  PELLIX_ROOT="$root" "$build/pellix" > "$root/stdout.txt" 2> "$root/stderr.txt" &
  server_pid=$!
  started
  wait_for_port "$port"
  # A key the hub could not use would silently measure something else.
  if grep -q 'cannot use' "$root/stderr.txt"; then
    echo "bench/run.sh: pellix refused part of its configuration:" >&2
    cat "$root/stderr.txt" >&2
    return 1
  fi
}
start_relay() {
  runs=$((runs + 1))
  port=$("$bench" free-port)
  server_name="pellix-bench-relay"
  "$build/bench/pellix-bench-relay" --port "$port" > "$work/relay-$runs.log" 2>&1 &
  server_pid=$!
  started
  wait_for_port "$port"
}
start_mosquitto() {
  runs=$((runs + 1))
  port=$("$bench" free-port)
  local conf="$work/mosquitto-$runs.conf"
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\nlog_dest stderr\nlog_type error\n' \
    "$port" > "$conf"
  server_name="mosquitto"
  "$mosquitto_bin" -c "$conf" > "$work/mosquitto-$runs.log" 2>&1 &
  server_pid=$!
  started
  wait_for_port "$port"
}
# pellix-bridge HUB_PORT BROKER_PORT QOS: event 100 out to bench/relay.
start_bridge() {
  runs=$((runs + 1))
  local config="$work/bridge-$runs.json"
  cat > "$config" <<EOF
{"broker": {"host": "127.0.0.1", "port": $2, "clientId": "pellix-bench-$runs"},
 "hub": {"host": "127.0.0.1", "port": $1, "moduleId": "0x50", "name": "pellix-bridge"},
 "prefix": "bench",
 "out": [{"event": 100, "topic": "bench/relay", "qos": $3}]}
EOF
  server_name="pellix-bridge"
  "$build/bridge/pellix-bridge" "$config" > "$work/bridge-$runs.log" 2>&1 &
  server_pid=$!
  started
}
# A second broker that carries bench/relay out to the broker on REMOTE_PORT
# at QOS (Mosquitto's own bridge); its port in $port.
start_mosquitto_bridge() { # REMOTE_PORT QOS
  runs=$((runs + 1))
  port=$("$bench" free-port)
  local conf="$work/mosquitto-$runs.conf"
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nset_tcp_nodelay true\nlog_dest stderr\nlog_type error\n' \
    "$port" > "$conf"
  cat >> "$conf" <<EOF
connection bench-relay
address 127.0.0.1:$1
topic bench/relay out $2
cleansession true
notifications false
start_type automatic
restart_timeout 1
EOF
  server_name="mosquitto (bridging)"
  "$mosquitto_bin" -c "$conf" > "$work/mosquitto-$runs.log" 2>&1 &
  server_pid=$!
  started
  wait_for_port "$port"
}

# scenario, body size, extra options (smoke and full)
if [ "$smoke" -eq 1 ]; then
  scenarios=(
    "flood 32 --count 3000"
    "flood 256 --count 2000"
    "flood 1024 --count 1000"
    "paced 32 --seconds 0.4"
    "fanout 32 --count 500"
    "many 32 --seconds 0.5"
    "idle 32 --seconds 0.3"
    "many 32 --connections 2 --rate 100 --seconds 0.3"
    "many 32 --connections 8 --rate 400 --seconds 0.3"
    # One stuck module: the hub as it ships loses one send time-out (10 s).
    "stuck 60000 --seconds 3 --stuck 1"
    "bridge 32 --qos 0 --count 2000"
    "bridge 1024 --qos 1 --count 500"
    "crowd 32 --count 2000 --idle 40"
    "monitor 32 --count 2000 --monitors 0"
    "monitor 32 --count 2000 --monitors 4"
    "monitor 32 --count 2000 --monitors 8"
    "monitor 32 --count 2000 --monitors 64"
    "statusloop 32 --seconds 0.4 --loopers 0"
    "statusloop 32 --seconds 0.4 --loopers 2"
  )
else
  scenarios=(
    "flood 32"
    "flood 256"
    "flood 1024"
    "paced 32"
    "fanout 32"
    "many 32"
    "idle 32"
    # The sweep: how the latency grows with the number of connections that
    # are ready at once, 50 frames/s each.
    "many 32 --connections 2 --rate 100 --seconds 3"
    "many 32 --connections 8 --rate 400 --seconds 3"
    "many 32 --connections 32 --rate 1600 --seconds 3"
    "many 32 --connections 128 --rate 6400 --seconds 3"
    # Three modules that never read, flooded with 60000-byte messages, while
    # a healthy pair exchanges a probe every 100 ms.
    "stuck 60000 --seconds 40"
    # Through the bridge; at QoS 0 a broker may drop under load: counted.
    # The counts keep the fast targets' runs long enough for CPU ticks of
    # 10 ms; behind the hub as it ships, 1024 B run for about 30 s.
    "bridge 32 --qos 0 --lossy 1 --count 200000"
    "bridge 32 --qos 1 --count 100000"
    "bridge 1024 --qos 0 --lossy 1 --count 50000"
    "bridge 1024 --qos 1 --count 50000"
    # The flood beside connections that say nothing: what idle modules cost
    # each forwarded frame (beyond about 1000 only the epoll loop can hold
    # them).
    "crowd 32 --idle 0"
    "crowd 32 --idle 500"
    "crowd 32 --idle 2000"
    # The flood with monitors attached: none, the default cap, and beyond.
    "monitor 32 --monitors 0"
    "monitor 32 --monitors 4"
    "monitor 32 --monitors 8"
    "monitor 32 --monitors 64"
    # The paced pair beside 200 registered modules (a status document of
    # about 275 KB), without and with two connections asking in a loop.
    "statusloop 32 --loopers 0"
    "statusloop 32 --loopers 2"
  )
fi
if [ -n "$only" ]; then
  kept=()
  for entry in "${scenarios[@]}"; do
    [[ "$only" == *",${entry%% *},"* ]] && kept+=("$entry")
  done
  if [ "${#kept[@]}" -eq 0 ]; then
    echo "bench/run.sh: --only names no scenario" >&2
    exit 2
  fi
  scenarios=("${kept[@]}")
fi
targets=(floor relay pellix pellix-monitor pellix-hardened mosquitto pellix-bridge pellix-bridge-hardened mosquitto-bridge)

results="$out/results.txt"
[ "$append" -eq 1 ] || : > "$results"
machine="$(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), Linux $(uname -r), load average at the start $(cut -d' ' -f1-3 /proc/loadavg)"
failures=0
start_time=$(date +%s)
for repeat in $(seq "$repeats"); do
  for entry in "${scenarios[@]}"; do
    read -r scenario size extra <<< "$entry"
    for target in "${targets[@]}"; do
      # The bridge scenario has its own targets, beside the broker alone.
      case "$scenario,$target" in
        bridge,mosquitto | bridge,*-bridge | bridge,*-bridge-*) ;;
        bridge,* | *,*-bridge | *,*-bridge-*) continue ;;
        # Monitors and the status document are the hub's own.
        monitor,pellix | monitor,pellix-hardened | statusloop,pellix | statusloop,pellix-hardened) ;;
        crowd,pellix-hardened) ;;
        crowd,pellix) [[ "$extra" =~ --idle\ ([0-9]+) ]] && [ "${BASH_REMATCH[1]}" -le 500 ] || continue ;;
        monitor,* | statusloop,* | crowd,*) continue ;;
      esac
      monitors=""
      if [[ "$extra" =~ --monitors\ ([0-9]+) ]] && [ "${BASH_REMATCH[1]}" -gt 4 ]; then
        monitors=${BASH_REMATCH[1]}
      fi
      qos=0
      [[ "$extra" == *"--qos 1"* ]] && qos=1
      step "repeat $repeat: $scenario $size B $extra against $target"
      case "$target" in
        floor)
          # Idle has no traffic to compare, and with no hub in between no
          # reader can stall another's connection.
          [ "$scenario" = idle ] || [ "$scenario" = stuck ] && continue
          args=(--target floor) ;;
        relay)
          # One sender feeding one receiver per route: no fan-out, and no
          # reader of the relay can stall another's route.
          [ "$scenario" = flood ] || [ "$scenario" = paced ] || [ "$scenario" = many ] || continue
          start_relay; args=(--target relay --port "$port" --pid "$server_pid") ;;
        pellix) start_pellix default "$monitors"; args=(--target pellix --port "$port" --pid "$server_pid") ;;
        pellix-monitor)
          # What one monitor costs the paced frames' latency (the monitor
          # scenario has the flood).
          [ "$scenario" = paced ] || continue
          start_pellix default; args=(--target pellix --port "$port" --pid "$server_pid" --monitors 1) ;;
        pellix-hardened) start_pellix hardened "$monitors"; args=(--target pellix --port "$port" --pid "$server_pid") ;;
        mosquitto) start_mosquitto; args=(--target mqtt --port "$port" --pid "$server_pid") ;;
        pellix-bridge | pellix-bridge-hardened)
          # The hub as it ships caps what reaches the bridge; the hardened
          # hub shows where the bridge's own ceiling is.
          if [ "$target" = pellix-bridge ]; then start_pellix default; else start_pellix hardened; fi
          hub_port=$port
          start_mosquitto; broker_port=$port
          start_bridge "$hub_port" "$broker_port" "$qos"
          args=(--target pellix --port "$hub_port" --broker-port "$broker_port" --pid "$server_pid") ;;
        mosquitto-bridge)
          # CPU and memory: the broker that bridges.
          start_mosquitto; broker_port=$port
          start_mosquitto_bridge "$broker_port" "$qos"
          args=(--target mqtt --port "$port" --broker-port "$broker_port" --pid "$server_pid") ;;
      esac
      # shellcheck disable=SC2086
      if ! line=$("$bench" run "${args[@]}" --label "$target" --scenario "$scenario" --size "$size" $extra); then
        failures=$((failures + 1))
      fi
      echo "$line"
      echo "$line" >> "$results"
      for i in "${!servers[@]}"; do
        if ! kill -0 "${servers[i]}" 2>/dev/null; then
          echo "bench/run.sh: ${server_names[i]} ended during the run" >&2
          failures=$((failures + 1))
        fi
      done
      stop_server
    done
  done
done
machine="$machine, at the end $(cut -d' ' -f1-3 /proc/loadavg); $repeats repeats in $(( $(date +%s) - start_time )) s"
if [ "$append" -eq 1 ]; then
  echo "$machine" >> "$out/machine.txt"
else
  echo "$machine" > "$out/machine.txt"
fi

step "report"
title="Pellix beside the direct loopback floor, the relay floor and Mosquitto"
# Every invocation whose lines the results hold (several with --append).
measured=$(paste -sd'|' "$out/machine.txt" | sed 's/|/; and /g')
"$bench" report "$results" "$out" --title "$title" --machine "Measured $measured." --png bench.png
# The chart draws the main scenarios; --only may have left none.
if grep -q 'scenario=flood' "$results"; then
  (cd "$out" && gnuplot chart.gp)
fi
cat "$out/results.md"
# A full run into the repository's results puts its tables into the page
# that shows them, so that the two never disagree.
if [ "$smoke" -eq 0 ] && [ "$(realpath "$out")" = "$(realpath doc/performance)" ]; then
  python3 bench/write_results_block.py "$out/results.md" doc/performance.md
fi

if [ "$failures" -gt 0 ]; then
  echo "bench/run.sh: $failures run(s) failed" >&2
  exit 1
fi
echo "bench/run.sh: every run delivered every message; results in $out"
