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
for program in jalv jackd jack_lsp jack_wait timeout; do
    command -v "$program" >/dev/null || { echo "SKIP: $program is not installed"; exit 77; }
done
[[ -f "$1/tessel.lv2/manifest.ttl" ]] || { echo "FAIL: no tessel.lv2 in $1"; exit 1; }
lv2_dir="$(cd "$1" && pwd)" # LV2_PATH entries must be absolute

work="$(mktemp -d)"
server="tessel-jalv-$$-$RANDOM"
jackd_pid=""
jalv_pid=""
failures=0

cleanup() {
    for pid in $jalv_pid $jackd_pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $jalv_pid $jackd_pid; do
        timeout 5 tail --pid="$pid" -f /dev/null 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

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

# Stops a child process: TERM, then KILL after 5 s. Leaves its exit status in stop_status.
stop() {
    stop_status=0
    kill -TERM "$1" 2>/dev/null || true
    timeout 5 tail --pid="$1" -f /dev/null || kill -KILL "$1" 2>/dev/null || true
    wait "$1" || stop_status=$?
}

# Lines of a jalv log that speak of trouble: warnings, errors, crashes, ignored controls.
trouble() {
    grep -i -E 'warn|error|fail|fatal|terminate|abort|unknown|invalid|cannot|could not' "$1" |
        head -3 | tr '\n' ' ' || true
}

start_jackd() {
    jackd -n "$server" --no-realtime -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
    jackd_pid=$!
    if ! timeout 15 jack_wait -w -t 10 >/dev/null 2>&1; then
        echo "FAIL: JACK server $server did not start: $(tail -2 "$work/jackd.log" | tr '\n' ' ')"
        exit 1
    fi
}

# run_case NAME PLUGIN OUTPUTS SETTINGS ORACLE_OPTIONS
#   OUTPUTS: the plug-in's audio output symbols; SETTINGS: jalv -c pairs. All space separated.
run_case() {
    local name="$1" uri="$2" outputs="$3" settings="$4" options="$5"
    local client="tessel_$name" log="$work/$name.log" expected seen="" port
    local failed_before=$failures
    expected="$(oracle $options)"
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
    local first="$client:${outputs%% *}"
    for _ in $(seq 100); do
        seen="$(jack_latency "$first")"
        [[ "$seen" == "$expected $expected" ]] && break
        kill -0 "$jalv_pid" 2>/dev/null || break
        sleep 0.1
    done
    sleep 2
    if ! kill -0 "$jalv_pid" 2>/dev/null; then
        fail "$name: jalv stopped by itself; expected it to keep running ($(trouble "$log"))"
    else
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
    ((stop_status == 0)) || fail "$name: jalv exited with status $stop_status when stopped; expected 0"
    [[ -z "$(trouble "$log")" ]] || fail "$name: jalv printed trouble: $(trouble "$log")"
    ((failures > failed_before)) || echo "ok: $name ($settings): latency $expected"
}

# Closes jalv as soon as it has loaded (its console input ends at once), several times: the host
# must exit cleanly however early it stops the plug-in.
quick_close() {
    local log="$work/quick.log" status
    for attempt in 1 2 3 4 5 6; do
        status=0
        timeout 20 jalv -x -n tessel_quick -c processing_mode=0 urn:tessel:stereo \
            </dev/null >"$log" 2>&1 || status=$?
        if [[ "$status" != 0 || -n "$(trouble "$log")" ]]; then
            fail "quick close: expected a clean exit, attempt $attempt ended with status $status:" \
                "$(trouble "$log")"
            return
        fi
    done
    echo "ok: quick close (6 attempts)"
}

start_jackd
run_case stereo_default urn:tessel:stereo "out_l out_r" "" "--mode dynamic"
run_case stereo_linear urn:tessel:stereo "out_l out_r" "processing_mode=0" "--mode linear"
run_case mono_minimum urn:tessel:mono "out" "processing_mode=2 lookahead_enabled=0" \
    "--mode minimum --lookahead off"
run_case m2s_linear_2x urn:tessel:mono-to-stereo "out_l out_r" \
    "processing_mode=0 lookahead_enabled=0 oversampling=1" \
    "--mode linear --lookahead off --oversampling 2x"
run_case stereo_dynamic_4x urn:tessel:stereo "out_l out_r" "oversampling=2" \
    "--mode dynamic --oversampling 4x"
# Out-of-range numbers are clamped to the port's range and choices rounded: -inf is Linear
# Phase, 9 is 4x, 0.4 is Off.
run_case mono_out_of_range urn:tessel:mono "out" \
    "processing_mode=-inf oversampling=9 lookahead_enabled=0.4" \
    "--mode linear --oversampling 4x --lookahead off"
quick_close

echo "jackd logged $(grep -c 'XRun' "$work/jackd.log" || true) xrun lines"
if ((failures > 0)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all jalv checks passed"
