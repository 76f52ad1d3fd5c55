# Sourced by the benchmarks that run in the road namespace (tests/system/road.sh), from the top of
# the tree: builds the Windows preset, makes the Wine prefix and brings the road up with three
# servers; it is taken down when the benchmark exits.
scripts/setup >/dev/null
scripts/build windows >/dev/null || { echo "bench: build failed" >&2; exit 1; }
. scripts/wine-env
. tests/system/road.sh
[ "$(id -u)" -eq 0 ] || { echo "bench: needs root for its network namespaces" >&2; exit 1; }
vlm_wine_prefix || exit 1
trap road_down EXIT
road_up 3 || exit 1
