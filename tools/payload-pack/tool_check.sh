#!/usr/bin/env bash
# tool_check.sh TOOL WORKDIR ORIGINAL [CONTAINER]
# Checks velmorante-tool's pack (when no CONTAINER is given) and unpack: the original comes back
# byte for byte, and a damaged container gives exit 1, one line on standard error and no output
# file. VLM_EMULATOR runs the tool (scripts/wine-run for the Windows build).
set -u
tool=$1 work=$2 original=$3 container=${4:-}
fail() { echo "tool check: $*" >&2; exit 1; }
run() { ${VLM_EMULATOR:-} "$tool" "$@"; }

rm -rf "$work" && mkdir -p "$work" || fail "cannot make $work"
cp "$original" "$work/original" || fail "cannot copy $original"
cd "$work" || exit 1
if [ -z "$container" ]; then
  run pack original packed.lzms || fail "pack failed"
  [ ! -e packed.lzms.part ] || fail "pack left its temporary file"
else
  cp "$container" packed.lzms || fail "cannot copy $container"
fi
run unpack packed.lzms restored || fail "unpack failed"
cmp -s original restored || fail "unpack restored different bytes"

size=$(stat -c %s packed.lzms)
head -c $((size - 1)) packed.lzms > cut.lzms                    # last byte missing
{ head -c 6 packed.lzms; printf '\x00'; tail -c +8 packed.lzms; } > check.lzms  # check byte
cp packed.lzms magic.lzms && printf 'X' | dd of=magic.lzms bs=1 seek=0 conv=notrunc status=none
head -c 10 packed.lzms > short.lzms
for bad in cut check magic short; do
  run unpack "$bad.lzms" out 2> err
  rc=$?
  [ "$rc" -eq 1 ] || fail "$bad: exit $rc, expected 1"
  [ ! -e out ] && [ ! -e out.part ] || fail "$bad: an output file was left behind"
  [ "$(tr -d '\r' < err | wc -l)" -eq 1 ] || fail "$bad: expected one line on standard error: $(cat err)"
done
run unpack missing.lzms out 2> err && fail "a missing input was accepted"
echo "tool check: ok"
