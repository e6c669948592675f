"""docs/messages.rst quotes every message as the code words it: each message there is in
the sources, and every user-facing message of the order checks is there."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGE = ROOT / "docs" / "messages.rst"
# Where the messages are worded: the order checks, the order functions and the framework's
# own checks (its stand-in).
SOURCES = [
    *sorted((ROOT / "cpp").glob("*/*.cpp")),
    ROOT / "src" / "korvane_mod_bond" / "mod.py",
    ROOT / "standins" / "korvane" / "runner.py",
]
# Every string literal of these files that holds Chinese is a message of the user log.
LOGGING = [*sorted((ROOT / "cpp" / "validator").glob("*.cpp")), *SOURCES[-2:]]


def template(text):
    """A message with every placeholder, ``{}`` or ``{name!r}``, as ``{}``."""
    return re.sub(r"\{[^{}]*\}", "{}", text)


def documented():
    """The messages of the page: the literal in the first cell of each table row."""
    cells = re.findall(r"^   \* - ``(.+?)``\s*$", PAGE.read_text(encoding="utf-8"), re.M)
    return [template(c) for c in cells]


def sources_text(paths):
    text = "\n".join(p.read_text(encoding="utf-8") for p in paths)
    # a literal continued on the next line ("..." f"...") is one message
    return template(re.sub(r'"\s*\n\s*f?"', "", text))


@pytest.mark.parametrize("message", documented())
def test_each_message_on_the_page_is_worded_so_in_the_code(message):
    assert message in sources_text(SOURCES)


def test_every_message_of_the_user_log_is_on_the_page():
    literals = re.findall(r'"([^"\n]*[\u4e00-\u9fff][^"\n]*)"', sources_text(LOGGING))
    assert literals, "no message found: has the code moved?"
    missing = sorted(set(literals) - set(documented()))
    assert missing == []


def test_the_page_lists_every_kind_of_message():
    assert len(documented()) >= 20
