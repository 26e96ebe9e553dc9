#!/usr/bin/env bash
# scripts/run --demo and scripts/run --conversion --demo with the programs of one build, in Qt's
# offscreen platform, Connect pressed by --connect-when-found:
#   - the simulated mixer answers the search, the program connects and sends its first request
#     (the preset lists; the conversion's firmware version question);
#   - Varnel Utility reads the demo's manifest and images (at most 1 MiB each) from the demo's
#     folder outside the source tree;
#   - the program's trace goes to the file in the demo's folder that the first hint names, not to
#     the terminal, and is kept in the build folder once the demo ends;
#   - the conversion's mixer has the old firmware, and the printed command, run from outside the
#     namespace, updates it;
#   - the demo ends on Ctrl+C (the utility) and when the program exits (the conversion): the
#     simulator stops, the folder is removed, and no process of the demo is left;
#   - a script killed outright (SIGKILL, no trap runs) still leaves neither a process of the demo
#     nor its folder.
# Exits 77 (skipped) where no private network namespace can be made.
#   demo_test.sh <source folder> <build folder>
set -uo pipefail
root=$1
build=$(cd "$2" && pwd)
export QT_QPA_PLATFORM=offscreen
# Every process a demo starts carries this mark in its environment.
mark="varnel-demo-test-$$-$RANDOM"
logs=$(mktemp -d)
failed=0
demo=
# Each demo in its own process group, as a terminal starts a command, so that Ctrl+C reaches it.
set -m

fail() {
    echo "FAIL: $*"
    failed=1
}

# The processes of the demos, by the mark.
demo_processes() {
    local p
    for p in /proc/[0-9]*; do
        grep -qaF "$mark" "$p/environ" 2>/dev/null && echo "${p#/proc/}"
    done
}

# Ends what a failed check left running: the script's group, then any marked process, by its id.
clean_up() {
    [[ -z "$demo" ]] || kill -KILL -- "-$demo" 2>/dev/null
    local pid
    for pid in $(demo_processes); do kill -KILL "$pid" 2>/dev/null; done
    rm -rf "$logs"
}
trap clean_up EXIT

alive() {
    local state
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)
    [[ -n "$state" && "$state" != Z ]]
}

start_demo() {  # log, scripts/run arguments...
    local log=$1
    shift
    VARNEL_DEMO_MARK=$mark "$root/scripts/run" --build "$build" "$@" >"$log" 2>&1 &
    demo=$!
}

# Waits (at most 30 s) until the log has a line matching the extended pattern. A demo that ends
# before, because no network namespace can be made here, skips the test.
wait_for() {  # log, pattern
    local i
    for ((i = 0; i < 300; i++)); do
        grep -qE -- "$2" "$1" && return 0
        if ! alive "$demo"; then
            if grep -q "cannot make a private network namespace" "$1"; then
                echo "skipped: $(grep "cannot make a private network namespace" "$1")"
                exit 77
            fi
            break
        fi
        sleep 0.1
    done
    fail "no line matching '$2' in $1:"
    cat "$1"
    return 1
}

