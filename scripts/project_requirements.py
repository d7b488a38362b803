"""Prints the project's requirements from pyproject.toml, one per line: the
build requirements, the run-time dependencies and the named extras, or with
--extras-only just the named extras."""

import pathlib
import sys
import tomllib

project = tomllib.loads((pathlib.Path(__file__).parent.parent / "pyproject.toml").read_text())
extras = [name for name in sys.argv[1:] if name != "--extras-only"]
requirements = []
if "--extras-only" not in sys.argv:
    requirements += project["build-system"]["requires"] + project["project"]["dependencies"]
for extra in extras:
    requirements += project["project"]["optional-dependencies"][extra]
print("\n".join(requirements))
