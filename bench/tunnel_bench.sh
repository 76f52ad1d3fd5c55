#!/usr/bin/env bash
# Runs bench/tunnel_bench.cpp (target tunnel_bench of the windows preset) under Wine in the
# namespace of tests/system/road.sh, with the stand-in xray in plain SOCKS mode.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
scripts/setup >/dev/null
[ -f build/windows/build.ninja ] || cmake --preset windows >/dev/null
cmake --build --preset windows --target tunnel_bench >/dev/null || { echo "bench: build failed" >&2; exit 1; }
. scripts/wine-env
. tests/system/road.sh
vlm_wine_prefix
trap road_down EXIT
road_up 1 || exit 1
ip netns exec "$ROAD_NS" env VLM_TUNNEL_SERVER="${ROAD_LINKS[1]}" VLM_STANDIN_NO_V2RAY=1 \
  timeout -k 5 300 "$VLM_WINE" build/windows/tunnel_bench.exe
