#!/usr/bin/env bash
# scripts/bench idle: VELMORANTE.exe left alone for 60 s under Wine with the recording stand-in
# runtime, the monitor loop and the 1 s snapshot timer running, once with a service profile of 10
# applications and once with none; then Wine's own floor, a do-nothing window with a 1 s timer
# (tests/fixtures/idle_window.cpp), measured the same way. For each: processor time and private
# memory of that process alone (not the runtime's, not Wine's server). Private memory is counted as
# Windows counts private bytes: the anonymous (written, copied-on-write) pages, not the clean pages
# of mapped images. In its own prefix (build/wineprefix-bench) and namespace (tests/system/road.sh).
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/setup >/dev/null
[ -f build/windows/build.ninja ] || cmake --preset windows >/dev/null
cmake --build --preset windows --target VELMORANTE webview_runtime idle_window >/dev/null || { echo "bench: build failed" >&2; exit 1; }
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
  [ -n "$cg" ] && rmdir "$cg" 2>/dev/null
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
# The service reads the document at every request: a new one is picked up by the next start.
profile() {
  printf '{"config":{"mode":"game","apps":[%s],"servers":{"apps_list":[{"link":"%s"}],"rest":""}}}\n' \
    "$1" "${ROAD_LINKS[1]}" > "$ROAD_WORK/profile.json"
}
profile "$apps"
road_service "$ROAD_WORK/profile.json" || exit 1

# Processor time in nanoseconds (clock ticks of 10 ms cannot tell 0.05 % of a minute from 0.1 %):
# the count of a cgroup of the bench's own that holds the measured process, which keeps the time of
# threads that ended; without one, the scheduler's count summed over the threads alive.
cg=
if mkdir "/sys/fs/cgroup/cpuacct/vlm-bench-$$" 2>/dev/null; then
  cg=/sys/fs/cgroup/cpuacct/vlm-bench-$$
  cpu() { cat "$cg/cpuacct.usage"; }
elif [ -f /sys/fs/cgroup/cgroup.controllers ] && mkdir "/sys/fs/cgroup/vlm-bench-$$" 2>/dev/null; then
  cg=/sys/fs/cgroup/vlm-bench-$$
  cpu() { awk '/^usage_usec/ {printf "%d", $2 * 1000}' "$cg/cpu.stat"; }
else
  cpu() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{s += $1} END {printf "%d", s}'; }
fi
# measure EXE LABEL: starts EXE in the namespace, lets it settle for 5 s, measures it for the given
# seconds and stops it; prints one line.
measure() {
  local exe=$1 label=$2 name pid before after private_kb threads
  name=$(basename "$exe")
  ip netns exec "$ROAD_NS" "$VLM_WINE" "$exe" >/dev/null 2>&1 &
  program=$!
  pid=
  for _ in $(seq 100); do
    pid=$(pgrep -f "$name" | while read -r p; do [ "$(cat /proc/$p/comm 2>/dev/null)" = "$name" ] && echo "$p"; done | head -1)
    [ -n "$pid" ] && break
    sleep 0.1
  done
  [ -n "$pid" ] || { echo "bench: $name did not start" >&2; return 1; }
  [ -n "$cg" ] && echo "$pid" >"$cg/cgroup.procs"
  sleep 5  # start-up is not idling
  before=$(cpu "$pid")
  threads=$(ls "/proc/$pid/task" | tr '\n' ' ')
  sleep "$seconds"
  after=$(cpu "$pid")
  # Counted by thread, a thread that ended meanwhile took its count with it.
  [ -n "$cg" ] || [ "$threads" = "$(ls "/proc/$pid/task" | tr '\n' ' ')" ] ||
    echo "bench: threads of $name came or went: $label reads low" >&2
  private_kb=$(awk '/^Anonymous:/ {s += $2} END {print s}' "/proc/$pid/smaps_rollup")
  kill "$pid" 2>/dev/null
  timeout 5 tail --pid="$pid" -f /dev/null 2>/dev/null || kill -9 "$pid" 2>/dev/null
  kill "$program" 2>/dev/null
  wait "$program" 2>/dev/null
  program=
  awk -v b="$before" -v a="$after" -v s="$seconds" -v p="$private_kb" -v l="$label" 'BEGIN {
    cpu = (a - b) / 1e9
    printf "%-26s %6.3f %% of one core   private %5.1f MB\n", l, 100 * cpu / s, p / 1024
  }'
}

echo "idle for $seconds s under Wine each (recording runtime, monitor and 1 s timer running)"
measure build/windows/VELMORANTE.exe "program, 10 applications" || exit 1
profile ""
measure build/windows/VELMORANTE.exe "program, no applications" || exit 1
measure build/windows/idle_window.exe "Wine's floor (idle window)" || exit 1
echo "goals: 10 applications at most twice none; the program <= 0.1 % of one core and <= 12 MB"

