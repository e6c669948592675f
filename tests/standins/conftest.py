import pytest
from korvane.const import INSTRUMENT_TYPE
from korvane.environment import Environment
from korvane.model.instrument import Instrument
from korvane.testing import make_env
from pelvorn import bond

from korvane_mod_bond.data import BondInstrument, RepoInstrument


@pytest.fixture(autouse=True)
def _clean_state():
    bond.reset()
    yield
    bond.reset()
    Environment.clear_instance()


@pytest.fixture
def env():
    return make_env(
        [
            BondInstrument("019547.XSHG", initial_issue_size=28e9),
            BondInstrument("200205.IB", initial_issue_size=30e9),
            RepoInstrument("204001.XSHG", repo_period=1),
            Instrument("000001.XSHE", INSTRUMENT_TYPE.CS, round_lot=100),
        ],
        cash=1_000_000.0,
    )
