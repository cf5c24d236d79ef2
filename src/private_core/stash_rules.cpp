// private_core.stash_rules: whether a request reaches the latest trading day,
// and how long cached results of each kind of data stay valid.
#include "kit/kit.hpp"

namespace {

using namespace kit::literals;
using kit::arg;
using kit::Call;
using kit::kw;
using kit::Object;
using kit::Sig;

struct State : kit::ModState {
    // The cache store module, for its `to_date` (read there at each use):
    // kept out of this module's namespace, which holds what it always held.
    Object stash_store;

    int traverse(visitproc visit, void* arg) { return kit::visit(stash_store, visit, arg); }
    void clear() { stash_store = {}; }
};

// Every live period is one minute; every historical one is "never expires".
Object one_minute(kit::Ctx cx) { return cx.global("timedelta"_n)(kw(cx["minutes"_n], 1)); }

constexpr Sig touches_latest_trading_day_sig{"touches_latest_trading_day", {arg("end").ann("object")}, "bool"};

// The latest trading day is taken to be today's local date: no calendar of
// weekends or holidays is consulted.  A range that ends after today reaches
// it too: "everything through year-end" must not be cached as history, or
// today's and later bars would never be seen again.
Object touches_latest_trading_day(Call& c) {
    kit::Ctx cx = c.cx();
    Object end = c[touches_latest_trading_day_sig["end"]];
    Object today = cx.global("is_today"_n)(end);
    if (today.truthy()) return today;
    Object to_date = cx.state<State>().stash_store.attr(cx["to_date"_n]);
    return to_date(end).compare(to_date(Py_None), Py_GT);
}

constexpr Sig ttl_intraday_live_sig{"ttl_intraday_live", {}, "timedelta"};
Object ttl_intraday_live(Call& c) { return one_minute(c.cx()); }

constexpr Sig ttl_intraday_history_sig{"ttl_intraday_history", {}, "Optional[timedelta]"};
Object ttl_intraday_history(Call&) { return kit::None(); }

constexpr Sig ttl_orderbook_live_sig{"ttl_orderbook_live", {}, "timedelta"};
Object ttl_orderbook_live(Call& c) { return one_minute(c.cx()); }

constexpr Sig ttl_eod_latest_sig{"ttl_eod_latest", {}, "timedelta"};
Object ttl_eod_latest(Call& c) { return one_minute(c.cx()); }

constexpr Sig ttl_eod_history_sig{"ttl_eod_history", {}, "Optional[timedelta]"};
Object ttl_eod_history(Call&) { return kit::None(); }

void body(kit::Module& m) {
    m.from_import("datetime", {"timedelta"});
    m.from_import("typing", {"Optional"});
    m.from_import("stash_store", {"is_today"}, 1);
    m.state<State>().stash_store = kit::import("private_core.stash_store");

    m.def(touches_latest_trading_day_sig, touches_latest_trading_day);
    m.def(ttl_intraday_live_sig, ttl_intraday_live);
    m.def(ttl_intraday_history_sig, ttl_intraday_history);
    m.def(ttl_orderbook_live_sig, ttl_orderbook_live);
    m.def(ttl_eod_latest_sig, ttl_eod_latest);
    m.def(ttl_eod_history_sig, ttl_eod_history);

    m.set_all({"touches_latest_trading_day", "ttl_intraday_live", "ttl_intraday_history", "ttl_orderbook_live",
               "ttl_eod_latest", "ttl_eod_history"});
}

}  // namespace

KIT_MODULE(stash_rules, State, body,
           "Time-to-live rules of the result cache: whether a request reaches the latest trading day, and how\n"
           "long cached results of each kind of data stay valid.")
