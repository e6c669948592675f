"""Collateral marked: the face value a repo's pledge still has as its bond repays principal.

A repo lends a share of its collateral's face value at the time it is opened: the face
of the pledged bonds then (quantity x issue price x the principal still outstanding per
100) times the lent share. When the bond repays principal, or is redeemed, while the
repo runs, the pledge's face falls and the loan may exceed the lent share of what is
left: the repo is then short of collateral by the difference.
"""

import dataclasses

from korvane.const import SIDE


@dataclasses.dataclass(frozen=True)
class Pledge:
    """One repo's collateral over its life."""

    trade_date: object  # datetime.date
    repo: str
    bond: str
    quantity: float
    principal: float  # the cash lent against the pledge
    face_at_open: float  # the pledge's face value the day the repo opened
    lent_share: float  # principal / face_at_open: the share of the face lent
    face_low: float  # the lowest face value while the repo ran
    low_on: object  # the first day it stood there
    repaid_on: object  # datetime.date or None (still open at the end)

    @property
    def shortfall(self):
        """What the repo lends beyond the lent share of its collateral's lowest face (>= 0)."""
        return max(0.0, self.principal - self.face_low * self.lent_share)


def remaining_per_100(schedule, day):
    """The principal per 100 face still outstanding after the payments up to ``day``."""
    paid = [
        remaining for date, remaining in zip(schedule.index, schedule["remaining_principal"]) if date <= day
    ]
    return 100.0 if not paid else float(paid[-1])


def pledges(result, data):
    """A :class:`Pledge` for every repo of ``result`` that borrowed against bonds."""
    settled = {id(m.trade): m.date for m in result.repo_maturities}
    last_day = result.days[-1].date
    schedules = {}
    found = []
    for trade in result.repo_trades:
        if trade.side != SIDE.FINANCING:
            continue
        bond = trade.bond_id
        if bond not in schedules:
            schedules[bond] = data.realized_cash_flow(bond)
        schedule = schedules[bond]
        record = data.record(bond) or {}
        face_per_bond = float(record.get("issue_price", 100.0))
        opened = trade.trading_dt.date()
        repaid = settled.get(id(trade))
        end = repaid if repaid is not None else last_day

        def face(day, bond_schedule=schedule, per_bond=face_per_bond, quantity=trade.pledged_quantity):
            return quantity * per_bond * remaining_per_100(bond_schedule, day) / 100.0

        at_open = face(opened)
        # the face steps down only on payment dates: look at those inside the repo's life
        low, low_on = at_open, opened
        for day in schedule.index:
            if opened < day <= end:
                value = face(day)
                if value < low:
                    low, low_on = value, day
        principal = trade.last_quantity
        found.append(
            Pledge(
                opened,
                trade.order_book_id,
                bond,
                float(trade.pledged_quantity),
                principal,
                at_open,
                principal / at_open if at_open > 0 else 0.0,
                low,
                low_on,
                repaid,
            )  # fmt: skip
        )
    return found


def shortfalls(found):
    """The pledges short of collateral, as plain values for ``stats.json``."""
    return [
        {
            "trade_date": p.trade_date.isoformat(),
            "repo": p.repo,
            "bond": p.bond,
            "principal": p.principal,
            "face_value_at_open": p.face_at_open,
            "lent_share": p.lent_share,
            "face_value_low": p.face_low,
            "low_from": p.low_on.isoformat(),
            "shortfall": p.shortfall,
        }
        for p in found
        if p.shortfall > 1e-9 * max(1.0, p.principal)
    ]
