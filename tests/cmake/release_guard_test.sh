#!/usr/bin/env bash
# The release guard: every development default, and the stand-in engines, refused in every build
# type; the development switch accepts them. Only the configure's verdict is looked at: a refused
# configure stops at the guard, and an accepted one gets past it (the rest of its configure is not
# this test's business and may be cut short by the time-out).
set -uo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
real=(-DVLM_SERVICE_HOST=vpn.example.org -DVLM_SERVICE_FALLBACK_IP=192.0.2.10
      -DVLM_SERVICE_PUBLIC_KEY="$(printf '%0128d' 7)" -DVLM_SUPPORT_URL=https://example.org/help)
failed=0 n=0
# check EXPECTED(refused|accepted) WHAT ARGS...
check() {
  local expected=$1 what=$2; shift 2
  n=$((n + 1))
  local out; out=$(timeout 120 cmake -S "$src" -B "$work/b$n" -G Ninja -DVLM_TESTS=OFF "$@" 2>&1)
  local verdict=accepted
  grep -q "would still trust development settings" <<<"$out" && verdict=refused
  if [ "$verdict" != "$expected" ]; then
    echo "FAIL: $what: $verdict, expected $expected"; failed=$((failed + 1))
  else
    echo "ok: $what: $verdict"
  fi
}
drop() {  # the real settings without the one named
  local name=$1 a; for a in "${real[@]}"; do [[ $a == -D$name=* ]] || printf '%s\n' "$a"; done
}
for type in Release RelWithDebInfo MinSizeRel Debug release; do
  for name in VLM_SERVICE_HOST VLM_SERVICE_FALLBACK_IP VLM_SERVICE_PUBLIC_KEY VLM_SUPPORT_URL; do
    mapfile -t rest < <(drop "$name")
    check refused "$type, development $name" -DCMAKE_BUILD_TYPE="$type" "${rest[@]}"
  done
done
toolchain=-DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake"
for type in Release RelWithDebInfo; do
  check refused "$type for Windows, stand-in engines" "$toolchain" -DCMAKE_BUILD_TYPE="$type" "${real[@]}"
done
check accepted "every development default with the switch" -DCMAKE_BUILD_TYPE=Release -DVLM_DEVELOPMENT_RELEASE=ON
check accepted "stand-in engines with the switch" "$toolchain" -DCMAKE_BUILD_TYPE=Release "${real[@]}" \
  -DVLM_DEVELOPMENT_RELEASE=ON
check accepted "the real settings" -DCMAKE_BUILD_TYPE=Release "${real[@]}"
echo "release guard: $((n - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
