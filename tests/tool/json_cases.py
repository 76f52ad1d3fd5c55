#!/usr/bin/env python3
"""Runs `velmorante-tool json` on a table of documents and checks standard output, standard error
and the exit code byte for byte. Usage: json_cases.py TOOL [WRAPPER...]
(for the Windows build: json_cases.py build/windows/velmorante-tool.exe scripts/wine-run)."""
import subprocess
import sys

OK, INVALID = 0, 1

CASES = [
    # (standard input, expected standard output or None when refused)
    (b'{"b":1,"a":[true,false,null]}', b'{"b":1,"a":[true,false,null]}\n'),
    (b' \r\n\t{ "x" : { "y" : [ ] } } \n', b'{"x":{"y":[]}}\n'),
    (b'"\\u00e9\\ud83d\\ude00/"', b'"\xc3\xa9\xf0\x9f\x98\x80/"\n'),
    (b'["\\u0001\\b\\f",0.1,1e3,-0.0,2.5]', b'["\\u0001\\u0008\\u000c",0.10000000000000001,1000,0,2.5]\n'),
    (b'{"a":1,"a":2}', b'{"a":1,"a":2}\n'),
    (b'"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"', b'"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"\n'),
    (b'"line\r\nnext"', b'"line\\r\\nnext"\n'),
    (b'[1e19,9223372036854775807,-9223372036854775808,1e-7]',
     b'[1e+19,9.2233720368547758e+18,-9223372036854775808,9.9999999999999995e-08]\n'),
    (b'[0x1A,+3,Infinity]', b'[26,3,inf]\n'),
    (b'[' * 512 + b']' * 512, b'[' * 512 + b']' * 512 + b'\n'),
    (b'[' * 513 + b']' * 513, None),
    (b'{"k":' * 512 + b'0' + b'}' * 512, b'{"k":' * 512 + b'0' + b'}' * 512 + b'\n'),
    (b'[' * 200000, None),
    (b'', None),
    (b'   ', None),
    (b'[1,]', None),
    (b'{"a":1} {"b":2}', None),
    (b'"open', None),
    (b'truex', None),
    (b'{"a":1,"b":[1,2,{"c":', None),
]


def run(cmd, data):
    return subprocess.run(cmd, input=data, capture_output=True, timeout=120)


def main():
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    tool, wrapper = sys.argv[1], sys.argv[2:]
    base = wrapper + [tool]
    passed = failed = 0

    def check(name, ok, detail=''):
        nonlocal passed, failed
        if ok:
            passed += 1
        else:
            failed += 1
            print(f'FAILED: {name} {detail}')

    for i, (doc, expected) in enumerate(CASES):
        r = run(base + ['json'], doc)
        if expected is None:
            # Standard error is a text stream: CR LF on Windows.
            check(f'case {i}', r.returncode == INVALID and r.stdout == b''
                  and r.stderr.replace(b'\r\n', b'\n') == b'invalid JSON\n',
                  f'exit {r.returncode} out {r.stdout[:80]!r} err {r.stderr[:80]!r}')
        else:
            check(f'case {i}', r.returncode == OK and r.stdout == expected and r.stderr == b'',
                  f'exit {r.returncode} out {r.stdout[:120]!r} err {r.stderr[:80]!r}')

    # The frame: help, unknown commands and stray arguments.
    r = run(base + ['--help'], b'')
    check('--help', r.returncode == 0 and b'json' in r.stdout)
    r = run(base + ['no-such-command'], b'')
    check('unknown command', r.returncode == 2 and r.stdout == b'' and b'usage' in r.stderr)
    r = run(base, b'')
    check('no command', r.returncode == 2 and r.stdout == b'' and b'usage' in r.stderr)
    r = run(base + ['json', 'extra'], b'{}')
    check('json with an argument', r.returncode == 2 and r.stdout == b'' and b'usage' in r.stderr)

    print(f'tool json: {passed} passed, {failed} failed')
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
