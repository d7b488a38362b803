"""The `vintrel` command: `vintrel fit`, `vintrel predict` and `vintrel show`
stream data files through `IncrementalHuberRegressor`.

Bad input ends a command with one line on standard error and exit status 1
(2 for a malformed command line); Ctrl-C at any moment ends it with one
line and status 130, a fit saving what it folded; a reader that closes the
output early (`vintrel show m.npz | head -1`) ends it quietly with status
141.
"""

import importlib
import os
import sys
from collections.abc import Sequence

from vintrel.cli.errors import EXIT_BAD_INPUT, EXIT_CLOSED_OUTPUT, EXIT_INTERRUPTED, CommandError, first_line
from vintrel.cli.interrupt import check_interrupted, hold_interrupts
from vintrel.cli.printable import printable

# Each command's function as "module:function", imported when the command
# runs: `--help`, `--version` and a malformed command line answer without
# loading scikit-learn, SciPy or pyarrow, and Ctrl-C while they load is
# handled like Ctrl-C at any later moment.
COMMANDS = {"fit": "vintrel.cli.fit:run_fit", "predict": "vintrel.cli.predict:run_predict",
            "show": "vintrel.cli.show:run_show"}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line `argv` (default: the process's arguments) and
    return its exit status."""
    arguments = sys.argv[1:] if argv is None else list(argv)
    prefix = "vintrel"
    try:
        from vintrel.cli.arguments import parse

        args = parse(arguments)
        prefix = f"vintrel {args.command}"
        module, _, function = COMMANDS[args.command].partition(":")
        command = getattr(importlib.import_module(module), function)
        check_interrupted()  # after the imports, which take a while
        status: int = command(args)
        sys.stdout.flush()  # a closed output is found here rather than at exit
        return status
    except BrokenPipeError:
        return _output_closed()
    except CommandError as error:
        return _fail(prefix, str(error), error.status)
    except KeyboardInterrupt:
        return _fail(prefix, "interrupted; nothing was written", EXIT_INTERRUPTED)
    except MemoryError as error:
        # numpy says how much it could not allocate, and for what shape.
        detail = f" ({first_line(error)})" if str(error).strip() else ""
        return _fail(prefix, f"out of memory{detail}; try a smaller --batch-rows", EXIT_BAD_INPUT)
    except OverflowError as error:
        return _fail(prefix, f"a number is too large: {first_line(error)}", EXIT_BAD_INPUT)
    except (ValueError, OSError) as error:
        # Refusals of the estimator, the model file and the readers carry
        # their own clear messages (pyarrow's errors derive from these).
        return _fail(prefix, first_line(error), EXIT_BAD_INPUT)
    except Exception as error:
        if not _is_arrow_error(error):
            raise
        return _fail(prefix, first_line(error), EXIT_BAD_INPUT)
    except SystemExit as exit:  # --help and --version
        return exit.code if isinstance(exit.code, int) else 0


def _is_arrow_error(error: Exception) -> bool:
    arrow = sys.modules.get("pyarrow")
    return arrow is not None and isinstance(error, arrow.ArrowException)


def _fail(prefix: str, message: str, status: int) -> int:
    print(printable(f"{prefix}: {message}"), file=sys.stderr, flush=True)
    return status


def _output_closed() -> int:
    """End quietly when the reader of standard output has gone: what is
    still buffered goes to the null device, so that the flush at exit
    cannot fail again."""
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
    except (OSError, ValueError):  # no file descriptor behind sys.stdout
        pass
    return EXIT_CLOSED_OUTPUT


def run() -> None:
    """The console script's entry point."""
    hold_interrupts()
    sys.exit(main())
