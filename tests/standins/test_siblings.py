import pytest
from korvane.const import INSTRUMENT_TYPE, POSITION_DIRECTION
from korvane.testing import make_env
from pelvorn import bond

from korvane_mod_bond.api import _get_account_position_ins
from korvane_mod_bond.data import BondInstrument, RepoInstrument, instrument_from_record
from korvane_mod_bond.utils import calc_repo_commission, get_commission_rate, is_exchange_bond


@pytest.mark.parametrize(
    "order_book_id, expected",
    [
        ("019547.XSHG", True),
        ("127001.XSHE", True),
        ("200205.IB", False),
        ("XSHG", False),
        ("019547.xshg", False),
        ("019547.XSHGX", False),
    ],
)
def test_is_exchange_bond(order_book_id, expected):
    assert is_exchange_bond(order_book_id) is expected


@pytest.mark.parametrize(
    "period, rate",
    [
        (1, 0.00001),
        (2, 0.00002),
        (3, 0.00003),
        (4, 0.00004),
        (5, 0.00005),  # between listed periods: the next listed one's rate
        (7, 0.00005),
        (9, 0.0001),
        (14, 0.0001),
        (21, 0.0002),
        (28, 0.0002),
        (29, 0.0003),
        (182, 0.0003),
    ],
)
def test_commission_rate_by_period(period, rate):
    make_env([RepoInstrument("R.XSHG", repo_period=period)])
    assert get_commission_rate("R.XSHG") == rate
    assert calc_repo_commission("R.XSHG", 1_000_000.0) == pytest.approx(1_000_000.0 * rate)


@pytest.mark.parametrize(
    "instrument, message",
    [
        (None, "unknown repo instrument"),
        (BondInstrument("R.XSHG"), "not a repo"),
        (RepoInstrument("R.XSHG", repo_period=0), "invalid repo_period"),
    ],
)
def test_commission_rate_errors(instrument, message):
    make_env([instrument] if instrument else [])
    with pytest.raises(ValueError, match=message):
        get_commission_rate("R.XSHG")


def test_account_position_instrument():
    bond_ins = BondInstrument("019547.XSHG")
    env = make_env([bond_ins])
    account, position, instrument = _get_account_position_ins("019547.XSHG")
    assert account is env.portfolio.account
    assert position is env.portfolio.get_position("019547.XSHG", POSITION_DIRECTION.LONG)
    assert instrument is bond_ins


@pytest.mark.parametrize("order_book_id", list(bond.all_instruments().index))
def test_bundled_reference_data_builds_instruments(order_book_id):
    ins = instrument_from_record(bond.instrument_info(order_book_id))
    assert ins.order_book_id == order_book_id
    if ins.type == INSTRUMENT_TYPE.REPO:
        assert ins.exchange in ("XSHG", "XSHE") and ins.repo_period in (1, 7)
    else:
        assert isinstance(ins, BondInstrument) and ins.exchange == order_book_id.rsplit(".", 1)[1]
        assert ins.initial_issue_size / ins.issue_price > 0


def test_instrument_from_record_refuses_other_types():
    with pytest.raises(ValueError, match="unsupported instrument type 'CS'"):
        instrument_from_record({"type": "CS", "order_book_id": "000001.XSHE"})
