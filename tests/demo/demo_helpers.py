"""What the demo's tests share, as plain functions and values: runs of the sample backtest
from fresh memos, a hand-made data folder in the documented layout, the command run as a
user runs it, and readers of what a run writes.

The memos the package keeps of each bond's cash-flow tables are cleared in one place,
:func:`fresh_data`.
"""

import csv
import datetime
import html.parser

from korvane.environment import Environment
from korvane_bond_demo import cli
from korvane_bond_demo.backtest import run
from korvane_bond_demo.files import check_output_folder
from korvane_bond_demo.outputs import OUTPUTS
from korvane_bond_demo.reader.layout import columns
from korvane_bond_demo.settings import Settings
from pelvorn import bond

from korvane_mod_bond import clear_cash_flow_memos

D = datetime.date


# -- runs ----------------------------------------------------------------------------------


def fresh_data():
    """The data client at its own data, and none of its tables memoised by the package."""
    bond.reset()
    clear_cash_flow_memos()


def run_demo(start, end, out=None, cash=3_000_000.0, **settings):
    """A run of the sample backtest (a :class:`korvane_bond_demo.analysis.Run`), its
    outputs written into ``out`` when given."""
    fresh_data()
    try:
        folder = check_output_folder(out, OUTPUTS) if out is not None else None
        return run(Settings(start=start, end=end, cash=cash, **settings), folder)
    finally:
        Environment.clear_instance()
        fresh_data()


def run_command(capsys, *args):
    """``korvane-bond-demo ARGS --no-progress`` as a user runs it: (status, stdout, stderr)."""
    code = cli.main([*args, "--no-progress"])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


# -- a data folder of one's own -----------------------------------------------------------


# Two weeks of sessions (a weekend between), 2024-03-04 to 2024-03-15.
SESSIONS = [D(2024, 3, d) for d in (4, 5, 6, 7, 8, 11, 12, 13, 14, 15)]
INSTRUMENTS = [
    # id, type, symbol, exchange, lot, issue price, size, period, listed, maturity, coupon
    ["100001.XSHG", "BOND", "bullet", "XSHG", 10, 100.0, 1e9, "", "2020-03-07", "2027-03-07", 0.03],
    ["100002.XSHE", "BOND", "amortising", "XSHE", 10, 100.0, 1e9, "", "2021-03-11", "2026-03-11", 0.04],
    ["100003.IB", "BOND", "interbank", "IB", 10, 100.0, 1e9, "", "2020-03-06", "2028-03-06", 0.025],
    ["204001.XSHG", "REPO", "GC001", "XSHG", 1000, "", "", 1, "2006-05-08", "", ""],
    ["204007.XSHG", "REPO", "GC007", "XSHG", 1000, "", "", 7, "2006-05-08", "", ""],
    ["131810.XSHE", "REPO", "R-001", "XSHE", 1000, "", "", 1, "2006-05-08", "", ""],
    ["131801.XSHE", "REPO", "R-007", "XSHE", 1000, "", "", 7, "2006-05-08", "", ""],
]


REALIZED = [
    # the bullet bond pays its 3.00 coupon on 2024-03-07; the amortising one 50 of its
    # principal and a 4.00 coupon on 2024-03-11, leaving 50 per 100 face
    ["100001.XSHG", "2023-03-07", 3.0, 0.0, 3.0, 100.0],
    ["100001.XSHG", "2024-03-07", 3.0, 0.0, 3.0, 100.0],
    ["100001.XSHG", "2025-03-07", 3.0, 0.0, 3.0, 100.0],
    ["100001.XSHG", "2027-03-08", 103.0, 100.0, 3.0, 0.0],
    ["100002.XSHE", "2023-03-13", 4.0, 0.0, 4.0, 100.0],
    ["100002.XSHE", "2024-03-11", 54.0, 50.0, 4.0, 50.0],
    ["100002.XSHE", "2025-03-11", 52.0, 50.0, 2.0, 0.0],
    ["100003.IB", "2024-03-06", 2.5, 0.0, 2.5, 100.0],
    ["100003.IB", "2025-03-06", 2.5, 0.0, 2.5, 100.0],
    ["100003.IB", "2028-03-06", 102.5, 100.0, 2.5, 0.0],
]


