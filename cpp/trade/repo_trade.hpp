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

// The parameters of every class method: bound by its body, shown as its signature.
namespace sig {
inline const Signature<2> calc_max_amount{"calc_max_amount", {"order_book_id", "available_cash"}};
inline const Signature<5> from_create{
    "__from_create__", {"order_id", "price", "amount", "side", "order_book_id"}, "kwargs"};
inline const Signature<7> create_repo_trade{
    "create_repo_trade", {"price", "amount", "order_book_id", "repo_period", "haircut", "bond_id", "pledged_quantity"}};
inline const Signature<4> create_reverse_repo_trade{"create_reverse_repo_trade",
                                                    {"price", "amount", "order_book_id", "repo_period"}};
inline const Signature<7> create_exchange_repo_trade{
    "create_exchange_repo_trade",
    {"order_id", "price", "amount", "order_book_id", "hairbut", "bond_id", "pledged_quantity"}};
inline const Signature<4> create_exchange_reverse_repo_trade{"create_exchange_reverse_repo_trade",
                                                             {"order_id", "price", "amount", "order_book_id"}};
}  // namespace sig

py::object calc_max_amount(const State& st, py::handle cls, const Call& call);
py::object from_create(const State& st, py::handle cls, const Call& call);
py::object create_repo_trade(const State& st, py::handle cls, const Call& call);
py::object create_reverse_repo_trade(const State& st, py::handle cls, const Call& call);
py::object create_exchange_repo_trade(const State& st, py::handle cls, const Call& call);
py::object create_exchange_reverse_repo_trade(const State& st, py::handle cls, const Call& call);
py::object position_direction(const State& st, py::handle self);

}  // namespace kmb::trade
