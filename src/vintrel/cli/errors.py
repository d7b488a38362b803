"""The command line's one kind of error: a message for the user and an exit
status, and the translation of reader errors into such messages."""

import re
from collections.abc import Sequence

# Exit statuses: bad input, a malformed command line, a command stopped by
# Ctrl-C (128 + SIGINT), and output whose reader has gone (128 + SIGPIPE,
# what a shell reports for a program that a closed pipe ended).
EXIT_BAD_INPUT = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_CLOSED_OUTPUT = 141

_CSV_CONVERSION = re.compile(
    r"In CSV column #(?P<column>\d+): Row #(?P<row>\d+): CSV conversion error to \w+: invalid value '(?P<value>.*)'")


class CommandError(Exception):
    """Bad input: printed as one line on standard error, then the command
    exits with `status`."""

    def __init__(self, message: str, status: int = EXIT_BAD_INPUT) -> None:
        super().__init__(message)
        self.status = status


def no_such_column(name: str, available: Sequence[str], where: str) -> CommandError:
    """The error for a missing column, suggesting the closest name."""
    import difflib  # here, to keep the program's start quick

    close = difflib.get_close_matches(name, list(available), n=1)
    hint = f"; did you mean '{close[0]}'?" if close else f" (columns: {', '.join(available)})"
    return CommandError(f"{where}: no column '{name}'{hint}")


def first_line(error: BaseException) -> str:
    """An exception's message as one line."""
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def reader_error(error: Exception, where: str, column_names: Sequence[str] = ()) -> CommandError:
    """A reader's error as one line naming the file: the reader's own words
    without the layers of context it wraps them in."""
    text = first_line(error)
    conversion = _CSV_CONVERSION.search(text)
    if conversion:
        index = int(conversion["column"])
        column = column_names[index] if index < len(column_names) else f"#{index}"
        return CommandError(f"{where}: line {conversion['row']}: column '{column}' holds "
                            f"'{conversion['value']}', which is not a number")
    for layer in ("Invalid: ", "IOError: "):
        if layer in text:
            text = text.rsplit(layer, 1)[1]
    text = re.sub(r"^Could not open \w+ input source '[^']*': ", "", text)
    return CommandError(f"{where}: cannot read it: {text}")
