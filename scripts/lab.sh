#!/usr/bin/env bash
# A three-namespace lab for the linux world: a server (nginx, Bastion with --world linux),
# a client (curl) and an attacker (hping3, ping), joined to the server by veth pairs.
#
#   scripts/lab.sh up                 create the namespaces, links, addresses and nginx
#   scripts/lab.sh down               remove everything `up` created
#   scripts/lab.sh run SCENARIO       up, start Bastion in the server, run, then down
#
# Scenarios: curl (500 requests), tcp-flood, udp-flood, icmp-flood (each with curl from the
# client during the flood), sigterm, sigkill. Run as root. `run` removes everything on exit,
# also on failure or Ctrl-C.
#
# Bastion's command line comes from BASTION_CMD (run inside the server namespace); by
# default the build's `bastion run --world linux` (configuration LAB_CONFIG, default
# config/bastion.json; state in the lab directory) if it exists, else the world driver
# passing all TCP through.
set -euo pipefail

readonly NS_SERVER=bastion-lab-server NS_CLIENT=bastion-lab-client NS_ATTACKER=bastion-lab-attacker
readonly SERVER_C=10.77.1.1 CLIENT=10.77.1.2 SERVER_A=10.77.2.1 ATTACKER=10.77.2.2
readonly LAB_DIR=${LAB_DIR:-/tmp/bastion-lab}
readonly ROOT=$(cd "$(dirname "$0")/.." && pwd)
readonly BUILD=${BUILD_DIR:-$ROOT/build}
BASTION_PID=

log() { echo "lab: $*" >&2; }
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

default_bastion() {
    local b
    for b in "$BUILD"/dev/host/bastion "$BUILD"/release/host/bastion "$BUILD"/test/host/bastion; do
        if [ -x "$b" ] && "$b" run --help 2>/dev/null | grep -q -- '--world'; then
            echo "$b run --world linux --config ${LAB_CONFIG:-$ROOT/config/bastion.json} --state-dir $LAB_DIR/state"
            return
        fi
    done
    for b in "$BUILD"/dev/tests/divert/linux/divert_linux_world_driver \
             "$BUILD"/test/tests/divert/linux/divert_linux_world_driver; do
        if [ -x "$b" ]; then
            echo "$b --queues 2 --pass tcp"
            return
        fi
    done
    log "no bastion binary with --world and no world driver under $BUILD; build first or set BASTION_CMD"
    return 1
}

up() {
    [ "$(id -u)" -eq 0 ] || { log "needs root"; exit 1; }
    if ip netns list | grep -qw "$NS_SERVER"; then
        log "the lab is already up (scripts/lab.sh down removes it)"
        exit 1
    fi
    trap 'log "setup failed; removing what was created"; down' ERR
    mkdir -p "$LAB_DIR"
    ip netns add "$NS_SERVER"
    ip netns add "$NS_CLIENT"
    ip netns add "$NS_ATTACKER"
    ip link add lab-s-c netns "$NS_SERVER" type veth peer name lab-c netns "$NS_CLIENT"
    ip link add lab-s-a netns "$NS_SERVER" type veth peer name lab-a netns "$NS_ATTACKER"
    ip -n "$NS_SERVER" addr add "$SERVER_C/24" dev lab-s-c
    ip -n "$NS_SERVER" addr add "$SERVER_A/24" dev lab-s-a
    ip -n "$NS_CLIENT" addr add "$CLIENT/24" dev lab-c
    ip -n "$NS_ATTACKER" addr add "$ATTACKER/24" dev lab-a
    for ns in "$NS_SERVER" "$NS_CLIENT" "$NS_ATTACKER"; do ip -n "$ns" link set lo up; done
    ip -n "$NS_SERVER" link set lab-s-c up
    ip -n "$NS_SERVER" link set lab-s-a up
    ip -n "$NS_CLIENT" link set lab-c up
    ip -n "$NS_ATTACKER" link set lab-a up
    cat >"$LAB_DIR/nginx.conf" <<CONF
worker_processes 1;
daemon on;
pid $LAB_DIR/nginx.pid;
error_log $LAB_DIR/nginx-error.log;
events { worker_connections 4096; }
http {
    access_log off;
    client_body_temp_path $LAB_DIR/body;
    proxy_temp_path $LAB_DIR/proxy;
    fastcgi_temp_path $LAB_DIR/fastcgi;
    uwsgi_temp_path $LAB_DIR/uwsgi;
    scgi_temp_path $LAB_DIR/scgi;
    server { listen 80; location / { return 200 "ok\n"; } }
}
CONF
    in_ns "$NS_SERVER" nginx -c "$LAB_DIR/nginx.conf" -p "$LAB_DIR"
    trap - ERR
    log "up: server $SERVER_C (client side) / $SERVER_A (attacker side), client $CLIENT, attacker $ATTACKER"
}

