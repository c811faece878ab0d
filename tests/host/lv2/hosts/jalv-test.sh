#!/usr/bin/env bash
# Tessel's LV2 plug-ins in jalv, a real JACK host: each case starts jalv on one variant with its
# settings given as port values, and checks that the JACK client shows its ports, keeps running,
# reports on every audio output the latency `tessel latency` computes for those settings, prints
# no warning or error and exits cleanly when told to stop. A last check closes jalv right after
# it started in Linear Phase, while its first cycles run, as a user quitting at once would.
# Runs its own JACK server (dummy backend, 48 kHz, 256-sample periods) under a name of its own,
# so parallel runs and a user's server never meet. Every process it starts is stopped on exit,
# whatever happens; every wait is bounded.
# Usage: jalv-test.sh LV2_DIR TESSEL_TOOL   (LV2_DIR holds tessel.lv2)
# Exits 0 when every check passes, 1 on any failure, 77 when jalv or JACK is not installed.
set -euo pipefail

[[ $# == 2 ]] || { echo "usage: jalv-test.sh LV2_DIR TESSEL_TOOL"; exit 1; }
tool="$2"
for program in jalv jackd jack_lsp jack_wait flock timeout; do
    command -v "$program" >/dev/null || { echo "SKIP: $program is not installed"; exit 77; }
done
[[ -f "$1/tessel.lv2/manifest.ttl" ]] || { echo "FAIL: no tessel.lv2 in $1"; exit 1; }
lv2_dir="$(cd "$1" && pwd)" # LV2_PATH entries must be absolute

work="$(mktemp -d)"
server="tessel-jalv-$$-$RANDOM"
jackd_pid=""
jalv_pid=""
failures=0

# Stops a child process: TERM, then KILL after 5 s. Leaves its exit status in stop_status.
stop() {
    stop_status=0
    kill -TERM "$1" 2>/dev/null || true
    timeout 5 tail --pid="$1" -f /dev/null || kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || stop_status=$?
}

# jalv first, so that the server sees its client go and then removes its shared memory itself.
cleanup() {
    [[ -z "$jalv_pid" ]] || stop "$jalv_pid"
    [[ -z "$jackd_pid" ]] || stop "$jackd_pid"
    # A server or client that had to be killed leaves its semaphores and socket behind.
    rm -rf "$work" /dev/shm/jack_sem.*_"$server"_* /dev/shm/jack_"$server"_*
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE

export JACK_DEFAULT_SERVER="$server" JACK_NO_START_SERVER=1 LV2_PATH="$lv2_dir"

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The latency in samples that the tool computes for `tessel latency` options.
oracle() {
    timeout 20 "$tool" latency --rate 48000 "$@" | sed -n '1s/^latency: \([0-9]*\) samples$/\1/p'
}

# "min max" of a port's playback latency as JACK shows it; empty while the port does not exist.
jack_latency() {
    timeout 5 jack_lsp -l "$1" 2>/dev/null |
        awk -v port="$1" '$0 == port {found = 1; next}
                          found && /playback latency/ {print $6, $7; exit}'
}

# Lines of a jalv log that speak of trouble: warnings, errors, crashes, ignored controls.
trouble() {
    grep -i -E 'warn|error|fail|fatal|terminate|abort|unknown|invalid|cannot|could not' "$1" |
        head -3 | tr '\n' ' ' || true
}

# JACK servers share one registry in /dev/shm, and two starting at once can break each other's
# start: runs of this script start theirs one at a time, under a lock on that folder.
start_jackd() {
    local started=0
    exec 4</dev/shm
    flock -w 60 4 || true
    jackd -n "$server" --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
    jackd_pid=$!
    timeout 15 jack_wait -w -t 10 >/dev/null 2>&1 || started=$?
    exec 4>&-
    if ((started != 0)); then
        echo "FAIL: JACK server $server did not start: $(tail -2 "$work/jackd.log" | tr '\n' ' ')"
        exit 1
    fi
}

# run_case NAME PLUGIN PORTS SETTINGS ORACLE_OPTIONS
#   PORTS: the JACK ports jalv makes for the plug-in, in order (the audio outputs are "out...");
#   SETTINGS: jalv -c pairs. All space separated.
run_case() {
    local name="$1" uri="$2" ports="$3" settings="$4" options="$5"
    local client="tessel_$name" log="$work/$name.log" expected seen port outputs=""
    for port in $ports; do [[ "$port" != out* ]] || outputs+="${outputs:+ }$port"; done
    local failed_before=$failures
    local option_list
    read -r -a option_list <<<"$options"
    expected="$(oracle "${option_list[@]}")"
    [[ -n "$expected" ]] || { fail "$name: tessel latency $options printed no latency"; return; }
    local controls=()
    for setting in $settings; do controls+=(-c "$setting"); done

    # A FIFO held open read-write here keeps jalv's console input open without a helper process.
    [[ -p "$work/stdin" ]] || mkfifo "$work/stdin"
    exec 3<>"$work/stdin"
    jalv -x -n "$client" "${controls[@]}" "$uri" <&3 >"$log" 2>&1 &
    jalv_pid=$!

    # JACK shows the latency once the plug-in has run with its settings; Linear Phase may take
    # a few seconds to prepare on a loaded machine.
    local first="$client:${outputs%% *}" deadline=$((SECONDS + 10))
    while ((SECONDS < deadline)) && kill -0 "$jalv_pid" 2>/dev/null; do
        [[ "$(jack_latency "$first")" == "$expected $expected" ]] && break
        sleep 0.1
    done
    sleep 2
    if ! kill -0 "$jalv_pid" 2>/dev/null; then
        fail "$name: jalv stopped by itself; expected it to keep running ($(trouble "$log"))"
    else
        seen="$(timeout 5 jack_lsp "$client:" 2>/dev/null | sed "s/^$client://" | paste -s -d ' ')"
        [[ "$seen" == "$ports" ]] || fail "$name: expected JACK ports [ $ports ], found [ $seen ]"
        for port in $outputs; do
            seen="$(jack_latency "$client:$port")"
            [[ "$seen" == "$expected $expected" ]] ||
                fail "$name: $client:$port playback latency expected [ $expected $expected ]," \
                    "JACK shows [ ${seen:-no port} ]"
        done
    fi
    stop "$jalv_pid"
    jalv_pid=""
    exec 3>&-
    ((stop_status == 0)) || fail "$name: expected jalv to exit with 0 when stopped: $stop_status"
    [[ -z "$(trouble "$log")" ]] || fail "$name: jalv printed trouble: $(trouble "$log")"
    ((failures > failed_before)) || echo "ok: $name ($settings): latency $expected"
}

# Closes jalv as soon as it has loaded (its console input ends at once), several times: the host
# must exit cleanly however early it stops the plug-in.
quick_close() {
    local log="$work/quick.log" status
    for attempt in 1 2 3 4 5 6; do
        status=0
        timeout -k 5 20 jalv -x -n tessel_quick -c processing_mode=0 urn:tessel:stereo \
            </dev/null >"$log" 2>&1 || status=$?
        ((status != 124 && status != 137)) || status="$status (hung, killed after 20 s)"
        if [[ "$status" != 0 || -n "$(trouble "$log")" ]]; then
            fail "quick close: expected a clean exit, attempt $attempt ended with status $status" \
                "$(trouble "$log")"
            return
        fi
    done
    echo "ok: quick close (6 attempts)"
}

stereo="in_l in_r side_chain out_l out_r midi_in"
mono="in side_chain out midi_in"
mono_to_stereo="in side_chain out_l out_r midi_in"

start_jackd
run_case stereo_default urn:tessel:stereo "$stereo" "" "--mode dynamic"
run_case stereo_linear urn:tessel:stereo "$stereo" "processing_mode=0" "--mode linear"
# JACK shows 0 before the plug-in has run too: here only the figure staying at 0 is checked.
run_case mono_minimum urn:tessel:mono "$mono" "processing_mode=2 lookahead_enabled=0" \
    "--mode minimum --lookahead off"
run_case m2s_linear_2x urn:tessel:mono-to-stereo "$mono_to_stereo" \
    "processing_mode=0 lookahead_enabled=0 oversampling=1" \
    "--mode linear --lookahead off --oversampling 2x"
run_case stereo_dynamic_4x urn:tessel:stereo "$stereo" "oversampling=2" \
    "--mode dynamic --oversampling 4x"
# Out-of-range numbers are clamped to the port's range and choices rounded: -inf is Linear
# Phase, 9 is 4x, 0.4 is Off.
run_case mono_out_of_range urn:tessel:mono "$mono" \
    "processing_mode=-inf oversampling=9 lookahead_enabled=0.4" \
    "--mode linear --oversampling 4x --lookahead off"
quick_close

echo "jackd logged $(grep -c 'XRun' "$work/jackd.log" || true) xrun lines"
if ((failures > 0)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all jalv checks passed"