# Waits (at most 15 s) until the command succeeds.
eventually() {
    local i
    for ((i = 0; i < 150; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}
gone() { [[ ! -e "$1" ]]; }
nothing_runs() { [[ -z "$(demo_processes)" ]]; }

# The demo's folder and its trace file, from the first hint in the log.
trace_in() {  # log
    grep -oE "^The program's trace goes to [^ ]+$" "$1" | head -n 1 | sed "s/^The program's trace goes to //"
}

# Waits (at most 15 s) for the demo's script to end; its exit status.
end_status() {
    local i
    for ((i = 0; i < 150; i++)); do
        alive "$demo" || break
        sleep 0.1
    done
    alive "$demo" && kill -KILL -- "-$demo"
    wait "$demo"
}

# After a demo ended: the simulator stopped by itself, and nothing of the demo runs.
expect_ended() {  # log, status, expected status
    [[ "$2" == "$3" ]] || fail "$1: the demo ended with status $2, not $3"
    grep -qE "^mixer-sim: [0-9]+ probes answered" "$1" || fail "$1: the simulator did not stop by itself"
    local left
    left=$(demo_processes)
    if [[ -n "$left" ]]; then
        fail "$1: left running: $(ps -o pid=,args= -p "${left//$'\n'/,}")"
        for pid in $left; do kill -KILL "$pid" 2>/dev/null; done
    fi
}

# ---- Varnel Utility, ended with Ctrl+C --------------------------------------------------------
log=$logs/utility.log
start_demo "$log" --demo --connect-when-found
if wait_for "$log" "^mixer-sim: answered the search" &&
    wait_for "$log" "^mixer-sim: connection 1" &&
    wait_for "$log" "^mixer-sim: first request on connection 1: command 0x18" &&
    wait_for "$log" "demo images from .*/lib "; then
    folder=$(grep -oE "demo images from [^ ]+/lib" "$log" | head -n 1 | sed 's/^demo images from //; s#/lib$##')
    trace=$(trace_in "$log")
    kept="$build/varnel-utility-demo-trace.log"
    rm -f "$kept"
    [[ "$folder" != "$root"* ]] || fail "the demo's folder $folder is inside the source tree"
    [[ "$trace" == "$folder/trace.log" ]] || fail "the hint names the trace '$trace', not a file in $folder"
    grep -qF "(kept as $kept once the demo ends)" "$log" || fail "the hint does not say where the trace is kept"
    manifest="json file path is :$folder/lib/PE4471093357.json"
    grep -qF "$manifest" "$trace" || fail "the program did not read the manifest from the demo's folder $folder"
    ! grep -qF "json file path is" "$log" || fail "the program's trace went to the terminal"
    cmp -s "$folder/lib/PE4471093357.json" "$root/resources/lib/PE4471093357.json" ||
        fail "the demo's manifest is not the program's"
    for image in PA4471093318 PB4471093322 PC4471093340 PD4471093341; do
        size=$(stat -c %s "$folder/lib/$image" 2>/dev/null || echo 0)
        ((size > 0 && size <= 1048576)) || fail "demo image $image has $size bytes"
    done
    kill -INT -- "-$demo"
    end_status
    expect_ended "$log" $? 130
    [[ ! -e "$folder" ]] || fail "the demo's folder $folder was left"
    grep -qF "$manifest" "$kept" 2>/dev/null || fail "the trace was not kept in $kept"
fi

# ---- Varnel Utility, its script killed outright (no trap can run) ------------------------------
# The shell in the namespace, told to end by the parent-death signal, stops the program and the
# simulator and removes the folder.
log=$logs/killed.log
start_demo "$log" --demo --connect-when-found
if wait_for "$log" "^mixer-sim: first request on connection 1: command 0x18" &&
    wait_for "$log" "^The program's trace goes to "; then
    folder=$(dirname "$(trace_in "$log")")
    [[ -d "$folder" ]] || fail "no demo folder $folder while the demo runs"
    kill -KILL "$demo"
    end_status
    status=$?
    eventually nothing_runs
    expect_ended "$log" $status 137
    eventually gone "$folder" || fail "the killed demo's folder $folder was left"
    # Where the check failed, the folder goes here.
    [[ "$folder" == "${TMPDIR:-/tmp}"/varnel-demo.* ]] && rm -rf "$folder"
fi

# ---- Varnel Preset Conversion, ended by the program's exit -------------------------------------
log=$logs/conversion.log
start_demo "$log" --conversion --demo --connect-when-found
if wait_for "$log" "^mixer-sim: search on .*firmware version 63$" &&
    wait_for "$log" "^mixer-sim: connection 1" &&
    wait_for "$log" "^mixer-sim: first request on connection 1: command 0x2C" &&
    wait_for "$log" "^ +kill -USR1 [0-9]+$"; then
    simulator=$(grep -oE "^ +kill -USR1 [0-9]+$" "$log" | grep -oE "[0-9]+$")
    folder=$(dirname "$(trace_in "$log")")
    [[ -s "$folder/trace.log" ]] || fail "the conversion's trace is not in its folder $folder"
    # From outside the namespace, as the user runs it.
    [[ "$(readlink "/proc/$simulator/exe")" == "$build/tests/simfront/mixer-sim" ]] ||
        fail "the printed process $simulator is not the simulator"
    kill -USR1 "$simulator"
    wait_for "$log" "^mixer-sim: firmware updated to version 64"
    program=
    for pid in $(demo_processes); do
        [[ "$(readlink "/proc/$pid/exe")" == "$build/apps/conversion/varnel-preset-conversion" ]] && program=$pid
    done
    if [[ -n "$program" ]]; then
        kill -TERM "$program"
        end_status
        expect_ended "$log" $? 143
        [[ ! -e "$folder" ]] || fail "the conversion's folder $folder was left"
    else
        fail "the conversion program is not running"
    fi
fi

if [[ $failed -ne 0 ]]; then
    echo "--- utility.log"; tail -n 30 "$logs/utility.log"
    echo "--- killed.log"; tail -n 30 "$logs/killed.log"
    echo "--- conversion.log"; tail -n 30 "$logs/conversion.log"
    exit 1
fi
echo "both demos found the mixer, connected and left nothing behind"
