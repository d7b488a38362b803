"""Checks of the plain values the command line reads back from a model
file's metadata: each returns the value, or raises TypeError or ValueError
saying what it is not."""

from typing import Any


def count(value: Any, least: int) -> int:
    """An integer (not a bool) of at least `least`."""
    if type(value) is not int or value < least:
        raise ValueError(f"{value!r} is not an integer of at least {least}")
    return value


def choice(value: Any, choices: tuple[str, ...]) -> str:
    """One of `choices`."""
    if value not in choices:
        raise ValueError(f"{value!r} is not one of {', '.join(choices)}")
    return str(value)


def text(value: Any) -> str:
    """A string."""
    if not isinstance(value, str):
        raise TypeError(f"{value!r} is not a string")
    return value


def flag(value: Any) -> bool:
    """True or false."""
    if not isinstance(value, bool):
        raise TypeError(f"{value!r} is not true or false")
    return value
