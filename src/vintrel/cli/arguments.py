"""The command line's grammar: `vintrel fit`, `vintrel predict` and
`vintrel show`."""

import argparse
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

import vintrel.cli.backends as backends
from vintrel.cli.errors import EXIT_USAGE, CommandError


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line and a CommandError, so that
    `main` decides how the program ends."""

    def error(self, message: str) -> NoReturn:
        raise CommandError(f"{message} (see '{self.prog} --help')", status=EXIT_USAGE)


def _number(convert: Callable[[str], float | int], accepts: Callable[[float], bool],
            expected: str) -> Callable[[str], float | int]:
    def parse(text: str) -> float | int:
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {expected}, got '{text}'") from None
        if not accepts(value):
            raise argparse.ArgumentTypeError(f"expected {expected}, got '{text}'")
        return value
    return parse


# Counts beyond this fit no machine word; refused here rather than
# overflowing where they are used.
_LARGEST_COUNT = 2**63 - 1
# NaN fails every comparison, so these refuse it too.
_positive_int = _number(int, lambda v: 1 <= v <= _LARGEST_COUNT, "a positive integer")
_positive = _number(float, lambda v: 0 < v < float("inf"), "a positive number")
_non_negative = _number(float, lambda v: 0 <= v < float("inf"), "a non-negative number")
_unit_interval = _number(float, lambda v: 0 <= v <= 1, "a number between 0 and 1")
_coverage = _number(float, lambda v: 0 < v < 1, "a coverage between 0 and 1, such as 0.9")


class _Version(argparse.Action):
    """`--version`: the package's version, looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show the program's version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        from vintrel._model_format import producer

        print(producer())
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="vintrel", description="Stream data files through an incremental Huber regression.")
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fit = commands.add_parser("fit", help="fit a model on a data set, batch by batch",
                              description="Fit a Huber regression on DATA (a Parquet, CSV or Arrow file, a "
                                          "directory or a glob of them) in batches, and save the model.")
    fit.add_argument("data", metavar="DATA")
    fit.add_argument("--target", metavar="COL", help="the column to predict (required unless resuming)")
    fit.add_argument("--features", metavar="COL", nargs="+",
                     help="feature columns (default: every numeric column but the target and the weight)")
    fit.add_argument("--categorical", metavar="COL", nargs="+", default=[],
                     help="columns to one-hot encode (first level dropped)")
    fit.add_argument("--weight", metavar="COL", help="a column of non-negative row weights")
    fit.add_argument("--batch-rows", metavar="N", type=_positive_int,
                     help="rows per update (default 100,000; when resuming, the model's)")
    # The penalties' labels (vintrel._model's PENALTIES), written out so that
    # --help answers without importing the model's numerical code.
    fit.add_argument("--penalty", choices=["none", "l1", "l2", "elasticnet"], help="default none")
    fit.add_argument("--epsilon", metavar="E", type=_positive, help="the Huber threshold (default 1.35)")
    fit.add_argument("--alpha", metavar="A", type=_non_negative,
                     help="the penalty level (default 1.0; needs --penalty)")
    fit.add_argument("--l1-ratio", metavar="R", type=_unit_interval,
                     help="the L1 share of --penalty elasticnet, from 0 (ridge) to 1 (lasso) (default 0.5)")
    fit.add_argument("--half-life", metavar="W", type=_positive,
                     help="forget: before each batch, discount everything the model carries by 0.5 ** (batch weight "
                          "/ W), so a row's weight halves with every W rows (of weight) after it; a single stream, "
                          "so not with --passes above 1")
    fit.add_argument("--max-iter", metavar="N", type=_positive_int, help="iterations of each update at most "
                                                                        "(default 50)")
    fit.add_argument("--tol", metavar="TOL", type=_positive,
                     help="the relative step tolerance of each update (default 1e-8, 1e-5 in float32)")
    fit.add_argument("--nan", choices=["error", "drop"],
                     help="rows with empty, NaN or infinite values: refuse them (default) or leave them out")
    fit.add_argument("--threads", metavar="K", type=_positive_int, help="worker threads of the engine")
    fit.add_argument("--dtype", choices=["float32", "float64"], help="precision of the fit (default float64)")
    fit.add_argument("--passes", metavar="N", type=_positive_int,
                     help="passes over the data at most, the first streamed and each later one a step towards the "
                          "whole-data estimate (default 20; 1: a single stream, whose estimate depends on the order "
                          "of the rows)")
    fit.add_argument("--pass-tol", metavar="TOL", type=_positive,
                     help="the passes stop once a step moves the fitted values and the scale by less than this many "
                          "of their standard errors (default 0.01)")
    fit.add_argument("--model", metavar="OUT", required=True, help="the model file to write")
    fit.add_argument("--plot", metavar="PNG", help="write coefficient paths and residuals to this PNG")
    fit.add_argument("--resume", metavar="MODEL", help="continue the stream of a saved model")
    backends.add_options(fit)
    fit.add_argument("--refine", action="store_true",
                     help=f"with {backends.options()}: at least one pass over every file after the merge, even with "
                          f"--passes 1")
    fit.add_argument("--quiet", action="store_true", help="no progress display")

    predict = commands.add_parser("predict", help="predict with a saved model, batch by batch",
                                  description="Write the predictions of MODEL on DATA to a Parquet or CSV file.")
    predict.add_argument("model", metavar="MODEL")
    predict.add_argument("data", metavar="DATA")
    predict.add_argument("--output", metavar="OUT", required=True, help="a .parquet or .csv file to write")
    predict.add_argument("--keep", metavar="COL", nargs="+", default=[],
                         help="columns of DATA to copy next to the predictions, such as an id")
    predict.add_argument("--batch-rows", metavar="N", type=_positive_int, default=100_000,
                         help="rows predicted at a time (default 100,000)")
    predict.add_argument("--nan", choices=["error", "drop", "keep"], default="error",
                         help="rows with empty, NaN or infinite features: refuse them (default), leave them out, or "
                              "keep them with a null prediction so that the output lines up with DATA row for row")
    predict.add_argument("--interval", metavar="COVERAGE", type=_coverage,
                         help="add columns lower and upper: a prediction interval that holds a new row's target "
                              "with this probability (such as 0.9), from the model's residual distribution and "
                              "the prediction's standard error")
    predict.add_argument("--scores", action="store_true",
                         help="add columns residual, scaled_residual (in residual scales) and outlier (|scaled "
                              "residual| > 3); DATA must hold the model's target column, whose missing values "
                              "count as missing (see --nan)")
    predict.add_argument("--quiet", action="store_true", help="no progress display")

    show = commands.add_parser("show", help="print a model's header and coefficients",
                               description="Print what a model file holds.")
    show.add_argument("model", metavar="MODEL")
    return parser


def parse(argv: Sequence[str]) -> argparse.Namespace:
    return build_parser().parse_args(list(argv))
