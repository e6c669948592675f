// The repo trade record: a host trade that carries a repo's terms.
#pragma once

#include "host.hpp"

namespace kmb::trade {

// Host names and Python objects the trade record works with, taken when the
// module loads (each load of the module has its own) and kept for the life of
// the process.
struct State : ModuleState {
  py::object trade_base;  // the host class RepoTrade derives from
  py::object timedelta;
  py::object datetime;
};

py::object calc_max_amount(const State& st, py::handle cls, const Call& call);
py::object from_create(const State& st, py::handle cls, const Call& call);
py::object create_repo_trade(const State& st, py::handle cls, const Call& call);
py::object create_reverse_repo_trade(const State& st, py::handle cls, const Call& call);
py::object create_exchange_repo_trade(const State& st, py::handle cls, const Call& call);
py::object create_exchange_reverse_repo_trade(const State& st, py::handle cls, const Call& call);
py::object position_direction(const State& st, py::handle self);

}  // namespace kmb::trade
