"""What the command line keeps in a model file's metadata: the columns and
levels a model uses, and which rows of which files it has folded."""

from collections.abc import Mapping
from typing import Any

from vintrel.cli.encoding import FeatureLayout
from vintrel.cli.errors import CommandError
from vintrel.model_file import SavedModel

# The metadata section the command line owns.
METADATA_KEY = "command_line"


def recorded(saved: SavedModel) -> Mapping[str, Any]:
    """The command line's section of a model file; empty for a model saved
    by other means."""
    section = (saved.metadata or {}).get(METADATA_KEY)
    return section if isinstance(section, Mapping) else {}


def layout_of(saved: SavedModel, source: str) -> FeatureLayout:
    """The columns a saved model reads: as recorded by the command line,
    or the model's feature names taken as numeric columns."""
    section = recorded(saved)
    if "layout" in section:
        return FeatureLayout.from_metadata(section["layout"])
    names = getattr(saved.estimator, "feature_names_in_", None)
    if names is None:
        raise CommandError(f"{source}: the model has no feature names, so its columns cannot be found")
    return FeatureLayout(tuple(str(name) for name in names), {})
