#!/usr/bin/env bash
# scripts/bench frozen: the headless client under Wine on two servers in the road namespace
# (tests/system/road.sh); once the check through the tunnel has passed, the chosen server's path is
# frozen (every packet past 20 000 bytes of a connection dropped) after a random part of the check's
# 15 s pause. 5 runs: the time from the freeze to the switch and to running on the other server, and
# their medians.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. bench/road_prelude.sh
echo '{}' > "$ROAD_WORK/profile.json"
road_service "$ROAD_WORK/profile.json" || exit 1
left=() ran=()
for run in 1 2 3 4 5; do
  out=$(ROAD_LINKS="${ROAD_LINKS[*]}" ROAD_SERVER_PIDS="${ROAD_SERVER_PIDS[*]}" ROAD_NS=$ROAD_NS ROAD_UUID=$ROAD_UUID \
    ROAD_PAGE=$ROAD_PAGE ROAD_TEXT=$ROAD_TEXT ROAD_WORK=$ROAD_WORK VLM_WINE=$VLM_WINE BUILD=build/windows \
    VLM_CLIENT_CASES=frozen_path VLM_FROZEN_RANDOM=1 timeout -k 10 300 python3 tests/system/client_cases.py 2>&1)
  line=$(echo "$out" | grep '^bench: frozen path' | tail -1)
  [ -n "$line" ] || { echo "$out" | tail -20; echo "bench: run $run gave no time" >&2; exit 1; }
  echo "run $run: ${line#bench: frozen path: }"
  left+=("$(echo "$line" | sed -E 's/.*after ([0-9.]+) s, running.*/\1/')")
  ran+=("$(echo "$line" | sed -E 's/.* after ([0-9.]+) s$/\1/')")
done
median() { printf '%s\n' "$@" | sort -g | sed -n 3p; }
echo "frozen path, freeze at a random moment of the check's pause: switch after median $(median "${left[@]}") s," \
  "running on the other server after median $(median "${ran[@]}") s (goal: 30 s)"
