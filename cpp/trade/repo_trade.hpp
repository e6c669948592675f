// The repo trade record: a host trade that carries a repo's terms.
#pragma once

#include "host.hpp"

namespace kmb::trade {

// Host names and Python objects the trade record works with, taken once when
// the module loads and kept for the life of the process.
struct State {
  Globals globals;
  py::object trade_base;  // the host class RepoTrade derives from
  py::object timedelta;
  py::object datetime;
};

extern State* state;

py::object calc_max_amount(py::handle cls, const Call& call);
py::object from_create(py::handle cls, const Call& call);
py::object create_repo_trade(py::handle cls, const Call& call);
py::object create_reverse_repo_trade(py::handle cls, const Call& call);
py::object create_exchange_repo_trade(py::handle cls, const Call& call);
py::object create_exchange_reverse_repo_trade(py::handle cls, const Call& call);
py::object position_direction(py::handle self);

}  // namespace kmb::trade