down() {
    stop_bastion KILL
    if [ -f "$LAB_DIR/nginx.pid" ]; then kill "$(cat "$LAB_DIR/nginx.pid")" 2>/dev/null || true; fi
    for ns in "$NS_SERVER" "$NS_CLIENT" "$NS_ATTACKER"; do
        ip netns del "$ns" 2>/dev/null || true  # takes its veth ends and nftables tables along
    done
    rm -rf "$LAB_DIR"
}

start_bastion() {
    local cmd=${BASTION_CMD:-$(default_bastion)}
    log "starting: $cmd"
    # shellcheck disable=SC2086  # the command line is split on purpose
    ip netns exec "$NS_SERVER" $cmd >"$LAB_DIR/bastion.log" 2>&1 &
    BASTION_PID=$!
    # Ready when the driver says so or the daemon's control file names this process (a
    # killed run leaves its table and control file behind, and a signal that arrives before
    # the daemon blocked its signals ends it at once); a command that does neither counts
    # as ready 3 s after a table exists.
    local i
    for i in $(seq 100); do
        if grep -q '^ready' "$LAB_DIR/bastion.log" 2>/dev/null ||
            grep -qs "\"pid\": $BASTION_PID," "$LAB_DIR/state/control.json"; then return 0; fi
        if [ "$i" -ge 30 ] && in_ns "$NS_SERVER" nft list tables 2>/dev/null | grep -q 'table inet'; then
            return 0
        fi
        if ! kill -0 "$BASTION_PID" 2>/dev/null; then
            log "Bastion exited at start:"; cat "$LAB_DIR/bastion.log" >&2; return 1
        fi
        sleep 0.1
    done
    log "Bastion did not install its table within 10 s"; return 1
}

stop_bastion() {
    local signal=${1:-TERM}
    [ -n "$BASTION_PID" ] || return 0
    kill "-$signal" "$BASTION_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$BASTION_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$BASTION_PID" 2>/dev/null || true
    wait "$BASTION_PID" 2>/dev/null || true
    BASTION_PID=
}

# Prints how many of N requests on new connections got a 200.
curl_ok() {
    local n=$1 timeout=${2:-2} conf="$LAB_DIR/curl.conf"
    : >"$conf"
    for _ in $(seq "$n"); do printf 'url = "http://%s/"\noutput = "/dev/null"\n' "$SERVER_C" >>"$conf"; done
    in_ns "$NS_CLIENT" curl -s -m "$timeout" --connect-timeout 1 -H 'Connection: close' \
        -w '%{http_code}\n' -K "$conf" 2>/dev/null | grep -c '^200$' || true
}

flood() {  # flood KIND SECONDS: runs in the background, prints nothing
    local kind=$1 seconds=$2
    case $kind in
        tcp) in_ns "$NS_ATTACKER" timeout "$seconds" hping3 -q -S -p 80 --flood "$SERVER_A" ;;
        udp) in_ns "$NS_ATTACKER" timeout "$seconds" hping3 -q --udp -p 9 --flood "$SERVER_A" ;;
        icmp) in_ns "$NS_ATTACKER" timeout "$seconds" hping3 -q --icmp --flood "$SERVER_A" ;;
    esac >/dev/null 2>&1 || true
}

scenario() {
    local name=$1
    case $name in
        curl)
            start_bastion
            local ok; ok=$(curl_ok 500)
            log "curl: $ok/500 succeeded"
            stop_bastion TERM
            [ "$ok" -eq 500 ] ;;
        tcp-flood|udp-flood|icmp-flood)
            start_bastion
            local kind=${name%-flood} total=0 ok=0
            flood "$kind" 10 &
            local flood_pid=$!
            sleep 1
            for _ in $(seq 8); do ok=$((ok + $(curl_ok 50 2))); total=$((total + 50)); done
            wait "$flood_pid" || true
            log "$name: curl $ok/$total succeeded during the flood"
            stop_bastion TERM
            log "Bastion's log:"; tail -20 "$LAB_DIR/bastion.log" >&2
            [ $((ok * 100)) -ge $((total * 99)) ] ;;
        sigterm)
            start_bastion
            stop_bastion TERM
            if in_ns "$NS_SERVER" nft list tables | grep -q 'table inet'; then
                log "sigterm: the table is still there"; return 1
            fi
            log "sigterm: table removed" ;;
        sigkill)
            start_bastion
            stop_bastion KILL
            local ok; ok=$(curl_ok 20)
            log "sigkill: $ok/20 requests passed with no reader (bypass)"
            start_bastion
            log "sigkill: restart replaced the stale table: $(in_ns "$NS_SERVER" nft list tables | tr '\n' ' ')"
            stop_bastion TERM
            [ "$ok" -eq 20 ] ;;
        *)
            log "unknown scenario: $name (curl, tcp-flood, udp-flood, icmp-flood, sigterm, sigkill)"
            return 2 ;;
    esac
}

case ${1:-} in
    up) up ;;
    down) down ;;
    run)
        [ $# -eq 2 ] || { log "usage: $0 run SCENARIO"; exit 2; }
        up
        trap 'down' EXIT
        trap 'exit 130' INT TERM
        scenario "$2" ;;
    *)
        echo "usage: $0 up|down|run SCENARIO" >&2
        exit 2 ;;
esac
