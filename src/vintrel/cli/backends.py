"""The clusters `vintrel fit` can run a fit on instead of this process.

Each backend has an option of its own (``--dask SCHEDULER``) and an adapter
module, imported only when the option is given, whose function runs the
planned fit as one stream per file (see `vintrel.cli.cluster_fit`) and
returns the exit status. Another backend is one adapter module beside
`vintrel.cli.dask_fit` and one entry in `BACKENDS`.
"""

import argparse
import importlib
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from vintrel.cli.errors import EXIT_USAGE, CommandError, first_line

if TYPE_CHECKING:  # the command line's options are built without loading what a fit needs
    from vintrel.cli.fit_run import FitPlan

# What an adapter runs: the planned fit, returning the exit status.
type ClusterFit = Callable[[argparse.Namespace, FitPlan], int]


@dataclass(frozen=True)
class Backend:
    """A cluster a fit can run on."""

    title: str  # its name in messages
    option: str  # the option that selects it; its value reaches the adapter as an attribute of the arguments
    metavar: str
    help: str
    adapter: str  # "module:function" of the adapter's `ClusterFit`
    # A module imported before the adapter, whose ImportError names the
    # extra to install.
    requires: str | None = None

    @property
    def dest(self) -> str:
        """The attribute of the parsed arguments that holds the option."""
        return self.option.removeprefix("--").replace("-", "_")

    def load(self) -> ClusterFit:
        """The adapter's function; a missing dependency is one line of
        error naming the option."""
        module, _, function = self.adapter.partition(":")
        try:
            if self.requires is not None:
                importlib.import_module(self.requires)
            fit: ClusterFit = getattr(importlib.import_module(module), function)
        except ImportError as error:
            raise CommandError(f"{self.option}: {first_line(error)}") from error
        return fit


BACKENDS: dict[str, Backend] = {
    "dask": Backend("Dask", "--dask", "SCHEDULER",
                    "fit on a Dask cluster, one stream per file: a scheduler's address, or local:N for a cluster of N "
                    "single-threaded workers on this machine (needs pip install 'vintrel[dask]')",
                    "vintrel.cli.dask_fit:fit_on_dask", requires="vintrel.dask"),
}


def add_options(parser: argparse.ArgumentParser) -> None:
    """The option of every backend."""
    for backend in BACKENDS.values():
        parser.add_argument(backend.option, metavar=backend.metavar, help=backend.help)


def options() -> str:
    """The backends' options, for messages: "--dask" or "--dask or --spark"."""
    return " or ".join(backend.option for backend in BACKENDS.values())


def titles() -> str:
    """The backends' names, for messages."""
    return " or ".join(backend.title for backend in BACKENDS.values())


def chosen(args: argparse.Namespace) -> Backend | None:
    """The backend whose option was given, if any."""
    given = [backend for backend in BACKENDS.values() if getattr(args, backend.dest, None) is not None]
    if len(given) > 1:
        raise CommandError(f"{given[0].option} and {given[1].option} cannot be combined", status=EXIT_USAGE)
    return given[0] if given else None
