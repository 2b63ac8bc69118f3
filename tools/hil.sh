#!/bin/sh
# Hardware in the loop: the real update over two serial ports joined by a null-modem cable, the
# updater on the first and the simulated device loader on the second. Runs a complete update, a
# reply fault and a hang-up of the simulated side, and prints what each took.
#   tools/hil.sh BUILD_DIR HOST_PORT DEVICE_PORT
set -u
build=${1:-build}
if [ $# -lt 3 ]; then
    echo "make hil needs two ports, $(($# > 0 ? $# - 1 : 0)) given." >&2
    cat <<'TEXT'
make hil needs two serial ports joined by a null-modem cable (TX to RX both ways, ground to ground):
the updater runs on the first, the simulated device on the second. For example, two USB serial
adapters:

    make hil PORTS="/dev/ttyUSB0 /dev/ttyUSB1"

It runs a complete update with EEPROM, a FLASH reply fault and a hang-up of the simulated side,
checks what the simulated device received against the update file, and prints the timings.
No device is written to. Nothing was run.
TEXT
    exit 2
fi
host=$2
device=$3
update="$build/example/update"
dir=$(mktemp -d)
sim=
cleanup() {
    [ -n "$sim" ] && kill "$sim" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
failures=0

# field NAME RECORD: the JSON object (without objects inside) or value of NAME in a run record.
field() {
    sed -n "s/.*\"$1\":\(\({[^}]*}\)\|[^,}]*\).*/\1/p" "$2"
}

# phases RECORD: the time of each phase that ran.
phases() {
    for phase in file_check flash eeprom_write read_back; do
        ms=$(sed -n "s/.*\"$phase\":{\"ran\":true,\"duration_ms\":\([0-9]*\)}.*/\1/p" "$1")
        [ -n "$ms" ] && printf ' %s %s ms' "$phase" "$ms"
    done
    echo
}

# step NAME EXPECTED_STATUS EXPECTED_TEXT SIMULATOR_OPTIONS...
step() {
    name=$1 expected=$2 text=$3
    shift 3
    rm -f "$dir/runs.log" "$dir/sim.out"
    "$build/loader-sim" --port "$device" --expect "$update" --timing --sessions 1 --timeout 300 "$@" \
        >"$dir/sim.out" 2>"$dir/sim.log" &
    sim=$!
    tries=0
    while [ ! -s "$dir/sim.out" ] && kill -0 "$sim" 2>/dev/null && [ $tries -lt 100 ]; do
        sleep 0.05
        tries=$((tries + 1))
    done
    if [ ! -s "$dir/sim.out" ]; then
        wait "$sim"
        sim=
        echo "hil: $name: the simulated device could not start on $device:"
        sed 's/^/  /' "$dir/sim.log"
        failures=$((failures + 1))
        return
    fi
    "$update" --port "$host" --batch --eeprom --log "$dir/runs.log" >"$dir/update.out" 2>&1
    status=$?
    wait "$sim"
    sim=
    verdict=ok
    [ "$status" -eq "$expected" ] || verdict="FAILED (exit status $status, expected $expected)"
    grep -q "$text" "$dir/update.out" "$dir/sim.log" || verdict="FAILED (no \"$text\")"
    [ "$verdict" = ok ] || failures=$((failures + 1))
    echo "hil: $name: $verdict"
    echo "  updater: exit status $status, outcome $(field outcome "$dir/runs.log")"
    echo "  phases:$(phases "$dir/runs.log")"
    echo "  FLASH reply round trip (ms): $(field flash_round_trip_ms "$dir/runs.log")"
    sed -n 's/^loader-sim: /  device: /p' "$dir/sim.log"
    if [ "$verdict" != ok ]; then
        echo "  updater's last lines:"
        tr '\r' '\n' <"$dir/update.out" | tail -4 | sed 's/^/    /'
    fi
    # A serial port does not tell the device that the host went: it waits for the line to idle.
    sleep 1.5
}

echo "hil: updater on $host, simulated device on $device"
step "complete update" 0 "EEPROM holds the update file's contents, byte for byte"
step "FLASH reply fault" 4 "Transmission error at address 3200" --reply 100=AA
step "hang-up of the device" 4 "Check cable!" --hangup flash:200
if [ "$failures" -gt 0 ]; then
    echo "hil: $failures of 3 failed"
    exit 1
fi
echo "hil: all 3 as expected"
