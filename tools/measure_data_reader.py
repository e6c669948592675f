#!/usr/bin/env python3
"""Time and memory of the demo's data reader on a large folder of its own making.

Writes a data folder whose ``bond_prices.csv`` is about ``--mb`` million bytes (the
bundled sessions and repos, a few thousand bullet bonds quoted on every session),
then reads it with ``korvane_bond_demo.dataset.load`` in a fresh interpreter and
prints the file's size, the time taken and the reading's peak memory: the peak
resident memory above what the interpreter held before reading, and the peak of
Python's traced allocations (NumPy's included). With ``--fault-at N`` line N of the
prices holds a bad cell, to see how soon the reader refuses it.

Usage: python tools/measure_data_reader.py [--mb 100] [--fault-at N] [--keep DIR]
"""

import argparse
import csv
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

MEASURE = r"""
import json, resource, sys, time, tracemalloc
from korvane_bond_demo import dataset

folder, limit, traced = sys.argv[1], float(sys.argv[2]), sys.argv[3] == "traced"
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
if traced:
    tracemalloc.start()
started = time.perf_counter()
try:
    data = dataset.load(folder, max_table_mb=limit)
    outcome = f"{len(data.ids):,} instruments read"
except dataset.DataError as error:
    outcome = str(error)
elapsed = time.perf_counter() - started
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
traced = tracemalloc.get_traced_memory()[1] if traced else None
print(json.dumps({"seconds": elapsed, "rss_kib": peak - before, "traced": traced, "outcome": outcome}))
"""


def write_folder(folder, megabytes, fault_at):
    from korvane_bond_demo.dataset import bundled_folder

    bundled = bundled_folder()
    for name in ("sessions", "repo_rates"):
        shutil.copy(bundled / f"{name}.csv", folder / f"{name}.csv")
    with open(bundled / "sessions.csv", encoding="utf-8") as f:
        sessions = [line.strip() for line in f][1:]
    with open(bundled / "instruments.csv", encoding="utf-8") as f:
        repos = [line for line in f if ",REPO," in line]
    row_bytes = len("100000.XSHG,2024-01-02,100.1234,1.2345678901,101.3579678901,0.021234\n")
    bonds = max(1, round(megabytes * 1e6 / row_bytes / len(sessions)))
    ids = [f"{100000 + i}.XSHG" for i in range(bonds)]
    with open(folder / "instruments.csv", "w", encoding="utf-8", newline="") as f:
        f.write("order_book_id,type,symbol,exchange,round_lot,issue_price,initial_issue_size,repo_period,"
                "listed_date,maturity_date,coupon_rate\n")  # fmt: skip
        for obid in ids:
            f.write(f"{obid},BOND,b{obid[:6]},XSHG,10,100.0,1000000000.0,,2020-01-02,2030-01-02,0.03\n")
        f.writelines(repos)
    with open(folder / "realized_cash_flow.csv", "w", encoding="utf-8", newline="") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(["order_book_id", "payment_date", "cash_flow", "principal_payment",
                         "interest_payment", "remaining_principal"])  # fmt: skip
        writer.writerows([obid, "2030-01-02", 103.0, 100.0, 3.0, 0.0] for obid in ids)
    line = 1
    with open(folder / "bond_prices.csv", "w", encoding="utf-8", newline="") as f:
        f.write("order_book_id,date,clean_price,accrued_interest,full_price,yield\n")
        for i, obid in enumerate(ids):
            for j, day in enumerate(sessions):
                line += 1
                clean = 100 + ((i * 7919 + j * 104729) % 20000) / 10000
                accrued = round((j % 365) * 3 / 365, 10)
                full = "x" if line == fault_at else repr(round(clean + accrued, 10))
                f.write(f"{obid},{day},{clean:.4f},{accrued!r},{full},0.021234\n")
    return folder / "bond_prices.csv"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, default=100.0, help="the prices table's size, million bytes")
    parser.add_argument("--fault-at", type=int, default=0, help="a bad cell on this line of the prices")
    parser.add_argument("--keep", type=Path, help="write the folder here and keep it")
    args = parser.parse_args(argv)
    folder = Path(tempfile.mkdtemp()) if args.keep is None else args.keep
    folder.mkdir(parents=True, exist_ok=True)
    try:
        prices = write_folder(folder, args.mb, args.fault_at)
        size = prices.stat().st_size
        limit = max(256.0, size / 1e6 + 1)
        # resident memory without tracing (tracemalloc's own records would count), then traced
        found, traced = (
            json.loads(subprocess.check_output([sys.executable, "-c", MEASURE, str(folder), str(limit), how]))
            for how in ("plain", "traced")
        )
        rss, peak = found["rss_kib"] * 1024, traced["traced"]
        print(f"bond_prices.csv: {size:,} bytes")
        print(f"  {found['outcome']} in {found['seconds']:.1f} s")
        print(f"  peak resident memory above the start: {rss / 1e6:,.0f} MB ({rss / size:.2f} x the file)")
        print(f"  peak traced allocations: {peak / 1e6:,.0f} MB ({peak / size:.2f} x the file)")
    finally:
        if args.keep is None:
            shutil.rmtree(folder)


if __name__ == "__main__":
    main()
