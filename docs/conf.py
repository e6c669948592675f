"""Sphinx configuration of the user guide and reference (make docs).

The reference is written by sphinx-autoapi from the package's sources as they
are: the typing stubs (.pyi) of the four compiled modules, which carry their
descriptions, and the Python modules. Nothing is imported or built.
"""

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
VERSION = re.search(
    r'^__version__ = "([^"]+)"', (ROOT / "src/korvane_mod_bond/__init__.py").read_text(), re.M
).group(1)

project = "korvane_mod_bond"
author = "the korvane_mod_bond developers"
copyright = "the korvane_mod_bond developers"
version = release = VERSION

extensions = ["autoapi.extension", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
root_doc = "index"

# The reference: from the stubs where a module has one (the compiled modules), else the source.
autoapi_type = "python"
autoapi_dirs = [str(ROOT / "src")]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "reference/api"
autoapi_add_toctree_entry = False
autoapi_member_order = "bysource"
autoapi_python_class_content = "both"  # the class docstring, then the constructor's
autoapi_options = ["members", "undoc-members", "show-inheritance", "show-module-summary"]


CASH_FLOW_HOOKS = {"_get_cash_flow", "_get_cash_flow_receivable", "_get_day_cash_flow"}


def _keep_documented_hooks(app, what, name, obj, skip, options):  # noqa: ARG001 (autoapi's event signature)
    """Private members stay out of the reference, except the hooks and the factory that a
    subclass or the framework calls: the framework's ``__instrument_types__`` and
    ``__from_create__``, and the cash-flow hooks of the bond positions."""
    # astroid reads the ``...`` of ``tuple[X, ...]`` as the name Ellipsis: show it as written
    if getattr(obj, "annotation", None):
        obj.annotation = obj.annotation.replace(", Ellipsis]", ", ...]")
    short = name.rsplit(".", 1)[-1]
    if short in {"__instrument_types__", "__from_create__", *CASH_FLOW_HOOKS}:
        return False
    return skip


def _examples_rubric(app, what, name, obj, options, lines):  # noqa: ARG001 (autodoc's event signature)
    """A docstring's "Examples" title over its line of dashes, as it reads in an editor, becomes
    a rubric: reStructuredText allows no section title inside a docstring. The doctests below
    it are run by the test suite (tests/docs/test_examples.py)."""
    for i in range(len(lines) - 1):
        if lines[i].strip() == "Examples" and lines[i + 1].strip() and set(lines[i + 1].strip()) == {"-"}:
            indent = lines[i][: len(lines[i]) - len(lines[i].lstrip())]
            lines[i : i + 2] = [indent + ".. rubric:: Examples", ""]


def setup(app):
    app.connect("autoapi-skip-member", _keep_documented_hooks)
    app.connect("autodoc-process-docstring", _examples_rubric)


# Every cross-reference must resolve (make docs runs nitpicky, warnings as errors). The
# framework and its data client are not documented here: their names stay plain text.
nitpicky = True
nitpick_ignore_regex = [
    ("py:.*", r"korvane(\..*)?"),
    ("py:.*", r"pelvorn(\..*)?"),
    ("py:.*", r"(np|numpy)\..*"),
    # the standard library's names (no inventory of Python's documentation is fetched)
    ("py:class", r"(datetime|collections|collections\.abc|typing)\..*"),
    ("py:class", r"_T"),  # the stubs' type variable of the trade factories
]

html_theme = "furo"
html_title = "korvane_mod_bond %s" % VERSION
html_static_path = []
myst_heading_anchors = 3