IMPLIED = [
    ["100003.IB", "2024-03-06", 2.5, 0.0, 0.0, 2.5],
    ["100003.IB", "2024-03-29", 0.0, 0.15753424657534246, 0.0, 0.0],
]


def _prices():
    rows = []
    for i, day in enumerate(SESSIONS):
        # bullet: clean 100.50 falling by 0.01 a session; accrued 0.3 before its coupon, 0 after
        accrued = 0.3 if day < D(2024, 3, 7) else 0.0
        clean = round(100.5 - 0.01 * i, 4)
        rows.append(["100001.XSHG", day.isoformat(), clean, accrued, round(clean + accrued, 10), 0.029])
        # amortising: 100.0 of 100 face before its instalment, 50.0 after (a flat price)
        full = 100.0 if day < D(2024, 3, 11) else 50.0
        rows.append(["100002.XSHE", day.isoformat(), full, 0.0, full, 0.04])
        accrued = 0.01 * (day - D(2024, 3, 6)).days if day >= D(2024, 3, 6) else 0.0
        rows.append(["100003.IB", day.isoformat(), 99.0, round(accrued, 6), round(99.0 + accrued, 6), 0.0265])
    return rows


def _rates():
    rows = []
    for day in SESSIONS:
        for repo, rate in (("204001.XSHG", 0.018), ("204007.XSHG", 0.02), ("131810.XSHE", 0.0185),
                           ("131801.XSHE", 0.0205)):  # fmt: skip
            rows.append([repo, day.isoformat(), rate])
    return rows


NAMES = ("instruments", "realized_cash_flow", "implied_cash_flow", "bond_prices", "repo_rates", "sessions")
TABLES = {name: columns(name) for name in NAMES}


def write_dataset(folder):
    """Write the hand-made data folder into ``folder`` (two weeks of March 2024: a bullet, an
    amortising and an inter-bank bond, the one- and seven-day repos of both exchanges);
    its path."""
    folder.mkdir(parents=True, exist_ok=True)
    contents = {
        "instruments": INSTRUMENTS,
        "realized_cash_flow": REALIZED,
        "implied_cash_flow": IMPLIED,
        "bond_prices": _prices(),
        "repo_rates": _rates(),
        "sessions": [[day.isoformat()] for day in SESSIONS],
    }
    for name, rows in contents.items():
        with open(folder / f"{name}.csv", "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f, lineterminator="\n")
            writer.writerow(TABLES[name])
            writer.writerows(rows)
    return folder


# -- what a run writes ---------------------------------------------------------------------


def read_csv(path):
    """The rows of a CSV file as dicts."""
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def csv_rows(path):
    """The rows of a CSV file as lists, the header first."""
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


class HtmlPage(html.parser.HTMLParser):
    """Tables by id as lists of rows of cell texts, images, and anything fetched from outside."""

    def __init__(self):
        super().__init__()
        self.tables, self.images, self.external = {}, [], []
        self._table = self._row = self._cell = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for name in ("src", "href"):
            if attrs.get(name) and not attrs[name].startswith("data:"):
                self.external.append(attrs[name])
        if tag in ("script", "link", "iframe"):
            self.external.append(tag)
        if tag == "table":
            self._table = self.tables.setdefault(attrs.get("id", f"table{len(self.tables)}"), [])
        elif tag == "tr" and self._table is not None:
            self._row = []
            self._table.append(self._row)
        elif tag in ("td", "th") and self._row is not None:
            self._cell = []
        elif tag == "img":
            self.images.append(attrs["src"])

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self._cell is not None:
            self._row.append("".join(self._cell).strip())
            self._cell = None
        elif tag == "table":
            self._table = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell.append(data)
