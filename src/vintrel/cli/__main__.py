"""`python -m vintrel.cli`, the same as the `vintrel` command."""

from vintrel.cli import run

run()
