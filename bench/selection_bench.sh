#!/usr/bin/env bash
# scripts/bench selection: ten servers, three of them on addresses whose packets go nowhere, timed by
# `velmorante-tool servers` under Wine in the road namespace (tests/system/road.sh), 5 runs. Prints
# the median wall time (Wine's start of the tool included, shown beside it) and the time the probes
# of the same run would have taken one after another: three probes per server, 1500 ms for each
# unanswered one and three times the server's best time for the others.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
. bench/road_prelude.sh
road_silent 198.18.0.9 198.18.0.12 198.18.0.15 || exit 1
tool=build/windows/velmorante-tool.exe
links=()
for i in 0 1 2 3 4 5 6 7 8 9; do
  case $i in
    0|3|6) links+=("vless://$ROAD_UUID@198.18.0.$((9 + i)):8443?type=tcp#silent-$i") ;;
    *) links+=("${ROAD_LINKS[$((i % 3 + 1))]}-$i") ;;
  esac
done
python3 -c 'import json,sys; json.dump({"config":{"mode":"system","apps":[],"servers":{"apps_list":[{"link":l} for l in sys.argv[2:]],"rest":""}}}, open(sys.argv[1],"w"))' \
  "$ROAD_WORK/ten.json" "${links[@]}"
ms() { echo $(( $(date +%s%N) / 1000000 )); }
t0=$(ms); ip netns exec "$ROAD_NS" "$VLM_WINE" "$tool" --help >/dev/null 2>&1; start_ms=$(( $(ms) - t0 ))
walls=() serials=()
for run in 1 2 3 4 5; do
  t0=$(ms)
  out=$(ip netns exec "$ROAD_NS" timeout 60 "$VLM_WINE" "$tool" servers "Z:${ROAD_WORK//\//\\}\\ten.json" 2>/dev/null | tr -d '\r')
  walls+=($(( $(ms) - t0 )))
  serial=$(echo "$out" | awk '/^server .*: unreachable$/ { s += 4500 } /^server .*: [0-9]+ ms$/ { s += 3 * $(NF - 1) } END { print s + 0 }')
  serials+=("$serial")
  echo "run $run: $(echo "$out" | grep -c '^server ') servers timed in ${walls[-1]} ms, one after another ${serial} ms; chose $(echo "$out" | tail -1 | sed 's/.*#//')"
done
median() { printf '%s\n' "$@" | sort -n | sed -n 3p; }
echo "selection of ten servers, three silent: median $(median "${walls[@]}") ms (Wine's start of the tool: ${start_ms} ms); one after another: median $(median "${serials[@]}") ms"
