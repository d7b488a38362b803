"""What the command line keeps in a model file's metadata: the columns and
levels a model uses, its stream settings, how many rows of each file it
has taken in (with each file's identity by content), and the passes that
followed the stream."""

from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import Any

from vintrel.cli.encoding import FeatureLayout
from vintrel.cli.errors import CommandError
from vintrel.cli.file_identity import FileIdentity
from vintrel.cli.pass_record import PassRecord
from vintrel.cli.plain_values import choice as _choice
from vintrel.cli.plain_values import count as _count
from vintrel.cli.plain_values import flag as _flag
from vintrel.cli.plain_values import text as _text
from vintrel.model_file import SavedModel, check_features

# The metadata section the command line owns.
METADATA_KEY = "command_line"


@dataclass(frozen=True)
class StreamRecord:
    """The command line's record of a model's stream.

    `files` maps each file's absolute path to the rows of it taken in,
    counting rows left out for missing values; `complete` is false when
    the stream was stopped early; `identities` tells the files of `files`
    apart by content (model files of earlier versions have none); `passes`
    is the record of the passes over the data after the stream (absent in
    files written before them).
    """

    layout: FeatureLayout
    batch_rows: int
    drop_missing: bool
    data: str
    complete: bool
    files: Mapping[str, int] = field(default_factory=dict)
    identities: Mapping[str, FileIdentity] = field(default_factory=dict)
    passes: PassRecord | None = None

    def to_metadata(self) -> dict[str, Any]:
        metadata = {METADATA_KEY: {
            "layout": self.layout.to_metadata(), "batch_rows": self.batch_rows,
            "nan": "drop" if self.drop_missing else "error", "data": self.data, "complete": self.complete,
            "files": [{"path": path, "rows_folded": rows,
                       **({"identity": self.identities[path].to_metadata()} if path in self.identities else {})}
                      for path, rows in self.files.items()]}}
        if self.passes is not None:
            metadata[METADATA_KEY]["passes"] = self.passes.to_metadata()
        return metadata

    @classmethod
    def of(cls, saved: SavedModel, source: str) -> "StreamRecord | None":
        """The record in the model file `source`, or None for a model saved
        by other means. A record that is damaged, or does not describe the
        model's features, is refused."""
        section = (saved.metadata or {}).get(METADATA_KEY)
        if not isinstance(section, Mapping):
            return None
        try:
            files = section["files"]
            if not isinstance(files, list) or not all(isinstance(entry, Mapping) for entry in files):
                raise TypeError("the files are not a list of records")
            record = cls(FeatureLayout.from_metadata(section["layout"]), _count(section["batch_rows"], 1),
                         _choice(section["nan"], ("drop", "error")) == "drop", _text(section["data"]),
                         _flag(section["complete"]),
                         {_text(entry["path"]): _count(entry["rows_folded"], 0) for entry in files},
                         {_text(entry["path"]): FileIdentity.from_metadata(entry["identity"])
                          for entry in files if entry.get("identity") is not None})
            if len(record.files) != len(files):
                raise ValueError("a file is listed twice")
            if section.get("passes") is not None:
                features = saved.estimator.export_state().n_features_in  # with categories, the indicators
                record = replace(record, passes=PassRecord.from_metadata(
                    section["passes"], features + int(saved.estimator.fit_intercept)))
        except (KeyError, TypeError, ValueError, AttributeError) as error:
            raise CommandError(f"{source}: the command line's record in the model file is damaged ({error!r})") \
                from error
        check_features(saved.estimator, record.layout.feature_names, source)
        return record










def layout_of(saved: SavedModel, source: str) -> FeatureLayout:
    """The columns a saved model reads: as recorded by the command line,
    or the model's feature names taken as numeric columns."""
    record = StreamRecord.of(saved, source)
    if record is not None:
        return record.layout
    encoding = saved.estimator.export_state().encoding
    if encoding is not None:  # fitted in Python on a data frame with categorical columns
        return FeatureLayout(encoding.columns, encoding.levels)
    names = getattr(saved.estimator, "feature_names_in_", None)
    if names is None:
        raise CommandError(f"{source}: the model has no feature names, so its columns cannot be found")
    return FeatureLayout(tuple(str(name) for name in names), {})
