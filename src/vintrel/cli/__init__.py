"""The `vintrel` command: `vintrel fit`, `vintrel predict` and `vintrel show`
stream data files through `IncrementalHuberRegressor`.

Bad input ends a command with one line on standard error and exit status 1
(2 for a malformed command line); a fit stopped by Ctrl-C saves what it
folded and exits with status 130.
"""

import sys
from collections.abc import Callable, Sequence

import pyarrow as pa

from vintrel.cli.arguments import parse
from vintrel.cli.errors import EXIT_BAD_INPUT, EXIT_INTERRUPTED, CommandError, first_line
from vintrel.cli.fit import run_fit
from vintrel.cli.predict import run_predict
from vintrel.cli.show import run_show
from vintrel.cli.table import printable

COMMANDS: dict[str, Callable[..., int]] = {"fit": run_fit, "predict": run_predict, "show": run_show}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line `argv` (default: the process's arguments) and
    return its exit status."""
    arguments = sys.argv[1:] if argv is None else list(argv)
    prefix = "vintrel"
    try:
        args = parse(arguments)
        prefix = f"vintrel {args.command}"
        return COMMANDS[args.command](args)
    except CommandError as error:
        return _fail(prefix, str(error), error.status)
    except KeyboardInterrupt:
        return _fail(prefix, "interrupted; nothing was written", EXIT_INTERRUPTED)
    except MemoryError:
        return _fail(prefix, "out of memory; try a smaller --batch-rows", EXIT_BAD_INPUT)
    except (ValueError, OSError, pa.ArrowException) as error:
        # Refusals of the estimator, the model file and the readers carry
        # their own clear messages.
        return _fail(prefix, first_line(error), EXIT_BAD_INPUT)
    except SystemExit as exit:  # --help and --version
        return exit.code if isinstance(exit.code, int) else 0


def _fail(prefix: str, message: str, status: int) -> int:
    # Messages quote names and paths from data and model files.
    print(f"{prefix}: {printable(message)}", file=sys.stderr, flush=True)
    return status


def run() -> None:
    """The console script's entry point."""
    sys.exit(main())
