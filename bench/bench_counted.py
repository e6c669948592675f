"""The hot paths counted, not timed: P1 (a bond position's day) against the
compiled floor (bench/cfloor.c) in the book's order and in the host's, the bond
validator and the bond cost decider against theirs, in instructions per call
under callgrind (bench/instructions.py says how the loops are marked off). A
count does not move with the machine's load, so the ratios hold to the per
mille. Under `BENCH_QUICK=1` the loops are a tenth as long; without valgrind the
section says so and counts nothing.
"""

import shutil
import sys

import instructions
from common import QUICK, Section

# (operation, the largest ratio to its compiled floor wanted up to 3.11 and from 3.12; None: no target)
COUNTED = [
    (instructions.P1, (1.17, None)),
    (instructions.P1_HOST, (1.17, 1.25)),
    ("BondValidator.can_submit_order (exchange buy)", (None, 1.12)),
    ("BondValidator.can_submit_order (inter-bank buy)", (None, 1.12)),
    ("BondTransactionDecider.get_trade_commission", (None, 1.21)),
]


def run(sections):
    title = "Counted (bench/bench_counted.py; instructions per call under callgrind, P1 per position-day)"
    if shutil.which("valgrind") is None:
        sections.append(Section(title, notes=["valgrind not found: nothing counted"]))
        return
    try:
        counts = instructions.count([name for name, _ in COUNTED], quick=QUICK)
    except SystemExit as failed:  # the floors could not be built, or the run under callgrind failed
        sections.append(Section(title, notes=[str(failed).splitlines()[0]]))
        return
    notes = []
    for name, targets in COUNTED:
        ours, floor = counts[name], counts[instructions.FLOOR + name]
        target = targets[0] if sys.version_info < (3, 12) else targets[1]
        ratio = ours / floor
        verdict = ""
        if target is not None:
            verdict = "  target {:.2f}x  {}".format(target, "ok" if ratio <= target else "MISSED")
        line = "{:<48} {:>10,.1f}  floor {:>10,.1f}  {:.3f}x".format(name, ours, floor, ratio)
        notes.append(line + verdict)
    if QUICK:
        notes.append("(BENCH_QUICK=1: loops a tenth as long, counts a few instructions rougher)")
    sections.append(Section(title, notes=notes))
