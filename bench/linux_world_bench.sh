#!/usr/bin/env bash
# Packets per second and CPU per packet through the kernel's packet queues: a UDP flood
# from the lab's attacker namespace to the server, handled by (a) the baseline consumer
# (bench/nfqueue_baseline.cpp: batched receive, packed accept verdicts) and (b) Bastion
# (BASTION_CMD, default `bastion run --world linux` with the shipped config/bastion.json),
# on the same queues, taking turns: ROUNDS rounds of (a) then (b), each consumer SECONDS long,
# so that both see the same machine load; each round prints the CPU ratio (a)/(b).
# Packets are counted by the kernel (id_sequence of /proc/net/netfilter/nfnetlink_queue),
# CPU from the consumer's /proc/PID/stat. RATE (packets per second) paces the flood instead
# of hping3's fastest rate: CPU per packet depends on the rate (batch sizes), so paced runs
# compare the consumers at the same offered load.
# BASELINE_ARGS adds options to the baseline (e.g. `--gather-us 300`).
# Run as root: [ROUNDS=3] [RATE=N] [BASELINE_ARGS=...] bench/linux_world_bench.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
readonly SECONDS_PER_RUN=${1:-5}
readonly ROUNDS=${ROUNDS:-3}
if [ -n "${RATE:-}" ]; then
    readonly PACE="-i u$((1000000 / RATE))"
else
    readonly PACE="--flood"
fi
readonly BUILD=${BUILD_DIR:-build}
readonly NS=bastion-lab-server
readonly TICKS=$(getconf CLK_TCK)

scripts/lab.sh up
trap 'scripts/lab.sh down' EXIT

queued() { ip netns exec "$NS" awk '{s += $8} END {print s + 0}' /proc/net/netfilter/nfnetlink_queue; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

measure() {  # measure NAME COMMAND...
    local name=$1; shift
    ip netns exec "$NS" "$@" >"/tmp/bench-$name.log" 2>&1 &
    local pid=$!
    for _ in $(seq 100); do
        ip netns exec "$NS" nft list tables 2>/dev/null | grep -q 'table inet' && break
        sleep 0.1
    done
    sleep 0.5
    # The consumer is the child of `ip netns exec` (exec'd: same pid).
    # shellcheck disable=SC2086
    ip netns exec bastion-lab-attacker timeout "$((SECONDS_PER_RUN + 2))" \
        hping3 -q --udp -p 9 -d 64 $PACE 10.77.2.1 >/dev/null 2>&1 &
    local flood=$!
    sleep 1
    local p0 c0 t0 p1 c1 t1
    p0=$(queued); c0=$(cpu_ticks "$pid"); t0=$(date +%s.%N)
    sleep "$SECONDS_PER_RUN"
    p1=$(queued); c1=$(cpu_ticks "$pid"); t1=$(date +%s.%N)
    kill -TERM "$pid"; wait "$pid" || true
    wait "$flood" || true
    # The next consumer starts on an empty queue.
    for _ in $(seq 50); do ip netns exec "$NS" nft list tables 2>/dev/null | grep -q 'table inet' || break; sleep 0.1; done
    awk -v n="$name" -v p=$((p1 - p0)) -v c=$((c1 - c0)) -v t0="$t0" -v t1="$t1" -v hz="$TICKS" \
        'BEGIN { printf "%s: %d packets in %.2f s = %.0f pps, %.0f ns CPU per packet\n", n, p, t1 - t0, p / (t1 - t0), p ? c / hz * 1e9 / p : 0 }' >&2
    awk -v p=$((p1 - p0)) -v c=$((c1 - c0)) -v hz="$TICKS" 'BEGIN { printf "%.0f\n", p ? c / hz * 1e9 / p : 0 }'
}

default_bastion=$BUILD/dev/tests/divert/linux/divert_linux_world_driver
if [ -x "$BUILD/dev/host/bastion" ] && "$BUILD/dev/host/bastion" run --help 2>/dev/null | grep -q -- '--world'; then
    default_bastion="$BUILD/dev/host/bastion run --world linux --config config/bastion.json --state-dir /tmp/bastion-bench-state"
else
    default_bastion="$default_bastion --queues 2 --pass udp"
fi
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$ROUNDS"); do
    # shellcheck disable=SC2086
    a=$(measure baseline "$BUILD/dev/bench/nfqueue_baseline" --queues 2 ${BASELINE_ARGS:-})
    # shellcheck disable=SC2086
    b=$(measure bastion ${BASTION_CMD:-$default_bastion})
    awk -v r="$round" -v a="$a" -v b="$b" 'BEGIN { printf "round %d: CPU per packet ratio (a)/(b) = %.2f\n", r, b ? a / b : 0 }'
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
