"""Which columns of a data set a fit uses, chosen from the command's options
and the data set's schema."""

from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass

import pyarrow as pa

from vintrel.cli.dataset import column_advice, is_numeric
from vintrel.cli.errors import CommandError, no_such_column


@dataclass(frozen=True)
class ColumnChoice:
    """The feature columns in order, the categorical ones among them, and
    the text columns the default feature list left out."""

    features: tuple[str, ...]
    categorical: tuple[str, ...]
    skipped: tuple[str, ...]


def choose_columns(schema: pa.Schema, target: str, features: Sequence[str] | None, weight: str | None,
                   categorical: Sequence[str], where: str) -> ColumnChoice:
    """The columns of a fit.

    Without `features`, every numeric column but the target and the weight
    is a feature, and so is every `categorical` column. Named features must
    be numeric unless listed as categorical.
    """
    names = schema.names
    for name in [target, *([weight] if weight is not None else []), *(features or ()), *categorical]:
        if name not in names:
            raise no_such_column(name, names, where)
    for role, column in (("target", target), ("weight", weight)):
        if column is not None and not is_numeric(schema.field(column).type):
            raise CommandError(f"{where}: the {role} column '{column}' is not numeric "
                               f"({schema.field(column).type})")
    roles = {target, weight}
    clashes = [name for name in (*(features or ()), *categorical) if name in roles]
    if clashes:
        raise CommandError(f"{where}: '{clashes[0]}' is the target or the weight and cannot be a feature")
    skipped: list[str] = []
    if features is None:
        chosen = []
        for name in names:
            if name in roles:
                continue
            if name in categorical or is_numeric(schema.field(name).type):
                chosen.append(name)
            else:
                skipped.append(name)
    else:
        chosen = list(features) + [name for name in categorical if name not in features]
        text = [name for name in chosen if name not in categorical and not is_numeric(schema.field(name).type)]
        for name in text:
            advice = column_advice(schema.field(name).type)
            if advice is not None:
                raise CommandError(f"{where}: feature column '{name}' is not numeric; {advice}")
        if text:
            raise CommandError(f"{where}: non-numeric feature column{'s' * (len(text) > 1)} "
                               f"{', '.join(text)}; list {'them' if len(text) > 1 else 'it'} with "
                               f"--categorical to encode {'them' if len(text) > 1 else 'it'} as indicators")
    repeated = sorted(name for name, count in Counter(chosen).items() if count > 1)
    if repeated:
        raise CommandError(f"{where}: feature column{'s' * (len(repeated) > 1)} "
                           f"{', '.join(repeated)} listed more than once")
    if not chosen:
        raise CommandError(f"{where}: no feature columns (only the target and weight are numeric)")
    return ColumnChoice(tuple(chosen), tuple(name for name in chosen if name in categorical), tuple(skipped))
