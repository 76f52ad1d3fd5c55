#!/usr/bin/env bash
# scripts/bench road: starts scripts/run (stand-in engines in plain SOCKS mode) and times the road
# from the page's toggle to "running" with bench/road_bench.mjs; stops everything afterwards.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/setup >/dev/null
scripts/build native windows >/dev/null || { echo "bench: build failed" >&2; exit 1; }
work=$(mktemp -d /tmp/vlm-road-bench.XXXXXX)
xvfb=
run_pid=
finish() {
  [ -n "$run_pid" ] && kill "$run_pid" 2>/dev/null && timeout 60 tail --pid="$run_pid" -f /dev/null 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
if [ -z "${DISPLAY:-}" ]; then
  Xvfb :98 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=:98
  sleep 1
fi
VLM_RUN_NO_BUILD=1 VLM_STANDIN_NO_V2RAY=1 scripts/run > "$work/run.log" 2>&1 &
run_pid=$!
ns=
for _ in $(seq 1800); do
  ns=$(sed -n 's/^run: VELMORANTE in namespace \([^ ]*\) .*/\1/p' "$work/run.log")
  [ -n "$ns" ] && break
  sleep 0.1
done
[ -n "$ns" ] || { echo "bench: scripts/run did not start the program" >&2; cat "$work/run.log" >&2; exit 1; }
ip netns exec "$ns" timeout 60 bash -c "until (exec 3<>/dev/tcp/127.0.0.1/${VLM_DEV_RUNTIME_CDP_PORT:-9229}) 2>/dev/null; do sleep 0.2; done"
ip netns exec "$ns" timeout -k 10 600 node bench/road_bench.mjs
