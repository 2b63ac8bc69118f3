#!/bin/sh
# Runs the example update file against the simulated device, interactively: COM1 is mapped to the
# simulator's pseudo terminal, paced at 115200 baud as a real line is. Afterwards, tells whether the
# device received what the file holds.
set -u
build=${1:-build}
dir=$(mktemp -d)
sim=
cleanup() {
    [ -n "$sim" ] && kill "$sim" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$build/loader-sim" --link "$dir/com1" --pace --timeout 1800 \
    --flash-out "$dir/flash.received" --eeprom-out "$dir/eeprom.received" >"$dir/sim.out" 2>"$dir/sim.log" &
sim=$!
tries=0
while [ ! -s "$dir/sim.out" ] && [ $tries -lt 100 ]; do sleep 0.05; tries=$((tries + 1)); done
if [ ! -s "$dir/sim.out" ]; then
    echo "demo: the simulated device did not start:" >&2
    cat "$dir/sim.log" >&2
    exit 1
fi
echo "Simulated device loader on $(cat "$dir/sim.out"), mapped to COM1: press 1 at the port prompt."

UPDATER_COM1="$dir/com1" "$build/example/update"
status=$?

# The simulator ends once the updater has closed the port.
tries=0
while kill -0 "$sim" 2>/dev/null && [ $tries -lt 40 ]; do sleep 0.05; tries=$((tries + 1)); done
echo
echo "Updater exit status: $status (0 = update completed; see README)"
sed 's/^loader-sim: /Simulated device: /' "$dir/sim.log"
if [ -s "$dir/flash.received" ] && cmp -s "$dir/flash.received" "$build/example/firmware.bin"; then
    echo "Simulated device: FLASH holds the example firmware, byte for byte"
fi
if cmp -s "$dir/eeprom.received" "$build/example/eeprom.bin"; then
    echo "Simulated device: EEPROM holds the example contents, byte for byte"
fi
exit 0
