"""`vintrel show`: what a model file holds. Names, levels and paths come
from the file and are printed with control characters escaped."""

import argparse

import vintrel.model_file as model_file
from vintrel.cli.model_record import StreamRecord
from vintrel.cli.table import coefficient_table, counted, render_pairs


def run_show(args: argparse.Namespace) -> int:
    """The command: returns its exit status."""
    saved = model_file.read(args.model)
    lines = [("model file", f"{args.model} (model format {saved.format_version}, written by {saved.written_by})"),
             # scikit-learn wraps a long repr over lines: one line here.
             ("estimator", " ".join(repr(saved.estimator).split()))]
    lines += _fit_lines(saved)
    lines += _data_lines(StreamRecord.of(saved, args.model))
    print(render_pairs(lines))
    if hasattr(saved.estimator, "coef_"):
        print()
        print(coefficient_table(saved.estimator).render())
    return 0


def _fit_lines(saved: model_file.SavedModel) -> list[tuple[str, str]]:
    model = saved.estimator
    if not hasattr(model, "coef_"):
        features = len(model.get_feature_names_out())
        return [("fitted", f"not yet: {features} features, rows held until the stream can start")]
    state = "converged" if model.converged_ else "NOT converged"
    return [("fitted", f"{counted(model.n_samples_seen_, 'row')} in {counted(model.n_batches_, 'update')}, "
                       f"{model.coef_.dtype}; residual scale {model.scale_:.6g}"),
            ("last update", f"{counted(model.n_iter_, 'iteration')}, {state}")]


def _data_lines(record: StreamRecord | None) -> list[tuple[str, str]]:
    if record is None:
        return []
    layout = record.layout
    lines = [("target", f"{layout.target}" + (f" (weights: {layout.weight})" if layout.weight else ""))]
    for name, levels in layout.levels.items():
        shown = ", ".join(levels[:8]) + (f", ... ({len(levels)} levels)" if len(levels) > 8 else "")
        lines.append(("categorical", f"{name}: {shown}; first level '{levels[0]}' is the baseline"))
    state = "complete" if record.complete else "stopped early; continue with --resume"
    lines.append(("data", f"{record.data} ({state})"))
    lines += [("", f"{path}: {counted(rows, 'row')} taken in") for path, rows in record.files.items()]
    if record.passes is not None:
        lines.append(("passes", record.passes.describe()))
    return lines
