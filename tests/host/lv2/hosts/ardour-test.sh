#!/usr/bin/env bash
# Tessel stereo in Ardour 7, headless (ardour7-lua with its dummy backend), through a session's
# whole life: ardour-session.lua creates a session with Tessel on a stereo track, sets
# parameters, checks the latency Ardour reports against `tessel latency` and that the plug-in
# compresses, and saves; the session is loaded again in a new Ardour and checked the same way.
# Then the plug-in's saved state is checked: Ardour wrote it beside the session as state.ttl
# holding our blob, and loading a copy whose session file has every parameter we set back at its
# default must still give the saved latency and compression, which only the blob carries.
# Works in a temporary folder, with Ardour's configuration and caches in it too; every Ardour
# run is bounded by a timeout.
# Usage: ardour-test.sh LV2_DIR TESSEL_TOOL   (LV2_DIR holds tessel.lv2)
# Exits 0 when every check passes, 1 on any failure, 77 when ardour7-lua is not installed.
set -euo pipefail

[[ $# == 2 ]] || { echo "usage: ardour-test.sh LV2_DIR TESSEL_TOOL"; exit 1; }
tool="$2"
for program in ardour7-lua timeout; do
    command -v "$program" >/dev/null || { echo "SKIP: $program is not installed"; exit 77; }
done
[[ -f "$1/tessel.lv2/tessel.ttl" ]] || { echo "FAIL: no tessel.lv2 in $1"; exit 1; }
lv2_dir="$(cd "$1" && pwd)" # LV2_PATH entries must be absolute
script="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/ardour-session.lua"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export LV2_PATH="$lv2_dir" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The parameters set, by name; the latencies expected as inserted and with these settings.
settings=("Processing Mode=0" "Oversampling=1" "Lookahead Enabled=0" "Band 1 State=1"
          "Band 1 Threshold=-30" "Band 1 Range=-12")
oracle() {
    timeout 20 "$tool" latency --rate 48000 "$@" | sed -n '1s/^latency: \([0-9]*\) samples$/\1/p'
}
default_latency="$(oracle --mode dynamic)"
latency="$(oracle --mode linear --oversampling 2x --lookahead off)"
[[ -n "$default_latency" && -n "$latency" ]] || { echo "FAIL: no latency from $tool"; exit 1; }

# stage NAME ARGS...: one ardour7-lua run of the session script with ARGS. Passes on exit
# status 0 with no error from Ardour or lilv in its output.
stage() {
    local stage="$1" log="$work/$1.log" status=0
    shift
    (cd "$work" && timeout -k 10 80 ardour7-lua "$script" "$@") >"$log" 2>&1 || status=$?
    grep '^FAIL: ' "$log" || true
    if ((status != 0)); then
        fail "$stage: ardour7-lua ended with status $status: $(grep -v '^FAIL: ' "$log" |
            tail -2 | tr '\n' ' ')"
    elif grep -q -E '^\[ERROR\]|error:' "$log"; then
        fail "$stage: Ardour printed errors: $(grep -E '^\[ERROR\]|error:' "$log" | head -2 |
            tr '\n' ' ')"
    else
        echo "ok: $stage ($(sed -n 's/^seen: //p' "$log"))"
    fi
}

# The parameter's port symbol: its name in lower case, each run of other characters one "_".
symbol() { tr '[:upper:]' '[:lower:]' <<<"$1" | sed -E 's/[^a-z0-9]+/_/g'; }

# The port's default as the bundle describes it.
port_default() {
    awk -v symbol="\"$1\"" '$1 == "lv2:symbol" && $2 == symbol {found = 1}
                            found && $1 == "lv2:default" {print $2; exit}' \
        "$lv2_dir/tessel.lv2/tessel.ttl"
}

session="$work/session"
stage create create "$session" "$default_latency" "$latency" "${settings[@]}"
[[ -f "$session/tessel.ardour" ]] || { echo "FAIL: no session was saved"; exit 1; }
stage reload reload "$session" "$latency" "${settings[@]}"

# Ardour keeps the plug-in's state in plugins/<id>/state<n>/state.ttl and names the folder in
# the session file.
state_dir="$(sed -n 's/.*<lv2 .*state-dir="\([^"]*\)".*/\1/p' "$session/tessel.ardour" | head -1)"
state="$(find "$session/plugins" -path "*/$state_dir/state.ttl" 2>/dev/null | head -1)"
blob='<urn:tessel:state> """[A-Za-z0-9+/=[:space:]]+"""\^\^xsd:base64Binary'
if [[ -z "$state_dir" || -z "$state" ]]; then
    fail "state: expected plugins/*/${state_dir:-stateN}/state.ttl, found" \
        "$(cd "$session" && find plugins -type f 2>/dev/null | tr '\n' ' ')"
elif ! grep -q -z -E "$blob" "$state"; then
    fail "state: expected $state to hold <urn:tessel:state> as base64 data, it reads:" \
        "$(grep -A1 'urn:tessel' "$state" | head -2 | tr '\n' ' ')"
else
    echo "ok: state in ${state#"$session"/}"
fi

# The session file also keeps each port's number. In a copy they go back to their defaults: the
# plug-in must still run as saved, from its own state.
restored="$work/restored"
cp -a "$session" "$restored"
for setting in "${settings[@]}"; do
    name="${setting%%=*}"
    sym="$(symbol "$name")"
    value="$(port_default "$sym")"
    [[ -n "$value" ]] || { fail "no port $sym for \"$name\" in tessel.ttl"; continue; }
    sed -i -E "/symbol=\"$sym\"/s/value=\"[^\"]*\"/value=\"$value\"/" "$restored/tessel.ardour"
    grep -q "<Port symbol=\"$sym\" value=\"$value\"/>" "$restored/tessel.ardour" ||
        fail "restore: the session file keeps no port $sym to set back"
done
stage restore reload "$restored" "$latency"

if ((failures > 0)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all Ardour checks passed (latency $default_latency as inserted, $latency as set)"
