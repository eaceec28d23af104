#!/usr/bin/env bash
# Tagbridge demo: a simulated Logix PLC with a few dozen moving tags, the link, and
# the PLC configured through the HTTP API only, so that values move in the console
# within seconds.  Usage: scripts/demo.sh <build dir> [HOST:PORT]
# Ctrl-C stops both programs. The demo keeps its configuration in a temporary
# data directory, so it never touches the one `make run` uses.
set -euo pipefail

build="${1:?usage: scripts/demo.sh <build dir> [HOST:PORT]}"
listen="${2:-127.0.0.1:8080}"
alias_name="demo-plc"
interval_ms=250

say() { printf 'demo: %s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# The executables sit in the build dir or in their folders' build dirs.
find_bin() {
    local name="$1" candidate
    for candidate in "$build/$name" "$build/link/$name" "$build/sim/$name"; do
        [ -x "$candidate" ] && { printf '%s' "$candidate"; return 0; }
    done
    fail "$name is missing in $build; build first (make demo does)"
}
tagbridge="$(find_bin tagbridge)"
plcsim="$(find_bin plcsim)"
command -v curl >/dev/null || fail "curl is needed (scripts/setup.sh installs it)"

work="$(mktemp -d "${TMPDIR:-/tmp}/tagbridge-demo.XXXXXX")"
sim_pid=""
link_pid=""
cleanup() {
    trap - EXIT INT TERM
    for pid in $link_pid $sim_pid; do
        kill -INT "$pid" 2>/dev/null || true
    done
    for pid in $link_pid $sim_pid; do
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; say "stopping"; exit 0' INT TERM

# Waits until the file holds a line matching the pattern; prints the match.
wait_for_line() {
    local file="$1" pattern="$2" pid="$3" what="$4"
    for _ in $(seq 300); do
        if grep -Eo "$pattern" "$file" 2>/dev/null | head -n1 | grep .; then return 0; fi
        kill -0 "$pid" 2>/dev/null || { cat "$file" >&2; fail "$what exited"; }
        sleep 0.1
    done
    cat "$file" >&2
    fail "$what did not start within 30 s"
}

# --- the simulated PLC ----------------------------------------------------------
sim_tags=()
for i in 1 2 3 4 5 6; do
    sim_tags+=(--tag "Line${i}_Speed:REAL@ramp:0:1500:$((i * 7)).5:200")
    sim_tags+=(--tag "Line${i}_Count:DINT@counter:${i}:250")
    sim_tags+=(--tag "Tank${i}_Level:REAL@ramp:0:100:0.$((i + 2)):150")
    sim_tags+=(--tag "Zone${i}_Temp:REAL@ramp:18:95:0.25:300")
    sim_tags+=(--tag "Pump${i}_Starts:INT@counter:1:1000")
done
sim_tags+=(--tag "Batch_Id:DINT@counter:1:5000" --tag "Shift:STRING=Morning" --tag "Running:BOOL=1")
# Types a controller also holds: 64-bit and unsigned integers, LREAL, a BOOL array (held in
# 32-bit words) and a two-dimensional array; Browse Tags lists them.
sim_tags+=(--tag "Energy_Wh:LINT@counter:1250:200" --tag "Flow_Precise:LREAL@ramp:0:10:0.001:100")
sim_tags+=(--tag "Valve_Pos:USINT@counter:1:300" --tag "Cycle_Ms:UDINT=4000000000")
sim_tags+=(--tag "Alarm_Bits:BOOL[64]=1,0,0,1" --tag "Zone_Grid:REAL[3,4]=1.5,2.5,3.5")

"$plcsim" --port 0 "${sim_tags[@]}" >"$work/plcsim.log" 2>&1 &
sim_pid=$!
sim_port="$(wait_for_line "$work/plcsim.log" 'listening on [0-9.]+:[0-9]+' "$sim_pid" plcsim | sed 's/.*://')"
say "plcsim serves $(( ${#sim_tags[@]} / 2 )) tags on 127.0.0.1:$sim_port"

# --- the link --------------------------------------------------------------------
"$tagbridge" --listen "$listen" --data-dir "$work/data" >"$work/tagbridge.log" 2>&1 &
link_pid=$!
url="$(wait_for_line "$work/tagbridge.log" 'HTTP front listening on http://[^ ]+' "$link_pid" tagbridge | sed 's/.*listening on //')"

# POSTs a JSON object to an action; prints the reply, fails on an HTTP error.
invoke() {
    local path="$1" body="$2" reply
    reply="$(curl -sS --fail-with-body -X POST -H 'Content-Type: application/json' \
        --data "$body" "$url/api/invoke?path=$(urlencode "$path")")" || fail "$path: $reply"
    printf '%s' "$reply"
}
urlencode() { local LC_ALL=C s="$1" out="" c; for ((k = 0; k < ${#s}; k++)); do c="${s:k:1}"; case "$c" in [a-zA-Z0-9._~-]) out+="$c" ;; *) out+="$(printf '%%%02X' "'$c")" ;; esac; done; printf '%s' "$out"; }
node_exists() { curl -s -o /dev/null -w '%{http_code}' "$url/api/node?path=$(urlencode "$1")" | grep -q '^200$'; }

# --- configuration through the HTTP API ---------------------------------------------
reply="$(invoke /addplc "{\"Alias\":\"$alias_name\",\"Host\":\"127.0.0.1\",\"Port\":$sim_port,\"Slot\":0,\"Protocol Family\":\"CIP/EIP\"}")"
case "$reply" in *'"rows":[[true'*) say "added PLC \"$alias_name\"" ;; *) fail "Add PLC answered $reply" ;; esac

emtags="/$alias_name/EM Tags"
for _ in $(seq 150); do node_exists "$emtags/Add Tags" && break; sleep 0.2; done
node_exists "$emtags/Add Tags" || fail "the PLC did not connect (no \"Add Tags\" on $emtags); see $work/tagbridge.log"

tags_json="["
for i in 1 2 3 4 5 6; do
    for name in "Line${i}_Speed" "Line${i}_Count" "Tank${i}_Level" "Zone${i}_Temp" "Pump${i}_Starts"; do
        tags_json+="{\"Tag Alias\":\"$name\",\"Tag Name\":\"$name\"},"
    done
done
tags_json+="{\"Tag Alias\":\"Batch_Id\",\"Tag Name\":\"Batch_Id\"},{\"Tag Alias\":\"Shift\",\"Tag Name\":\"Shift\"},{\"Tag Alias\":\"Running\",\"Tag Name\":\"Running\"}]"
escaped="$(printf '%s' "$tags_json" | sed 's/\\/\\\\/g; s/"/\\"/g')"
reply="$(invoke "$emtags/Add Tags" "{\"Tags(json)\":\"$escaped\"}")"
added="$(printf '%s' "$reply" | grep -o '"success!"' | wc -l)"
say "added $added tags"

for _ in $(seq 50); do node_exists "$emtags/Start Polling" && break; sleep 0.2; done
reply="$(invoke "$emtags/Start Polling" "{\"Interval(ms)\":$interval_ms}")"
case "$reply" in *'"rows":[[true'*) say "polling every $interval_ms ms" ;; *) fail "Start Polling answered $reply" ;; esac

echo
echo "  Tagbridge console: $url/#$(urlencode "$emtags/Read Tags List")"
echo "  (the link's log: $work/tagbridge.log; Ctrl-C stops the demo)"
echo
wait "$link_pid"
