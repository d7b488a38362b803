"""``.. argparse-reference:: module:function``: renders the parser that
``function()`` returns, with each subcommand's usage, description and
options, so that the command-line reference is the parser itself."""

import argparse
import importlib
from typing import Any

from docutils import nodes
from docutils.parsers.rst import Directive
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util.nodes import nested_parse_with_titles


def _option_label(action: argparse.Action) -> str:
    if not action.option_strings:
        return action.metavar if isinstance(action.metavar, str) else action.dest.upper()
    names = ", ".join(action.option_strings)
    if action.nargs == 0:
        return names
    if action.choices is not None:
        return f"{names} {{{','.join(map(str, action.choices))}}}"
    metavar = action.metavar if isinstance(action.metavar, str) else action.dest.upper()
    return f"{names} {metavar} ..." if action.nargs in ("+", "*") else f"{names} {metavar}"


def _escape(text: str) -> str:
    return text.replace("\\", "\\\\").replace("*", "\\*").replace("`", "\\`").replace("|", "\\|")


def _parser_lines(parser: argparse.ArgumentParser, title: str, underline: str) -> list[str]:
    lines = [title, underline * len(title), "", ".. code-block:: text", ""]
    lines += ["   " + line for line in parser.format_usage().strip().splitlines()]
    lines.append("")
    if parser.description:
        lines += [_escape(parser.description), ""]
    subparsers: list[argparse._SubParsersAction[Any]] = []
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            subparsers.append(action)
            continue
        if isinstance(action, argparse._HelpAction):
            continue
        required = " (required)" if action.required and action.option_strings else ""
        lines += [f"``{_option_label(action)}``", f"   {_escape(action.help or '')}{required}".rstrip(), ""]
    for group in subparsers:
        for name, sub in group.choices.items():
            lines += _parser_lines(sub, f"{parser.prog} {name}", "~")
    return lines


class ArgparseReference(Directive):
    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        module, _, function = self.arguments[0].partition(":")
        parser = getattr(importlib.import_module(module), function)()
        lines = _parser_lines(parser, parser.prog, "-")
        node = nodes.section()
        node.document = self.state.document
        nested_parse_with_titles(self.state, StringList(lines, source=f"<{self.arguments[0]}>"), node)
        return node.children


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_directive("argparse-reference", ArgparseReference)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
