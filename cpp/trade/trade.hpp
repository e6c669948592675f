// korvane_mod_bond.trade: the repo trade record, a host trade that carries a
// repo's terms.
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

// The class, built by its own file.
py::object build_repo_trade(const py::module_& m, const State& st);

}  // namespace kmb::trade
