#!/usr/bin/env bash
# velmorante-tool profile: document on standard input -> one line on standard output.
# Usage: profile_test.sh TOOL [EMULATOR...]
set -u
tool=("${@:2}" "$1")
failed=0
check() {  # input, expected output, expected exit code, expected standard error
  local out err rc
  err=$(mktemp)
  out=$(printf '%s' "$1" | timeout 60 "${tool[@]}" profile 2>"$err")
  rc=$?
  out=${out%$'\r'}
  if [ "$out" != "$2" ] || [ "$rc" != "$3" ] || [ "$(tr -d '\r' <"$err")" != "$4" ]; then
    echo "FAILED for input: $1"
    echo "  got ($rc): $out / $(cat "$err")"
    echo "  want ($3): $2 / $4"
    failed=1
  fi
  rm -f "$err"
}
none='"update":{"version":"","url":"","sha256":"","notes":"","mandatory":false}'
check '{}' '{"mode":"game","apps":[],"servers":[],"primaryLink":"","generalLink":"",'"$none"'}' 0 ''
check '{"config":{"mode":"system","servers":{"rest":"R"}}}' \
      '{"mode":"system","apps":[],"servers":["R"],"primaryLink":"R","generalLink":"R",'"$none"'}' 0 ''
check '{"config":{"mode":"System","apps":["TslGame",3],"servers":{"apps_list":[{"link":"A"},{"link":""},{"link":"B"}],"apps":"C","rest":"R"}},"update":{"version":"1.3","url":"https://u","sha256":"AB","notes":"Заметки","mandatory":"true"}}' \
      '{"mode":"game","apps":["TslGame",""],"servers":["A","B"],"primaryLink":"A","generalLink":"R","update":{"version":"1.3","url":"https://u","sha256":"AB","notes":"Заметки","mandatory":false}}' 0 ''
check '{"update":{"mandatory":true,"version":"2"}}' \
      '{"mode":"game","apps":[],"servers":[],"primaryLink":"","generalLink":"","update":{"version":"2","url":"","sha256":"","notes":"","mandatory":true}}' 0 ''
check '{"config":' '' 1 'invalid JSON'
check '' '' 1 'invalid JSON'
[ "$failed" -eq 0 ] && echo "profile tool: all cases passed"
exit "$failed"
