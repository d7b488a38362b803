"""Sphinx configuration of vintrel's documentation: a user guide, the API
reference from the docstrings (numpydoc), the command line from its own
argparse parsers and a gallery of examples run at build time."""

import sys
import tomllib
from pathlib import Path

import matplotlib

matplotlib.use("agg")

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

project = "vintrel"
author = "the vintrel developers"
copyright = "2026, the vintrel developers"
release = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "myst_parser",
    "argparse_reference",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "examples/README.rst", "**/*.ipynb", "**/*.py.md5", "**/*.codeobj.json"]
templates_path: list[str] = []

# Single backticks in docstrings name parameters and attributes, as in
# scikit-learn's docstrings: they render as emphasis, not as references.
default_role = None

# References to vintrel's own objects must resolve; only third-party and
# typing names, which this offline build cannot link, are let through.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|pandas|pd|polars|pl|sklearn|scipy|dask|distributed|pyarrow|matplotlib)(\..*)?"),
    (r"py:.*", r"(typing|collections|os|argparse|pathlib|contextlib|enum|abc)\..*"),
    (r"py:.*", r"(array-like|array_like|ndarray|ArrayLike|NDArray|DataFrame|Series|Generator|PathLike|Delayed)"),
    (r"py:.*", r"(callable|optional|str|int|float|bool|None|True|False|dict|list|tuple|object|bytes|type|iterable|"
               r"sequence|generator|scalar)"),
    # numpydoc links builtin and NumPy types through intersphinx names,
    # which an offline build has no inventory for.
    (r".*", r"(python|numpy):.*"),
]

autodoc_typehints = "none"
toc_object_entries_show_parents = "hide"
autodoc_member_order = "bysource"
autosummary_generate = False

numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = True
# numpydoc's own aliases point builtin and NumPy types at intersphinx
# targets, which this offline build cannot resolve and would print
# verbatim ("python:float"); here they name the type plainly.
numpydoc_xref_aliases = {
    **{name: name for name in ("None", "True", "False", "list", "tuple", "str", "dict", "float", "int", "callable",
                               "iterable", "sequence", "generator", "array-like", "array_like", "scalar")},
    "bool": "bool",
    "boolean": "bool",
    "string": "str",
    "IncrementalHuberRegressor": "vintrel.IncrementalHuberRegressor",
    "ModelState": "vintrel.state.ModelState",
    "EngineState": "vintrel.state.EngineState",
    "LastUpdate": "vintrel.state.LastUpdate",
    "Pending": "vintrel.state.Pending",
    "Summary": "vintrel.inference.Summary",
    "SavedModel": "vintrel.model_file.SavedModel",
    "CoefficientRow": "vintrel.inference.CoefficientRow",
    "Encoding": "vintrel._categorical.Encoding",
    "Scaling": "vintrel.state.Scaling",
}
numpydoc_xref_ignore = {
    "of", "shape", "or", "default", "optional", "and", "the", "in", "with", "a", "an", "one", "per", "n_samples",
    "n_features", "n_features_in_", "n_features_out", "n_coefficients", "n_parameters", "n", "k", "p", "2",
    "auto", "None", "True", "False", "kwargs", "args", "objects", "mapping", "to",
}

html_theme = "pydata_sphinx_theme"
html_title = f"vintrel {release}"
html_static_path = ["_static"]
html_favicon = "_static/vintrel.svg"
html_logo = "_static/vintrel.svg"
html_theme_options = {
    "navbar_align": "left",
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "footer_start": ["copyright"],
    "footer_end": ["sphinx-version"],
}
html_context = {"default_mode": "light"}
html_show_sourcelink = False

# The gallery runs every example at build time, in the docs' own build
# folder, so that figures and files they write stay out of the source.
sphinx_gallery_conf = {
    "examples_dirs": str(HERE / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "show_memory": False,
    "remove_config_comments": True,
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "reference_url": {"vintrel": None},
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
}
