"""The code of the README and the user guide runs: every ```python block
of README.md and every ``.. code-block:: python`` of docs/guide/*.rst is
executed, a page's blocks in order in one namespace, as a reader would run
them. Blocks that are not Python to run say what they are (console, sh,
text), so that none is left out silently."""

import os
import re
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs" / "guide").glob("*.rst"))]
# Blocks shown, not run: shell sessions, commands and plain output.
SHOWN = {"console", "sh", "text"}

_FENCE = re.compile(r"^```(\S*)\n(.*?)^```$", re.M | re.S)
_DIRECTIVE = re.compile(r"^\.\. code-block::[ \t]*(\S*)[ \t]*\n((?:[ \t]+:.*\n)*)\n((?:(?:[ \t]+.*)?\n)+)", re.M)
# A paragraph ending in "::" opens a literal block of no stated language.
_BARE_LITERAL = re.compile(r"(^|[^:\s]\s*)::\s*$", re.M)


def code_blocks(page):
    """The page's code blocks as (language, code), in order."""
    text = page.read_text()
    if page.suffix == ".md":
        return [(language, code) for language, code in _FENCE.findall(text)]
    return [(language, textwrap.dedent(body)) for language, _, body in _DIRECTIVE.findall(text)]


def page_id(page):
    return str(page.relative_to(ROOT))


@pytest.mark.parametrize("page", PAGES, ids=page_id)
def test_every_block_says_what_it_is(page):
    languages = [language for language, _ in code_blocks(page)]
    assert all(language == "python" or language in SHOWN for language in languages), languages
    if page.suffix == ".rst":
        bare = [line for line in page.read_text().splitlines()
                if _BARE_LITERAL.search(line) and not line.lstrip().startswith("..")]
        assert bare == [], f"literal blocks without a language: {bare}"


@pytest.mark.parametrize("page", [page for page in PAGES if any(lang == "python" for lang, _ in code_blocks(page))],
                         ids=page_id)
def test_python_blocks_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("MPLBACKEND", "agg")
    namespace = {"__name__": "__main__"}
    for index, (language, code) in enumerate(code_blocks(page)):
        if language != "python":
            continue
        exec(compile(code, f"{page_id(page)} block {index + 1}", "exec"), namespace)


def test_pages_are_found():
    # A moved guide would otherwise leave the tests above with nothing to run.
    assert len(PAGES) > 10 and os.path.isfile(ROOT / "README.md")
