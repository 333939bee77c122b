#!/usr/bin/env bash
# Runs the example host against a gateway simulator of its own: starts
# kvo_gateway_sim on an ephemeral port of 127.0.0.1, runs the example host on
# it and stops the simulator afterwards, printing its summary.
#
#   scripts/example-on-sim.sh EXAMPLE SIMULATOR LIBRARY
set -euo pipefail
example=${1:?usage: example-on-sim.sh EXAMPLE SIMULATOR LIBRARY}
simulator=${2:?usage: example-on-sim.sh EXAMPLE SIMULATOR LIBRARY}
library=${3:?usage: example-on-sim.sh EXAMPLE SIMULATOR LIBRARY}

simlog=$(mktemp)
"$simulator" > "$simlog" &
sim=$!
stop_sim() {
  kill "$sim" 2> /dev/null || true
  wait "$sim" 2> /dev/null || true
  cat "$simlog"
  rm -f "$simlog"
}
trap stop_sim EXIT
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$simlog" | head -n 1)
  [ -n "$port" ] && break
  kill -0 "$sim" 2> /dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { echo "the gateway simulator did not start"; exit 1; }
echo "gateway simulator on 127.0.0.1:$port"
"$example" "$library" 127.0.0.1 "$port"
