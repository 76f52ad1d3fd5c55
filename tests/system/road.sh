# Sourced by the suites that run the client end to end under Wine: a client namespace whose only
# way out is a veth with the default route (the Internet adapter), and a server namespace behind it
# with one Debian v2ray VLESS server per address (198.18.0.1, .3, .4, ...) and a page on its own
# 127.0.0.1:8080 that only the servers' side can reach, where api.velmorante.test is the servers'
# own 127.0.0.1 and the development service answers the liveness page on port 80. Every process started here is stopped by
# its PID in road_down, and both namespaces are removed.
#   road_up N        N servers; sets ROAD_NS, ROAD_LINKS[1..N], ROAD_SERVER_PIDS[1..N], ROAD_PAGE,
#                    ROAD_TEXT; returns non-zero with a reason on standard error
#   road_stop_server I   stops server I (its address stays, connections to it are refused)
#   road_silent ADDRESS...   packets to these addresses go nowhere
#   road_service FILE    the development service inside the client namespace (api.velmorante.test
#                        and the fallback address), serving the service document FILE; its
#                        authority trusted in WINEPREFIX until road_down
#   road_down
# Needs root, ip, v2ray and python3; scripts/wine-env sourced first.
ROAD_UUID=7c1e0d2a-9b3f-4e5a-8c6d-0a1b2c3d4e5f
ROAD_PIDS=()
road_up() {
  local n=$1 i
  ROAD_NS=vlm-road-$$
  ROAD_SRV=$ROAD_NS-srv
  ROAD_WORK=$(mktemp -d /tmp/vlm-road.XXXXXX)
  ROAD_TEXT="page-through-the-tunnel-$$-$RANDOM"
  ROAD_PAGE=127.0.0.1:8080
  ROAD_LINKS=()
  ROAD_SERVER_PIDS=()
  mkdir -p "/etc/netns/$ROAD_NS" "/etc/netns/$ROAD_SRV" "$ROAD_WORK/www"
  printf '127.0.0.1 localhost api.velmorante.test\n' >"/etc/netns/$ROAD_SRV/hosts"
  printf '127.0.0.1 localhost\n' >"/etc/netns/$ROAD_NS/hosts"
  printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"/etc/netns/$ROAD_NS/resolv.conf"
  ip netns add "$ROAD_NS" && ip netns add "$ROAD_SRV" || { echo "road: cannot create namespaces" >&2; return 1; }
  ip -n "$ROAD_NS" link set lo up
  ip -n "$ROAD_SRV" link set lo up
  ip link add vlm-eth0 netns "$ROAD_NS" type veth peer name vlm-srv0 netns "$ROAD_SRV" || return 1
  ip -n "$ROAD_NS" addr add 198.18.0.2/24 dev vlm-eth0
  ip -n "$ROAD_NS" link set vlm-eth0 up
  ip -n "$ROAD_NS" route add default via 198.18.0.1
  ip -n "$ROAD_SRV" link set vlm-srv0 up
  echo "$ROAD_TEXT" >"$ROAD_WORK/www/index.html"
  ip netns exec "$ROAD_SRV" python3 -m http.server --bind 127.0.0.1 --directory "$ROAD_WORK/www" 8080 \
    >"$ROAD_WORK/page.log" 2>&1 &
  ROAD_PIDS+=($!)
  # The liveness page the client fetches through each server (plain HTTP, port 80).
  ip netns exec "$ROAD_SRV" node tools/dev-service/server.js --certs "$ROAD_WORK" \
    --listen 127.0.0.1:80::http >"$ROAD_WORK/ping.log" 2>&1 &
  ROAD_PIDS+=($!)
  for i in $(seq 1 "$n"); do
    local address=198.18.0.$((i == 1 ? 1 : i + 1))
    ip -n "$ROAD_SRV" addr add "$address/24" dev vlm-srv0
    cat >"$ROAD_WORK/server-$i.json" <<JSON
{"log":{"loglevel":"warning"},
 "inbounds":[{"listen":"$address","port":8443,"protocol":"vless","settings":{"clients":[{"id":"$ROAD_UUID"}],"decryption":"none"},"streamSettings":{"network":"tcp"}}],
 "outbounds":[{"protocol":"freedom"}]}
JSON
    ip netns exec "$ROAD_SRV" v2ray -config "$ROAD_WORK/server-$i.json" >"$ROAD_WORK/server-$i.log" 2>&1 &
    ROAD_PIDS+=($!)
    ROAD_SERVER_PIDS[$i]=$!
    ROAD_LINKS[$i]="vless://$ROAD_UUID@$address:8443?type=tcp&security=none#server-$i"
  done
  for i in $(seq 1 "$n"); do
    local address=198.18.0.$((i == 1 ? 1 : i + 1))
    ip netns exec "$ROAD_SRV" timeout 5 bash -c "until (exec 3<>/dev/tcp/$address/8443) 2>/dev/null; do sleep 0.05; done" ||
      { echo "road: server $i did not start: $(cat "$ROAD_WORK/server-$i.log")" >&2; return 1; }
  done
  ip netns exec "$ROAD_SRV" timeout 5 bash -c "until (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null; do sleep 0.05; done" ||
    { echo "road: the page server did not start" >&2; return 1; }
  ip netns exec "$ROAD_SRV" timeout 5 bash -c "until (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null; do sleep 0.05; done" ||
    { echo "road: the liveness page did not start: $(cat "$ROAD_WORK/ping.log")" >&2; return 1; }
  # Wine's adapters are those of the namespace its wineserver runs in: none may run outside.
  timeout -k 5 30 "$VLM_WINESERVER" -k >/dev/null 2>&1 || true
}
road_service() {
  export VLM_DEV_PROFILE=$1
  ROAD_SERVICE=$ROAD_WORK/dev-service
  echo "127.0.0.1 api.velmorante.test" >> "/etc/netns/$ROAD_NS/hosts"
  ip netns exec "$ROAD_NS" tools/dev-service/start "$ROAD_SERVICE" >/dev/null ||
    { echo "road: the development service did not start" >&2; return 1; }
}
# road_silent ADDRESS...: addresses on the servers' side whose packets go nowhere: the client's
# neighbour table sends them to a link address nobody has, so a connection attempt waits out its
# time-out (no "host unreachable" after the first one, as an address without a neighbour entry gives).
road_silent() {
  local address
  for address in "$@"; do
    ip -n "$ROAD_NS" neigh replace "$address" lladdr 02:00:00:00:de:ad dev vlm-eth0 nud permanent || return 1
  done
}
road_stop_server() {
  local pid=${ROAD_SERVER_PIDS[$1]}
  kill "$pid" 2>/dev/null
  timeout 5 tail --pid="$pid" -f /dev/null 2>/dev/null || kill -9 "$pid" 2>/dev/null
}
# The engines' v2ray started by the xray stand-in of this prefix (its document lies in the prefix's
# engine folder; another prefix's tests may run meanwhile): a leftover is a failure and is ended here.
road_leftover_v2ray() {
  ps -eo pid=,stat=,comm=,args= |
    awk -v prefix="$WINEPREFIX/" '$3 == "v2ray" && index($0, "standin-v2ray") && index($0, prefix) && $2 !~ /^Z/ { print $1 }'
}
road_down() {
  local pid
  [ -n "${ROAD_SERVICE:-}" ] && ip netns exec "$ROAD_NS" tools/dev-service/stop "$ROAD_SERVICE" >/dev/null 2>&1
  timeout -k 5 30 ip netns exec "$ROAD_NS" "$VLM_WINESERVER" -k >/dev/null 2>&1 || true
  for pid in "${ROAD_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${ROAD_PIDS[@]}"; do timeout 5 tail --pid="$pid" -f /dev/null 2>/dev/null || kill -9 "$pid" 2>/dev/null; done
  for pid in $(road_leftover_v2ray); do kill -9 "$pid" 2>/dev/null; done
  ip netns del "$ROAD_SRV" 2>/dev/null
  ip netns del "$ROAD_NS" 2>/dev/null
  rm -rf "/etc/netns/$ROAD_NS" "/etc/netns/$ROAD_SRV" "$ROAD_WORK"
  rmdir /etc/netns 2>/dev/null || true
}
