"""Every Examples section of the reference runs as written, against the stand-ins.

The reference is made from the package's sources as installed: the typing stubs of the
compiled modules and the Python modules. Each docstring's "Examples" section is run as a
doctest, in a namespace of its own, with a fresh environment, data client, memos and user
log, so an example that no longer does what it shows fails here. Every public class and
every order function must have one."""

import ast
import doctest
import inspect
import logging
import re
from pathlib import Path

import pytest
from korvane.environment import Environment
from pelvorn import bond

import korvane_mod_bond
from korvane_mod_bond import clear_cash_flow_memos

PACKAGE = Path(korvane_mod_bond.__file__).parent
DOCS = Path(__file__).resolve().parents[2] / "docs"
# The user guide's pages that show a session (the reference's pages, made from the sources
# into reference/api/, lie deeper).
PAGES = sorted(p for p in [*DOCS.glob("*.rst"), *DOCS.glob("*/*.rst")] if ">>>" in p.read_text("utf-8"))
SOURCES = sorted([*PACKAGE.glob("*.pyi"), *PACKAGE.glob("*.py")])
# A numpy-style section: its title, then a line of dashes as long.
SECTION = re.compile(r"^(\w[\w ]*)\n-+$", re.M)
ORDER_FUNCTIONS = ["repo", "reverse_repo", "max_reverse_repo_amount", "pledgeable_quantity"]


def _docstrings(path):
    """(qualified name, first line, docstring) of the module, its classes, functions, methods
    and documented attributes, the name prefixed with the module's (``position.BondPosition``)."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    module = path.name.split(".")[0]
    found = []

    def visit(node, prefix):
        body = node.body
        for i, child in enumerate(body):
            if isinstance(child, (ast.ClassDef, ast.FunctionDef)):
                name = f"{prefix}.{child.name}"
                text = ast.get_docstring(child, clean=False)
                if text is not None:
                    found.append((name, child.body[0].lineno, text))
                if isinstance(child, ast.ClassDef):
                    visit(child, name)
            elif isinstance(child, (ast.Assign, ast.AnnAssign)) and i + 1 < len(body):
                after = body[i + 1]
                if isinstance(after, ast.Expr) and isinstance(getattr(after, "value", None), ast.Constant):
                    if isinstance(after.value.value, str):
                        target = child.targets[0] if isinstance(child, ast.Assign) else child.target
                        if isinstance(target, ast.Name):
                            found.append((f"{prefix}.{target.id}", after.lineno, after.value.value))

    text = ast.get_docstring(tree, clean=False)
    if text is not None:
        found.append((module, 1, text))
    visit(tree, module)
    return found


def examples_section(docstring):
    """The text of a docstring's "Examples" section, or None."""
    text = inspect.cleandoc(docstring)
    titles = list(SECTION.finditer(text))
    for i, title in enumerate(titles):
        if title.group(1) == "Examples":
            end = titles[i + 1].start() if i + 1 < len(titles) else len(text)
            return text[title.end() : end]
    return None


def all_examples():
    found = []
    for path in SOURCES:
        for name, lineno, docstring in _docstrings(path):
            section = examples_section(docstring)
            if section is not None:
                found.append(pytest.param(path, lineno, section, id=name))
    return found


@pytest.fixture
def fresh():
    """Each example starts from nothing: no environment, the bundled data, empty memos, and
    the user log as it was (an example may show it on its output)."""
    log = logging.getLogger("korvane.user_system_log")
    handlers = list(log.handlers)

    def reset():
        Environment.clear_instance()
        bond.reset()
        clear_cash_flow_memos()
        log.handlers[:] = handlers

    reset()
    yield
    reset()


@pytest.mark.usefixtures("fresh")
@pytest.mark.parametrize("path, lineno, section", all_examples())
def test_the_example_does_what_it_shows(path, lineno, section, request):
    name = request.node.callspec.id
    test = doctest.DocTestParser().get_doctest(section, {}, name, str(path), lineno)
    assert test.examples, f"{name}: an Examples section without a >>> line"
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    result = runner.run(test, out=report.append)
    assert result.failed == 0, "".join(report)


@pytest.mark.usefixtures("fresh")
@pytest.mark.parametrize("page", PAGES, ids=[p.relative_to(DOCS).as_posix() for p in PAGES])
def test_the_guide_page_does_what_it_shows(page):
    """A page's examples are one session, each block continuing the one before."""
    test = doctest.DocTestParser().get_doctest(page.read_text("utf-8"), {}, page.name, str(page), 0)
    report = []
    result = doctest.DocTestRunner().run(test, out=report.append)
    assert result.failed == 0, "".join(report)


def test_every_public_class_and_order_function_has_an_example():
    documented = {name for path in SOURCES for name, _, text in _docstrings(path) if examples_section(text)}
    public = set()
    for path in SOURCES:
        tree = ast.parse(path.read_text(encoding="utf-8"))
        module = path.name.split(".")[0]
        public |= {
            f"{module}.{node.name}"
            for node in tree.body
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_")
        }
    public |= {f"mod.{name}" for name in ORDER_FUNCTIONS}
    assert len(public) >= 18, "the package's modules were not found"
    assert sorted(public - documented) == []
