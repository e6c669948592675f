"""The installed CPython of a version, as tools/find-python finds it (for the tools here)."""

import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def interpreter(version):
    """The path of a working Python `version` ("3.9"), or None when none is installed."""
    path = subprocess.run(
        [str(ROOT / "tools/find-python"), version], capture_output=True, text=True
    ).stdout.strip()
    if not path:
        return None
    got = subprocess.run(
        [path, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"], capture_output=True, text=True
    ).stdout.strip()
    return path if got == version else None
