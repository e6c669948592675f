"""Table build: `_all_real_cash_flow` and `_all_implied_cash_flow` on a memo miss,
for a 40-row and a 10,000-row frame, against the data client's own conversion
of the same frame to NumPy (`DataFrame.to_records`)."""

import floors
import pure_python
from common import Row, Section, interleaved
from korvane.environment import Environment
from pelvorn import bond
from workload import bond_book, forget_client_calls, implied_frame, realized_frame

from korvane_mod_bond import position

BOND = "019547.XSHG"


def run(sections):
    bond_book(0, 0)
    rows = []
    notes = []
    # The memoised functions' own bodies: every call is a miss.
    namespace = dict(
        BOND=BOND,
        real=position._all_real_cash_flow.__wrapped__,
        implied=position._all_implied_cash_flow.__wrapped__,
        py_real=pure_python.build_real_cash_flow,
        py_implied=pure_python.build_implied_cash_flow,
        floors=floors,
    )
    for records in (40, 10_000):
        frames = dict(real=realized_frame(0, records), implied=implied_frame(0, records))
        bond.set_frames(realized={BOND: frames["real"]}, implied={BOND: frames["implied"]})
        for kind in ("real", "implied"):
            ours = namespace[kind](BOND)
            theirs = namespace["py_" + kind](BOND)
            assert ours.tolist() == theirs.tolist() and len(ours) == records
            namespace["frame"] = frames[kind]
            ns = interleaved(
                {
                    "cpp": "{}(BOND)".format(kind),
                    "floor": "floors.build_{}_cash_flow(BOND)".format(
                        "real" if kind == "real" else "implied"
                    ),
                    "python": "py_{}(BOND)".format(kind),
                    "to_records": "frame.to_records()",
                },
                namespace,
                repeat=3,
            )
            forget_client_calls()
            name = "_all_{}_cash_flow ({:,} rows)".format("real" if kind == "real" else "implied", records)
            rows.append(
                Row(
                    name,
                    ns["cpp"],
                    ns["floor"],
                    ns["python"],
                    note="{:.2f}x the client's to_records ({:,.0f} us; target 3x); floor {:.2f}x".format(
                        ns["cpp"] / ns["to_records"], ns["to_records"] / 1000, ns["floor"] / ns["to_records"]
                    ),
                    other=("to_records", ns["to_records"], 3.0),
                )
            )
    notes.append(
        "floor: the client's query, the frame's emptiness, length, date level with each date through"
        " the host's converter, and the columns as arrays"
    )
    bond.reset()
    Environment.clear_instance()
    sections.append(Section("Table build, on a memo miss (ns per table)", rows, notes))


if __name__ == "__main__":
    from common import print_table

    out = []
    run(out)
    print_table(out)
