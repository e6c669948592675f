"""The README's first strategy runs as it stands, in a fresh interpreter, and books what the
README says: the coupon of 18 November 2024 and the seven-day repo repaid with its interest."""

import os
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def test_the_first_strategy_runs_and_books_the_coupon_and_the_repo(tmp_path):
    readme = README.read_text(encoding="utf-8")
    (code,) = re.findall(r"```python\n(.*?)```", readme, re.S)
    done = subprocess.run(
        [sys.executable, "-c", code],
        cwd=tmp_path,
        env={**os.environ, "PYTHONIOENCODING": "utf-8"},
        capture_output=True,
        encoding="utf-8",
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    coupon = 10_000 * 2.7  # 10,000 bonds of 019547.XSHG, 2.7 yuan a bond
    repaid = 10_000 * 100 * 0.9 * (1 + 0.018 * 7 / 365)  # 90 % of the face, 7 days at 1.8 %
    assert f"2024-11-18 settlement 019547.XSHG {coupon:>15,.2f}" in lines
    assert f"2024-11-18 settlement 204007.XSHG {-repaid:>15,.2f}" in lines
    (quoted,) = re.findall(r"`(2024-11-18 settlement 019547\.XSHG +[\d,.]+)`", readme)
    assert quoted in lines
    assert lines[-1].startswith("cash 1,100,000.00 -> ")
