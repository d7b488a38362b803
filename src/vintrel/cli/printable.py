"""Text from data files and command lines made safe to print: column names,
levels and paths can hold control characters (an escape sequence that
recolours or clears the terminal, a line break that forges an output line),
which are shown escaped instead."""

import re

# C0 and C1 controls and DEL, the line and paragraph separators, and the
# bidirectional controls that reorder how the rest of a line is shown.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u200e\u200f\u202a-\u202e\u2066-\u2069]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escaped(match: re.Match[str]) -> str:
    character = match.group()
    code = ord(character)
    return _NAMED.get(character) or (f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")


def printable(text: object) -> str:
    """`text` as a string with its control characters escaped as `repr`
    escapes them (``\\x1b``, ``\\n``, ``\\u202e``). Other characters,
    backslashes included, are kept, so the result prints on one line and
    escaping it again changes nothing."""
    return _UNSAFE.sub(_escaped, str(text))
