#!/usr/bin/env python3
"""Turns the xray document that velmorante-tool wrote into one that v2ray 4.34 accepts.

Exactly two edits are allowed, and nothing else may change:
  1. every routing rule gets "type":"field" (v2ray 4.34 refuses rules without a type);
  2. "quic" is dropped from every inbound's sniffing destOverride (4.34 has no QUIC sniffer).
The script proves the point: undoing both edits must give back the tool's text byte for byte.
Reads the tool's text on standard input, writes the edited document on standard output.
"""
import json
import sys

original = sys.stdin.buffer.read().decode("utf-8")
if original.endswith("\n"):
    original = original[:-1]
doc = json.loads(original)

for rule in doc["routing"]["rules"]:
    if "type" in rule:
        sys.exit("rule already has a type: " + json.dumps(rule))
    rule["type"] = "field"
quic_at = []
for inbound in doc["inbounds"]:
    overrides = inbound["sniffing"]["destOverride"]
    quic_at.append(overrides.index("quic"))
    overrides.remove("quic")
edited = json.dumps(doc, ensure_ascii=False, separators=(",", ":"))

# Undo both edits on a fresh copy and compare with the tool's own bytes.
back = json.loads(edited)
for rule in back["routing"]["rules"]:
    del rule["type"]
for inbound, at in zip(back["inbounds"], quic_at):
    inbound["sniffing"]["destOverride"].insert(at, "quic")
if json.dumps(back, ensure_ascii=False, separators=(",", ":")) != original:
    sys.exit("the edits changed more than the two allowed places")
sys.stdout.write(edited)
