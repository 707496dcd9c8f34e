#!/usr/bin/env python3
"""Checks that every string literal of image code that holds Chinese (or any
other non-ASCII text) is in the built program image as its GBK bytes.

Image code is written in UTF-8 and compiled with -fexec-charset=GBK; the
window, the message boxes and the answer's type words all expect GBK. A
compiler that skipped or changed the conversion would still build a working
image with unreadable texts, so the build stops here instead.

usage: check_gbk_literals.py IMAGE STAMP SOURCE...
"""
import re
import sys

# Comments, character literals and string literals, in the order they start;
# only string literals are checked.
TOKEN = re.compile(
    r'//[^\n]*|/\*.*?\*/|\'(?:[^\'\\\n]|\\.)*\'|"((?:[^"\\\n]|\\.)*)"', re.S)
ESCAPE = re.compile(r'\\(x[0-9A-Fa-f]+|[0-7]{1,3}|.)', re.S)
SIMPLE_ESCAPES = {'n': 10, 'r': 13, 't': 9, '0': 0, '\\': 92, '"': 34, "'": 39,
                  'a': 7, 'b': 8, 'f': 12, 'v': 11, '?': 63}


def literal_bytes(body):
    """The bytes the compiler stores for one literal's body, text as GBK."""
    out = bytearray()
    position = 0
    for escape in ESCAPE.finditer(body):
        out += body[position:escape.start()].encode('gbk')
        code = escape.group(1)
        if code[0] == 'x':
            out.append(int(code[1:], 16) & 0xFF)
        elif code[0].isdigit() and code != '0':
            out.append(int(code, 8) & 0xFF)
        else:
            out.append(SIMPLE_ESCAPES[code])
        position = escape.end()
    out += body[position:].encode('gbk')
    return bytes(out)


def main(image_path, stamp_path, sources):
    image = open(image_path, 'rb').read()
    failures = []
    checked = 0
    for source in sources:
        text = open(source, encoding='utf-8').read()
        for token in TOKEN.finditer(text):
            body = token.group(1)
            if body is None or body.isascii():
                continue
            line = text.count('\n', 0, token.start()) + 1
            try:
                expected = literal_bytes(body)
            except UnicodeEncodeError as error:
                failures.append(f'{source}:{line}: "{body}" has a character GBK cannot hold '
                                f'({error.object[error.start]!r})')
                continue
            checked += 1
            if expected not in image:
                failures.append(f'{source}:{line}: "{body}" is not in {image_path} as its GBK bytes '
                                f'{expected.hex(" ")} (was it compiled without -fexec-charset=GBK, '
                                f'or is the code holding it unused?)')
    if failures:
        print('\n'.join(failures), file=sys.stderr)
        return 1
    with open(stamp_path, 'w') as stamp:
        stamp.write(f'{checked} literals checked\n')
    return 0


if __name__ == '__main__':
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
