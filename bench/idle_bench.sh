#!/usr/bin/env bash
# scripts/bench idle: VELMORANTE.exe left alone for 60 s under Wine with the recording stand-in
# runtime, a service profile of 10 applications, the monitor loop and the 1 s snapshot timer
# running: processor time and private memory of the program's own process (not the runtime's, not
# Wine's server). In its own prefix (build/wineprefix-bench) and namespace (tests/system/road.sh).
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/setup >/dev/null
[ -f build/windows/build.ninja ] || cmake --preset windows >/dev/null
cmake --build --preset windows --target VELMORANTE webview_runtime >/dev/null || { echo "bench: build failed" >&2; exit 1; }
export WINEPREFIX=$here/build/wineprefix-bench
. scripts/wine-env
. tests/system/road.sh
vlm_wine_prefix
seconds=${BENCH_SECONDS:-60}
xvfb=
program=
finish() {
  [ -n "$program" ] && kill "$program" 2>/dev/null
  road_down
  tests/fixtures/webview-runtime/unregister.sh "$WINEPREFIX" >/dev/null 2>&1
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
}
trap finish EXIT
if [ -z "${DISPLAY:-}" ]; then
  Xvfb :97 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=:97
  sleep 1
fi
tests/fixtures/webview-runtime/register.sh "$WINEPREFIX" build/windows/webview-runtime/EBWebView/x64/EmbeddedBrowserWebView.dll >/dev/null
road_up 1 || exit 1
apps=${BENCH_APPS-'"TslGame","discord","steam","chrome","firefox","telegram","obs64","spotify","zoom","code"'}
printf '{"config":{"mode":"game","apps":[%s],"servers":{"apps_list":[{"link":"%s"}],"rest":""}}}\n' \
  "$apps" "${ROAD_LINKS[1]}" > "$ROAD_WORK/profile.json"
road_service "$ROAD_WORK/profile.json" || exit 1

ip netns exec "$ROAD_NS" "$VLM_WINE" build/windows/VELMORANTE.exe >/dev/null 2>&1 &
program=$!
pid=
for _ in $(seq 100); do
  pid=$(pgrep -f 'VELMORANTE.exe' | while read -r p; do [ "$(cat /proc/$p/comm 2>/dev/null)" = VELMORANTE.exe ] && echo "$p"; done | head -1)
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "bench: the program did not start" >&2; exit 1; }
sleep 5  # start-up is not idling
ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
before=$(cpu "$pid")
sleep "$seconds"
after=$(cpu "$pid")
private_kb=$(awk '/^Private_(Clean|Dirty):/ {s += $2} END {print s}' "/proc/$pid/smaps_rollup")
rss_kb=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
awk -v b="$before" -v a="$after" -v t="$ticks" -v s="$seconds" -v p="$private_kb" -v r="$rss_kb" 'BEGIN {
  cpu = (a - b) / t
  printf "VELMORANTE.exe idle for %d s under Wine (recording runtime, 10 applications, monitor and timer running)\n", s
  printf "processor time   %.2f s = %.3f %% of one core (goal <= 0.1 %%)\n", cpu, 100 * cpu / s
  printf "private memory   %.1f MB (resident %.1f MB; goal <= 12 MB)\n", p / 1024, r / 1024
}'
